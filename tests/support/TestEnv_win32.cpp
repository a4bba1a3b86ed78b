#include <cstdlib>

#include "common/WinApi_win32.h"
#include "support/TestSupport.h"

namespace vel::test {

void SetEnvVar(const std::string& name, const std::string& value) {
  ::SetEnvironmentVariableW(win::Wide(name).c_str(), win::Wide(value).c_str());
  ::_wputenv_s(win::Wide(name).c_str(), win::Wide(value).c_str());
}
void UnsetEnvVar(const std::string& name) {
  ::SetEnvironmentVariableW(win::Wide(name).c_str(), nullptr);
  ::_wputenv_s(win::Wide(name).c_str(), L"");
}
const char* TempFolderVariable() {
  return "TMP";
}
bool OnWindows() {
  return true;
}
int ProcessId() {
  return static_cast<int>(::GetCurrentProcessId());
}
std::filesystem::path ExecutablePath() {
  return std::filesystem::path(win::ModuleFileName(nullptr));
}
std::string PathDelimiter() {
  return "\\";
}

}  // namespace vel::test
