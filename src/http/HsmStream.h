#pragma once

// A byte stream that keeps its content in memory while it is small and moves it to a
// temporary file once it grows past a fixed threshold, so that a large HTTP answer never has
// to fit in memory.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "common/SeekOrigin.h"

namespace vel {

class THsmStream {
 public:
  // Content beyond this many bytes lives in a temporary file.
  static constexpr std::int64_t Threshold = 32759;

  // transient: the temporary file is deleted when the content is emptied or the stream goes.
  explicit THsmStream(bool transient = true);
  ~THsmStream();
  THsmStream(const THsmStream&) = delete;
  THsmStream& operator=(const THsmStream&) = delete;

  // Writes at the position and advances it; throws vel::Exception when the file fails.
  void Write(const void* data, std::size_t count);
  void Write(const std::string& bytes) { Write(bytes.data(), bytes.size()); }
  // Reads up to count bytes at the position and advances it; returns the bytes read.
  std::size_t Read(void* data, std::size_t count);
  // Returns the new position (never below 0).
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin);
  std::int64_t Position() const { return FPosition; }
  void SetPosition(std::int64_t value) { Seek(value, TSeekOrigin::soBeginning); }
  std::int64_t Size() const;
  // Grows (zero-filled) or cuts the content; the position does not change.
  void SetSize(std::int64_t value);
  // Empties the content (when there is any): the temporary file goes, memory starts afresh.
  void Clear();
  // The whole content; the position ends at the end.
  std::string ReadAll();
  // Writes the whole content to fileName (created or replaced); throws vel::Exception.
  void SaveToFile(const std::string& fileName);

  bool Transient() const { return FTransient; }
  // True once the content has moved to the temporary file.
  bool InFile() const { return FFile != nullptr; }
  // Path of the temporary file; empty while the content is in memory.
  std::string TempFileName() const;

  // The file part (platform code).
  class TFileStore;

 private:
  void MoveToFile(std::int64_t bytesToCopy);

  bool FTransient;
  std::string FMemory;
  std::unique_ptr<TFileStore> FFile;
  std::int64_t FPosition = 0;
};

}  // namespace vel
