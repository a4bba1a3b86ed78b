#pragma once

// Whole-file reading and writing, and the buffered file stream beneath them.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/Exception.h"
#include "common/OsHandle.h"
#include "common/SeekOrigin.h"

namespace vel {

using TBytes = std::vector<std::uint8_t>;

class EStreamError : public Exception {
 public:
  using Exception::Exception;
};
class EFileStreamError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
// "Cannot open file "<full path>". <system message>"
class EFOpenError : public EFileStreamError {
 public:
  using EFileStreamError::EFileStreamError;
};
// "Cannot create file "<full path>". <system message>"
class EFCreateError : public EFileStreamError {
 public:
  using EFileStreamError::EFileStreamError;
};
// "Stream read error", or the refusal of a file too large to read whole.
class EReadError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
// "Stream write error"
class EWriteError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
// "No mapping for the Unicode character exists in the target multi-byte code page"
class EEncodingError : public Exception {
 public:
  using Exception::Exception;
};

// The file-mode word. Open: access in bits 0-1, share mode in bits 4-7. Create: high byte
// 0xFF, share mode in the low byte, bit 2 = only if the file does not exist yet.
inline constexpr std::uint16_t fmOpenRead = 0x0000;
inline constexpr std::uint16_t fmOpenWrite = 0x0001;
inline constexpr std::uint16_t fmOpenReadWrite = 0x0002;
inline constexpr std::uint16_t fmShareCompat = 0x0000;
inline constexpr std::uint16_t fmShareExclusive = 0x0010;
inline constexpr std::uint16_t fmShareDenyWrite = 0x0020;
inline constexpr std::uint16_t fmShareDenyRead = 0x0030;
inline constexpr std::uint16_t fmShareDenyNone = 0x0040;
inline constexpr std::uint16_t fmCreate = 0xFF00;
inline constexpr std::uint16_t fmExclusive = 0x0004;  // with fmCreate: fail if the file exists

// On Windows the share modes are the system's own and bind every other opener. On Linux they
// are kept among this system's own streams (advisory locks on the open file); programs that
// take no such locks are neither stopped nor stop us.

// A seekable byte stream.
class TStream {
 public:
  virtual ~TStream() = default;
  // Number of bytes moved, or -1 on a system error; never raise for a system error.
  virtual std::int32_t Read(void* buffer, std::int32_t count) = 0;
  virtual std::int32_t Write(const void* buffer, std::int32_t count) = 0;
  // The new position, or -1 on a system error.
  virtual std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) = 0;

  // Through Seek; restore the position afterwards.
  std::int64_t Size();
  std::int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(std::int64_t position) { Seek(position, TSeekOrigin::soBeginning); }

  // Loop until count bytes have moved; EReadError "Stream read error" / EWriteError
  // "Stream write error" when a call moves nothing first.
  void ReadBuffer(void* buffer, std::int64_t count);
  void WriteBuffer(const void* buffer, std::int64_t count);
  // Copies count bytes from source's position (count 0: the whole of source, from its start).
  // Returns the number copied.
  virtual std::int64_t CopyFrom(TStream& source, std::int64_t count);
};

// A stream over an open file handle, unbuffered. Does not own the handle.
class THandleStream : public TStream {
 public:
  explicit THandleStream(TOsHandle handle) : handle_(handle) {}
  TOsHandle Handle() const { return handle_; }

  std::int32_t Read(void* buffer, std::int32_t count) override;
  std::int32_t Write(const void* buffer, std::int32_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;

 protected:
  TOsHandle handle_;
};

// An unbuffered stream that opens a file by name with the mode word and closes it when
// destroyed.
class TFileStream : public THandleStream {
 public:
  TFileStream(const std::string& fileName, std::uint16_t mode);
  ~TFileStream() override;
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;
  const std::string& FileName() const { return fileName_; }

 private:
  std::string fileName_;
};

// Gathers small reads and writes into 8192-byte buffers; requests of 8192 bytes or more go
// straight to the descriptor. The logical position is the descriptor's minus the bytes read
// ahead, or plus the bytes pending.
class TBufferedHandleStream : public THandleStream {
 public:
  static constexpr std::int32_t kBufferSize = 8192;

  explicit TBufferedHandleStream(TOsHandle handle) : THandleStream(handle) {}
  // Writes what is pending (a failure there cannot be reported: call Flush first to know).
  ~TBufferedHandleStream() override;

  std::int32_t Read(void* buffer, std::int32_t count) override;
  // A buffered write returns count; raises EWriteError when the bytes already pending
  // cannot be written out to make room.
  std::int32_t Write(const void* buffer, std::int32_t count) override;
  std::int32_t Read(TBytes& buffer, std::int32_t offset, std::int32_t count);
  std::int32_t Write(const TBytes& buffer, std::int32_t offset, std::int32_t count);
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  std::int64_t CopyFrom(TStream& source, std::int64_t count) override;

  // Writes the pending bytes to the descriptor; EWriteError when they do not all get there.
  void Flush();

  // The buffer state, for diagnostics and tests.
  std::int32_t PendingWriteSize() const { return pendingWriteSize_; }
  std::int32_t RemainingReadSize() const { return remainingReadSize_; }

 protected:
  // Gives back the bytes read ahead: moves the descriptor back by their count.
  void SettleReadAhead();

 private:
  TBytes writeBuffer_;
  TBytes readBuffer_;
  std::int32_t pendingWriteSize_ = 0;
  std::int32_t remainingReadSize_ = 0;
  std::int32_t readBufferPos_ = 0;
};

// A buffered stream that opens or creates a file by the mode word and owns the descriptor.
// Raises EFOpenError / EFCreateError.
class TVelFileStream : public TBufferedHandleStream {
 public:
  TVelFileStream(const std::string& fileName, std::uint16_t mode, std::uint32_t rights = 0);
  ~TVelFileStream() override;
  TVelFileStream(const TVelFileStream&) = delete;
  TVelFileStream& operator=(const TVelFileStream&) = delete;

  // The name exactly as passed in.
  const std::string& FileName() const { return fileName_; }
  // The whole content as UTF-8 text (strictly checked); the position is restored afterwards,
  // also when reading or checking fails.
  std::string AsString();

 private:
  std::string fileName_;
};

class TVelTextFileReader {
 public:
  TVelTextFileReader() = delete;
  // The whole file. writeLock false: others may read and write meanwhile; true: others may
  // only read. EFOpenError, EReadError (also for files of 2 GiB or more).
  static TBytes ReadAllBytes(const std::string& pathname, bool writeLock);
  // The whole file as UTF-8 text; EEncodingError unless every byte is well-formed UTF-8.
  // A byte-order mark stays in the text (as U+FEFF).
  static std::string ReadAllText(const std::string& pathname, bool writeLock);
  // Size() bytes from the stream's current position; neither rewinds nor closes it.
  static TBytes ReadAllBytes(TStream& stream);
  static std::string ReadAllText(TStream& stream);
};

class TVelTextFileWriter {
 public:
  TVelTextFileWriter() = delete;
  // Replaces the file's content (creates it; never creates the folder). EFCreateError,
  // EWriteError.
  static void WriteAllBytes(const TBytes& content, const std::string& pathname);
  // Text is written as UTF-8 without a byte-order mark.
  static void WriteAllText(std::string_view content, const std::string& pathname);
};

// The strict decode used for text files: raises EEncodingError unless bytes are
// well-formed UTF-8; returns them as text.
std::string DecodeUtf8Text(std::string_view bytes);

}  // namespace vel
