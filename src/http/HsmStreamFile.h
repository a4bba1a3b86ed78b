#pragma once

// The temporary file behind a THsmStream once its content has grown (platform code).

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/OsHandle.h"
#include "http/HsmStream.h"

namespace vel {

class THsmStream::TFileStore {
 public:
  // Creates a new empty file in the temp folder; throws vel::Exception on failure.
  explicit TFileStore(bool transient);
  // Closes the file and, when transient, deletes it.
  ~TFileStore();
  TFileStore(const TFileStore&) = delete;
  TFileStore& operator=(const TFileStore&) = delete;

  void WriteAt(std::int64_t offset, const char* data, std::size_t count);
  std::size_t ReadAt(std::int64_t offset, char* data, std::size_t count);
  std::int64_t Size() const;
  void Resize(std::int64_t size);
  const std::string& Path() const { return FPath; }

 private:
  bool FTransient;
  TOsHandle FHandle = TOsHandle::Invalid;
  std::string FPath;
};

}  // namespace vel
