#include "http/HsmStream.h"

#include <algorithm>
#include <cstring>
#include <fstream>

#include "common/Exception.h"
#include "common/Paths.h"
#include "http/HsmStreamFile.h"

namespace vel {

THsmStream::THsmStream(bool transient) : FTransient(transient) {}

THsmStream::~THsmStream() = default;

std::string THsmStream::TempFileName() const {
  return FFile ? FFile->Path() : std::string();
}

std::int64_t THsmStream::Size() const {
  return FFile ? FFile->Size() : static_cast<std::int64_t>(FMemory.size());
}

void THsmStream::MoveToFile(std::int64_t bytesToCopy) {
  auto file = std::make_unique<TFileStore>(FTransient);
  bytesToCopy = std::min<std::int64_t>(bytesToCopy, static_cast<std::int64_t>(FMemory.size()));
  if (bytesToCopy > 0) file->WriteAt(0, FMemory.data(), static_cast<std::size_t>(bytesToCopy));
  FFile = std::move(file);
  std::string().swap(FMemory);
}

void THsmStream::Write(const void* data, std::size_t count) {
  if (count == 0) return;
  const auto end = FPosition + static_cast<std::int64_t>(count);
  if (!FFile && end > Threshold) MoveToFile(FPosition);
  if (FFile) {
    FFile->WriteAt(FPosition, static_cast<const char*>(data), count);
  } else {
    if (static_cast<std::int64_t>(FMemory.size()) < end) FMemory.resize(end);
    std::memcpy(FMemory.data() + FPosition, data, count);
  }
  FPosition = end;
}

std::size_t THsmStream::Read(void* data, std::size_t count) {
  std::size_t n = 0;
  if (FFile) {
    n = FFile->ReadAt(FPosition, static_cast<char*>(data), count);
  } else if (FPosition < static_cast<std::int64_t>(FMemory.size())) {
    n = std::min<std::size_t>(count, FMemory.size() - static_cast<std::size_t>(FPosition));
    std::memcpy(data, FMemory.data() + FPosition, n);
  }
  FPosition += static_cast<std::int64_t>(n);
  return n;
}

std::int64_t THsmStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  std::int64_t base = 0;
  if (origin == TSeekOrigin::soCurrent) base = FPosition;
  if (origin == TSeekOrigin::soEnd) base = Size();
  FPosition = std::max<std::int64_t>(0, base + offset);
  return FPosition;
}

void THsmStream::SetSize(std::int64_t value) {
  value = std::max<std::int64_t>(0, value);
  if (!FFile && value > Threshold) MoveToFile(static_cast<std::int64_t>(FMemory.size()));
  if (FFile)
    FFile->Resize(value);
  else
    FMemory.resize(static_cast<std::size_t>(value));
}

void THsmStream::Clear() {
  if (Size() <= 0) return;
  FFile.reset();
  std::string().swap(FMemory);
  FPosition = 0;
}

std::string THsmStream::ReadAll() {
  std::string out(static_cast<std::size_t>(Size()), '\0');
  FPosition = 0;
  out.resize(Read(out.data(), out.size()));
  return out;
}

void THsmStream::SaveToFile(const std::string& fileName) {
  std::ofstream file(PathFromUtf8(fileName), std::ios::binary | std::ios::trunc);
  if (!file) throw Exception("THsmStream.SaveToFile: cannot create \"" + fileName + "\"");
  const std::int64_t keep = FPosition;
  FPosition = 0;
  char buffer[65536];
  for (;;) {
    std::size_t n = Read(buffer, sizeof buffer);
    if (n == 0) break;
    file.write(buffer, static_cast<std::streamsize>(n));
  }
  FPosition = keep;
  file.close();
  if (!file) throw Exception("THsmStream.SaveToFile: cannot write \"" + fileName + "\"");
}

}  // namespace vel
