#include "common/FileStream.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "common/FileStreamPlatform.h"
#include "common/Utf.h"

namespace vel {

namespace detail {

TFileOpenMode DecodeFileMode(std::uint16_t mode) {
  TFileOpenMode m{};
  m.Create = (mode & 0xFF00) == 0xFF00;
  if (m.Create) {
    unsigned low = mode & 0xFF;
    if (low == 0xFF) low = fmShareExclusive;
    m.Share = low & 0xF0;
    m.CreateNew = (low & fmExclusive) != 0;
    m.Access = fmOpenReadWrite;
  } else {
    m.Share = mode & 0xF0;
    m.Access = mode & 0x03;
  }
  m.Valid = !(m.Access == 3 || m.Share > fmShareDenyNone);
  return m;
}

void FailToOpen(bool create, const std::string& fileName, const std::string& message) {
  const std::string full = ExpandFileName(fileName);
  if (create) throw EFCreateError("Cannot create file \"" + full + "\". " + message);
  throw EFOpenError("Cannot open file \"" + full + "\". " + message);
}

}  // namespace detail

namespace {

constexpr std::int64_t kMaxWholeFile = std::numeric_limits<std::int32_t>::max();

void CheckRange(std::size_t bufferSize, std::int32_t offset, std::int32_t count) {
  if (offset < 0 || count < 0 ||
      static_cast<std::size_t>(offset) + static_cast<std::size_t>(count) > bufferSize) {
    throw EStreamError("Stream buffer range " + std::to_string(offset) + "+" +
                       std::to_string(count) + " lies outside a buffer of " +
                       std::to_string(bufferSize) + " bytes");
  }
}

// Reads size bytes from the stream's position into a buffer of exactly that size, refusing
// sizes a whole-file read cannot hold.
template <class Buffer>
Buffer ReadExactly(TStream& stream, std::int64_t size, const std::string& what) {
  if (size < 0) throw EReadError("Stream read error");
  if (size > kMaxWholeFile) {
    throw EReadError("Cannot read " + what + " whole: it holds " + std::to_string(size) +
                     " bytes, and files of 2 GiB (2147483648 bytes) or more are not supported");
  }
  Buffer result(static_cast<std::size_t>(size), 0);
  if (size > 0) stream.ReadBuffer(result.data(), size);
  return result;
}

}  // namespace

namespace {
void CheckUtf8(std::string_view bytes) {
  if (!IsValidUtf8(bytes)) {
    throw EEncodingError(
        "No mapping for the Unicode character exists in the target multi-byte code page");
  }
}
}  // namespace

std::string DecodeUtf8Text(std::string_view bytes) {
  CheckUtf8(bytes);
  return std::string(bytes);
}

// ---- TStream ----

std::int64_t TStream::Size() {
  const std::int64_t position = Seek(0, TSeekOrigin::soCurrent);
  const std::int64_t size = Seek(0, TSeekOrigin::soEnd);
  Seek(position, TSeekOrigin::soBeginning);
  return size;
}

void TStream::ReadBuffer(void* buffer, std::int64_t count) {
  auto* p = static_cast<std::uint8_t*>(buffer);
  while (count > 0) {
    const auto chunk = static_cast<std::int32_t>(
        std::min<std::int64_t>(count, std::numeric_limits<std::int32_t>::max()));
    const std::int32_t n = Read(p, chunk);
    if (n <= 0) throw EReadError("Stream read error");
    p += n;
    count -= n;
  }
}

void TStream::WriteBuffer(const void* buffer, std::int64_t count) {
  const auto* p = static_cast<const std::uint8_t*>(buffer);
  while (count > 0) {
    const auto chunk = static_cast<std::int32_t>(
        std::min<std::int64_t>(count, std::numeric_limits<std::int32_t>::max()));
    const std::int32_t n = Write(p, chunk);
    if (n <= 0) throw EWriteError("Stream write error");
    p += n;
    count -= n;
  }
}

std::int64_t TStream::CopyFrom(TStream& source, std::int64_t count) {
  if (count <= 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  constexpr std::int64_t kChunk = 64 * 1024;
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min(count, kChunk)));
  std::int64_t left = count;
  while (left > 0) {
    const std::int64_t n = std::min(left, kChunk);
    source.ReadBuffer(buffer.data(), n);
    WriteBuffer(buffer.data(), n);
    left -= n;
  }
  return count;
}

// ---- TBufferedHandleStream ----

TBufferedHandleStream::~TBufferedHandleStream() {
  if (pendingWriteSize_ > 0) {
    try {
      Flush();
    } catch (...) {
      // Nothing to report to from a destructor; callers that must know call Flush first.
    }
  }
}

void TBufferedHandleStream::SettleReadAhead() {
  if (remainingReadSize_ > 0) THandleStream::Seek(-remainingReadSize_, TSeekOrigin::soCurrent);
  remainingReadSize_ = 0;
  readBufferPos_ = 0;
}

void TBufferedHandleStream::Flush() {
  if (pendingWriteSize_ <= 0) return;
  std::int32_t done = 0;
  while (done < pendingWriteSize_) {
    const std::int32_t n =
        THandleStream::Write(writeBuffer_.data() + done, pendingWriteSize_ - done);
    if (n <= 0) {
      // The bytes cannot reach the file; keeping them would only fail again later.
      pendingWriteSize_ = 0;
      throw EWriteError("Stream write error");
    }
    done += n;
  }
  pendingWriteSize_ = 0;
}

std::int32_t TBufferedHandleStream::Write(const void* buffer, std::int32_t count) {
  if (count <= 0) return 0;
  SettleReadAhead();
  if (count >= kBufferSize) {
    Flush();
    return THandleStream::Write(buffer, count);
  }
  if (writeBuffer_.empty()) writeBuffer_.resize(kBufferSize);
  if (pendingWriteSize_ + count > kBufferSize) Flush();
  std::memcpy(writeBuffer_.data() + pendingWriteSize_, buffer, static_cast<std::size_t>(count));
  pendingWriteSize_ += count;
  return count;
}

std::int32_t TBufferedHandleStream::Read(void* buffer, std::int32_t count) {
  if (count <= 0) return 0;
  Flush();
  auto* out = static_cast<std::uint8_t*>(buffer);
  if (remainingReadSize_ == 0) {
    if (count >= kBufferSize) return THandleStream::Read(buffer, count);
    if (readBuffer_.empty()) readBuffer_.resize(kBufferSize);
    const std::int32_t n = THandleStream::Read(readBuffer_.data(), kBufferSize);
    readBufferPos_ = 0;
    if (n <= 0) return n;  // end of file (0) or a system error (-1)
    remainingReadSize_ = n;
  }
  if (remainingReadSize_ >= count) {
    std::memcpy(out, readBuffer_.data() + readBufferPos_, static_cast<std::size_t>(count));
    readBufferPos_ += count;
    remainingReadSize_ -= count;
    return count;
  }
  const std::int32_t have = remainingReadSize_;
  std::memcpy(out, readBuffer_.data() + readBufferPos_, static_cast<std::size_t>(have));
  readBufferPos_ = 0;
  remainingReadSize_ = 0;
  const std::int32_t n = THandleStream::Read(out + have, count - have);
  // What was already handed over counts even when the direct read fails.
  return n > 0 ? have + n : have;
}

std::int32_t TBufferedHandleStream::Read(TBytes& buffer, std::int32_t offset, std::int32_t count) {
  CheckRange(buffer.size(), offset, count);
  return Read(buffer.data() + offset, count);
}

std::int32_t TBufferedHandleStream::Write(const TBytes& buffer, std::int32_t offset,
                                          std::int32_t count) {
  CheckRange(buffer.size(), offset, count);
  return Write(buffer.data() + offset, count);
}

std::int64_t TBufferedHandleStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  SettleReadAhead();
  Flush();
  return THandleStream::Seek(offset, origin);
}

std::int64_t TBufferedHandleStream::CopyFrom(TStream& source, std::int64_t count) {
  const std::int64_t copied = TStream::CopyFrom(source, count);
  SettleReadAhead();
  Flush();
  return copied;
}

// ---- TFileStream / TVelFileStream ----

TFileStream::TFileStream(const std::string& fileName, std::uint16_t mode)
    : THandleStream(detail::OpenFileByMode(fileName, mode)), fileName_(fileName) {}

TFileStream::~TFileStream() {
  if (handle_ != TOsHandle::Invalid) detail::CloseFileHandle(handle_);
}

TVelFileStream::TVelFileStream(const std::string& fileName, std::uint16_t mode,
                               std::uint32_t /*rights: no effect here*/)
    : TBufferedHandleStream(detail::OpenFileByMode(fileName, mode)), fileName_(fileName) {}

TVelFileStream::~TVelFileStream() {
  // The pending bytes must go out before the descriptor closes (the base destructor runs
  // after this one).
  try {
    Flush();
  } catch (...) {
  }
  if (handle_ != TOsHandle::Invalid) detail::CloseFileHandle(handle_);
  handle_ = TOsHandle::Invalid;
}

std::string TVelFileStream::AsString() {
  const std::int64_t position = Position();
  std::string bytes;
  try {
    const std::int64_t size = Size();
    SetPosition(0);
    bytes = ReadExactly<std::string>(*this, size, "\"" + fileName_ + "\"");
    SetPosition(position);
  } catch (...) {
    SetPosition(position);
    throw;
  }
  CheckUtf8(bytes);
  return bytes;
}

// ---- TVelTextFileReader / TVelTextFileWriter ----

namespace {
template <class Buffer>
Buffer ReadWholeFile(const std::string& pathname, bool writeLock) {
  TFileStream stream(pathname, writeLock ? fmShareDenyWrite : fmShareDenyNone);
  const std::int64_t size = stream.Size();
  return ReadExactly<Buffer>(stream, size, "file \"" + detail::ExpandFileName(pathname) + "\"");
}
}  // namespace

TBytes TVelTextFileReader::ReadAllBytes(const std::string& pathname, bool writeLock) {
  return ReadWholeFile<TBytes>(pathname, writeLock);
}

std::string TVelTextFileReader::ReadAllText(const std::string& pathname, bool writeLock) {
  std::string bytes = ReadWholeFile<std::string>(pathname, writeLock);
  CheckUtf8(bytes);  // the bytes are the text once they are well-formed
  return bytes;
}

TBytes TVelTextFileReader::ReadAllBytes(TStream& stream) {
  return ReadExactly<TBytes>(stream, stream.Size(), "the stream");
}

std::string TVelTextFileReader::ReadAllText(TStream& stream) {
  std::string bytes = ReadExactly<std::string>(stream, stream.Size(), "the stream");
  CheckUtf8(bytes);
  return bytes;
}

void TVelTextFileWriter::WriteAllBytes(const TBytes& content, const std::string& pathname) {
  TVelFileStream stream(pathname, fmCreate | fmShareDenyWrite);
  if (!content.empty())
    stream.WriteBuffer(content.data(), static_cast<std::int64_t>(content.size()));
  stream.Flush();  // so that a failing last write is reported, not lost in the destructor
}

void TVelTextFileWriter::WriteAllText(std::string_view content, const std::string& pathname) {
  TVelFileStream stream(pathname, fmCreate | fmShareDenyWrite);
  if (!content.empty())
    stream.WriteBuffer(content.data(), static_cast<std::int64_t>(content.size()));
  stream.Flush();
}

}  // namespace vel
