#include <unistd.h>

#include <cstdlib>

#include "support/TestSupport.h"

namespace vel::test {

void SetEnvVar(const std::string& name, const std::string& value) {
  ::setenv(name.c_str(), value.c_str(), 1);
}
void UnsetEnvVar(const std::string& name) {
  ::unsetenv(name.c_str());
}
const char* TempFolderVariable() {
  return "TMPDIR";
}
bool OnWindows() {
  return false;
}
int ProcessId() {
  return static_cast<int>(::getpid());
}
std::filesystem::path ExecutablePath() {
  return std::filesystem::canonical("/proc/self/exe");
}
std::string PathDelimiter() {
  return "/";
}

}  // namespace vel::test
