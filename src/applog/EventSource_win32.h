#pragma once

// An application's event source: the registry key
// HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\EventLog\Application\<source> with
//   EventMessageFile  REG_EXPAND_SZ  the module that carries the message table
//   TypesSupported    REG_DWORD      7 (error, warning and information entries)
// Without it the Event Viewer shows "The description for Event ID ... cannot be found" instead
// of an entry's text. Windows only.

#include <string>

#include "common/WinApi_win32.h"

namespace vel {

// The ID of the one message of the table (src/applog/EventMessages.mc), whose text is the
// entry's one insertion string.
inline constexpr DWORD kEventTextId = 1;

// The registry key of a source, below HKEY_LOCAL_MACHINE.
std::wstring EventSourceKey(const std::string& source);

// Creates or updates the source; ERROR_SUCCESS or the system's error.
DWORD RegisterEventSourceKey(const std::string& source, const std::string& messageFile);

// Removes the source; ERROR_SUCCESS also when there was none.
DWORD RemoveEventSourceKey(const std::string& source);

// The file of the module holding this code, which carries the message table: the program, or
// velclient.dll inside an application that links it.
std::string EventMessageModule();

// Registers the application's source once per process when it is missing and the account
// may write the key; a refusal is not an error (the entry is still written, without its
// description in the Event Viewer).
void RegisterEventSourceWhenMissing(const std::string& source);

}  // namespace vel
