#pragma once

// The operating-system side of the exception-log writer (ExceptionLog_linux.cpp). Internal to
// the writer.

#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

namespace vel::exceptionlog_detail {

using TClock = std::chrono::system_clock;

// Broken-down local time with milliseconds.
struct LocalTime {
  std::tm tm{};
  int millisecond = 0;
};
LocalTime ToLocalTime(TClock::time_point t);
// Per system: the broken-down local time of a moment (ToLocalTime adds the milliseconds).
std::tm LocalCalendarTime(std::time_t t);

// The time separator of the process locale (":" when the locale names none).
std::string LocaleTimeSeparator();
// The same, for a strftime time format: the literal text between its first two conversions.
std::string TimeSeparatorOf(const std::string& timeFormat);

// When the process started; the moment this library was loaded when the system cannot say.
TClock::time_point ProcessStartTime();

// The kernel's identifier of the calling thread.
uint64_t CurrentThreadId();

// The readable name of a type ("std::runtime_error", "shop::EOrderFailed").
std::string ReadableTypeName(const std::type_info& type);
// A mangled name made readable; the name as given when it is not one, "" for null.
std::string Demangle(const char* name);

// The calling thread's stack, innermost first, one readable line per frame, leaving out the
// writer's own frames. Empty when no frame can be taken. Called only by the report's
// constructor, which only the logger's entry points call: Windows skips these three frames
// by count, so none of them may be inlined.
[[gnu::noinline]] std::vector<std::string> CaptureStackTrace();

// Where the exception object was thrown on this thread, among the last few thrown here;
// null when it is not known (thrown on another thread, long ago, or not recorded).
// Defined beside each system's throw hook, so that a program asking for throw sites links
// the hook.
const void* ThrowSiteOf(const void* exceptionObject);
// The record behind ThrowSiteOf (ThrowSite.cpp): the hook calls RecordThrow for every throw.
void RecordThrow(const void* exceptionObject, const void* site);
const void* RecordedThrowSite(const void* exceptionObject);

// The characters that end a folder name, the first of them the one added to a folder that
// ends in none: "/" on Linux, "\\" then "/" on Windows.
std::string_view FolderDelimiters();

// Creates the folder and every missing parent. False when it cannot be done.
bool CreateFolders(const std::string& folder);

// Writes bytes to a new file, replacing one of the same name, readable by the owner's group
// (mode 0640) and by nobody else, where the file system keeps modes (a refused fchmod does
// not fail the write). False on any other failure; a half-written file is removed.
bool WriteWholeFile(const std::string& fileName, const std::string& bytes);

// True when the folder is the root of the file system ("/", "//", "/..", or a path that
// resolves to it).
bool IsFileSystemRoot(const std::string& folder);

// The files directly in folder (no directories), with their last-write times.
struct FolderFile {
  std::string Name;  // name within the folder
  TClock::time_point LastWrite;
};
std::vector<FolderFile> ListFiles(const std::string& folder);

// Deletes a file; false when it cannot be deleted.
bool DeleteFileNamed(const std::string& fileName);

// Pauses the calling thread for about a millisecond between deletions, so that a purge of a
// large folder does not monopolise the disk.
void PauseBriefly();

}  // namespace vel::exceptionlog_detail
