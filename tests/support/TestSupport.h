#pragma once

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>

namespace vel::test {

// A fresh folder under the system temp folder, removed with everything in it when the
// object goes. Every test works in one of its own so that ctest -j can run tests side by side.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // path() / name, as a string.
  std::string file(const std::string& name) const;

 private:
  std::filesystem::path path_;
};

// Writes bytes to a file, replacing it.
void WriteFile(const std::filesystem::path& file, const std::string& bytes);
// Reads a whole file as bytes ("" when it does not exist).
std::string ReadFile(const std::filesystem::path& file);

// Polls cond until it holds or the time-out passes. For state owned by another process or
// the file system, where no event can be waited on; the poll interval is short and the
// time-out generous, so the result never depends on timing.
bool WaitUntil(const std::function<bool()>& cond,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));

// The process environment, the same way on both systems (TestEnv_<os>.cpp). On Windows
// both the C runtime's copy and the system's are set.
void SetEnvVar(const std::string& name, const std::string& value);
void UnsetEnvVar(const std::string& name);
// The variable that names the temp folder: TMPDIR on Linux, TMP on Windows.
const char* TempFolderVariable();
// True in the Windows build (for the few expectations where the systems really differ).
bool OnWindows();
// The running test program's process id.
int ProcessId();
// The running test program's full path.
std::filesystem::path ExecutablePath();
// The system's path delimiter as the process's own paths end with it: "/" or "\\".
std::string PathDelimiter();

// A value that one thread sets and another waits for, with a time-out.
template <typename T>
class Latch {
 public:
  void Set(T value) {
    {
      std::lock_guard lock(mutex_);
      value_ = std::move(value);
      set_ = true;
    }
    cv_.notify_all();
  }
  bool Wait(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return set_; });
  }
  T Get() {
    std::lock_guard lock(mutex_);
    return value_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  T value_{};
  bool set_ = false;
};

}  // namespace vel::test
