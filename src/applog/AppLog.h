#pragma once

// The process-wide diagnostic log: one timestamped line per event in
// LogFolder() + ApplicationName() + "." + extension, written as UTF-16LE without a byte-order
// mark, with the system log as the fallback when the file cannot be written. Every routine
// here may be called from any thread and never throws.

#include <functional>
#include <string>

namespace vel {

// Appends one line "<short date> <long time> <text>\r\n" (the date alone at exactly midnight)
// to LogFolder() + ApplicationName() + "." + extension. The folder and the name are glued
// together as they are: no separator is inserted and no folder is created. One process-wide
// lock covers the whole line, including the fallback to LogToEventLog.
void AppendAppLog(const std::string& text, const std::string& extension = "log");

// Appends text (UTF-8, stored as UTF-16LE code units) to the file, creating it with mode 0640
// when it is missing. On any failure the text goes to LogToEventLog instead.
void AppendTextToFile(const std::string& fileName, const std::string& text);

// Reports text as one error entry in the system log (syslog, LOG_ERR, ident = the
// application name; the Windows event log, source = the application name, registered first
// when it is missing and the account may), or to the sink installed with SetEventLogSink.
// True when it was taken; a text the system refused goes to standard error (and on Windows to
// the debugger) instead. Takes no lock of its own.
bool LogToEventLog(const std::string& text);

// The folder the diagnostic log goes to. At start-up the executable's folder with a trailing
// "/"; the configuration replaces it with [General] LogPath when it loads.
void SetLogFolder(std::string folder);
std::string LogFolder();

// The executable's file name without its extension ("velservermonitor").
std::string ApplicationName();
// The executable's full path ("/usr/sbin/velservermonitor").
std::string ApplicationFullFileName();

// The full name of the diagnostic log file for an extension: LogFolder() + ApplicationName()
// + "." + extension.
std::string AppLogFileName(const std::string& extension = "log");

// The timestamp of a log line for the current local time, in the process locale.
std::string FormatLogTimestamp();

// With echo on (the --console run) every diagnostic line and every event-log entry is also
// written to standard error.
void SetConsoleEcho(bool echo);
bool ConsoleEcho();

// Replaces the system-log writer, so tests can observe what would go to the system log.
// An empty function restores the system log.
using TEventLogSink = std::function<void(const std::string& text)>;
void SetEventLogSink(TEventLogSink sink);

}  // namespace vel
