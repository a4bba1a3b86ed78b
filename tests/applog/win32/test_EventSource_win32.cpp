// The pieces the Event Viewer needs to show an entry's text: the message table in every
// program and in velclient.dll, and the event source that points at it. Wine keeps no event
// log and has no viewer: what it cannot show is the description itself; the table is read back
// here with FormatMessageW, as the viewer does.

#include <gtest/gtest.h>

#include <string>

#include "applog/AppLog.h"
#include "applog/EventSource_win32.h"
#include "common/WinApi_win32.h"

namespace vel {
namespace {

// The message the viewer would show for an entry of this module with one insertion string.
std::wstring Description(const std::wstring& module, const wchar_t* insertion) {
  const HMODULE image = ::LoadLibraryExW(
      module.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (!image) return L"<not loaded: " + std::to_wstring(::GetLastError()) + L">";
  wchar_t buffer[512];
  const DWORD_PTR args[] = {reinterpret_cast<DWORD_PTR>(insertion)};
  const DWORD n = ::FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                   image, kEventTextId, 0, buffer, 512,
                                   reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(args)));
  const DWORD error = ::GetLastError();
  ::FreeLibrary(image);
  if (n == 0) return L"<no message: " + std::to_wstring(error) + L">";
  std::wstring text(buffer, n);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
  return text;
}

TEST(EventSourceWin32, ProgramsAndTheDllCarryTheMessageTable) {
  const wchar_t* text = L"Error: Bestellung 1042 \u65E5\u5FD7";
  for (const std::wstring& module :
       {win::Wide(VEL_SERVICE_EXE), win::Wide(VEL_CLIENT_DLL), win::ModuleFileName(nullptr)})
    EXPECT_EQ(Description(module, text), text) << win::Narrow(module);
}

std::wstring ReadValue(HKEY key, const wchar_t* name, DWORD& type) {
  wchar_t data[1024] = {};
  DWORD size = sizeof data - sizeof(wchar_t);
  if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) !=
      ERROR_SUCCESS)
    return L"<missing>";
  return std::wstring(data, size / sizeof(wchar_t));
}

// What --install writes for the service and the writer's fall-back for an application, and
// what --uninstall removes.
TEST(EventSourceWin32, SourceIsRegisteredWithItsMessageFileAndRemoved) {
  const std::string source = "VelTestSource" + std::to_string(::GetCurrentProcessId());
  const std::string file = EventMessageModule();
  EXPECT_EQ(win::Wide(file), win::ModuleFileName(nullptr));  // statically linked: the program
  ASSERT_EQ(RegisterEventSourceKey(source, file), static_cast<DWORD>(ERROR_SUCCESS));
  HKEY key = nullptr;
  ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, EventSourceKey(source).c_str(), 0, KEY_READ, &key),
            ERROR_SUCCESS);
  DWORD type = 0;
  const std::wstring messageFile = ReadValue(key, L"EventMessageFile", type);
  EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
  EXPECT_EQ(messageFile, win::Wide(file) + L'\0');
  const std::wstring types = ReadValue(key, L"TypesSupported", type);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  ASSERT_EQ(types.size() * sizeof(wchar_t), sizeof(DWORD));
  EXPECT_EQ(*reinterpret_cast<const DWORD*>(types.data()), 7u);
  ::RegCloseKey(key);

  EXPECT_EQ(RemoveEventSourceKey(source), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_NE(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, EventSourceKey(source).c_str(), 0, KEY_READ, &key),
            ERROR_SUCCESS);
  EXPECT_EQ(RemoveEventSourceKey(source), static_cast<DWORD>(ERROR_SUCCESS)) << "already gone";
}

// The diagnostic log's fall-back registers the application's own source when it is missing.
TEST(EventSourceWin32, FallbackRegistersTheApplicationsSource) {
  const std::string source = ApplicationName();
  RemoveEventSourceKey(source);
  EXPECT_TRUE(LogToEventLog("Error: the first entry of this program"));
  HKEY key = nullptr;
  ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, EventSourceKey(source).c_str(), 0, KEY_READ, &key),
            ERROR_SUCCESS);
  DWORD type = 0;
  EXPECT_EQ(ReadValue(key, L"EventMessageFile", type), win::ModuleFileName(nullptr) + L'\0');
  ::RegCloseKey(key);
  RemoveEventSourceKey(source);
}

}  // namespace
}  // namespace vel
