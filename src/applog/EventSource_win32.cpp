#include "applog/EventSource_win32.h"

#include <mutex>

namespace vel {

namespace {

constexpr DWORD kTypesSupported =
    EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;

struct KeyCloser {
  HKEY key = nullptr;
  ~KeyCloser() {
    if (key) ::RegCloseKey(key);
  }
};

}  // namespace

std::wstring EventSourceKey(const std::string& source) {
  return L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + win::Wide(source);
}

DWORD RegisterEventSourceKey(const std::string& source, const std::string& messageFile) {
  if (source.empty() || source.find('\\') != std::string::npos) return ERROR_INVALID_NAME;
  KeyCloser k;
  LONG rc = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, EventSourceKey(source).c_str(), 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, &k.key, nullptr);
  if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
  const std::wstring file = win::Wide(messageFile);
  rc = ::RegSetValueExW(k.key, L"EventMessageFile", 0, REG_EXPAND_SZ,
                        reinterpret_cast<const BYTE*>(file.c_str()),
                        static_cast<DWORD>((file.size() + 1) * sizeof(wchar_t)));
  if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
  const DWORD types = kTypesSupported;
  rc = ::RegSetValueExW(k.key, L"TypesSupported", 0, REG_DWORD,
                        reinterpret_cast<const BYTE*>(&types), sizeof types);
  return static_cast<DWORD>(rc);
}

DWORD RemoveEventSourceKey(const std::string& source) {
  if (source.empty() || source.find('\\') != std::string::npos) return ERROR_INVALID_NAME;
  const LONG rc = ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, EventSourceKey(source).c_str());
  return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : static_cast<DWORD>(rc);
}

std::string EventMessageModule() {
  HMODULE self = nullptr;
  if (!::GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(&EventMessageModule), &self))
    return {};
  return win::Narrow(win::ModuleFileName(self));
}

void RegisterEventSourceWhenMissing(const std::string& source) {
  static std::once_flag once;
  std::call_once(once, [&] {
    KeyCloser k;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, EventSourceKey(source).c_str(), 0, KEY_READ, &k.key) ==
        ERROR_SUCCESS)
      return;  // an administrator's registration stays as it is
    const std::string module = EventMessageModule();
    if (!module.empty()) RegisterEventSourceKey(source, module);
  });
}

}  // namespace vel
