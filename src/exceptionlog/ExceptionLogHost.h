#pragma once

// What a hosting application may tell the exception-log writer about itself: its web
// framework, the session of the failing request and the request itself. Everything here is
// optional; a writer without a host writes only what the process itself can tell.

#include <chrono>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <vector>

namespace vel {

// The HTTP request being handled when the error occurred. Implemented by the host's
// server; the writer only reads it and never keeps it beyond one call.
class IVelHttpRequest {
 public:
  virtual ~IVelHttpRequest() = default;
  virtual std::string RemoteAddr() const = 0;
  // The client address a proxy forwarded (X-Forwarded-For); empty when there is none.
  virtual std::string ForwardedFor() const { return {}; }
  virtual std::string PathInfo() const = 0;
  // "GET" or "POST".
  virtual std::string Method() const = 0;
  virtual std::string UserAgent() const { return {}; }
  virtual int CookiesCount() const { return 0; }
  // The path under which the application is mounted ("/shop"); joined to the host's base URL.
  virtual std::string ScriptName() const { return {}; }
};

// A form of the host's framework as the report shows it: "name (class)", "class" when it has
// no name, "[unassigned]" when Assigned is false.
struct TVelFormRef {
  bool Assigned = false;
  std::string Name;
  std::string ClassName;
};

// The framework section. Each value is written only when the host supplies it; the writer
// adds "Current Thread ID" itself.
struct TVelFrameworkInfo {
  std::optional<std::string> VelmoraVersion;
  std::optional<bool> MultiSession;
  std::optional<std::string> ContentPath;
  std::optional<int64_t> SessionCount;
  std::optional<std::string> ApplicationPath;
  std::optional<TVelFormRef> ActiveForm;
  std::optional<std::vector<TVelFormRef>> ActiveFormList;
  std::optional<std::vector<TVelFormRef>> FormList;
  std::optional<std::string> BrowserName;
  std::optional<std::string> BrowserUserAgent;
  std::optional<std::string> SessionID;
  std::optional<std::chrono::system_clock::time_point> LastAccess;
  std::optional<bool> Callback;
  // The request's "callback" parameter; written only when Callback is true.
  std::optional<std::string> CallbackName;
  std::optional<std::string> RuntimeParameters;
};

// What the framework knows about one exception.
struct TVelExceptionFacts {
  // The session carried by a session-related exception of the framework.
  std::string SessionID;
  // The sentence the framework has for this kind of error ("Session ID is invalid.").
  std::string ExceptionSpecific;
  // The session's start parameters, without the leading "/" (the writer adds it).
  std::string RunParams;
  // The detail text a framework exception carries.
  std::string Details;
  bool IsFrameworkException = false;
  // A security exception: its message and details are hidden from the error page unless the
  // host shows security details.
  bool IsSecurityException = false;
  bool IsSessionException = false;
};

// Implemented by an application that embeds the writer; install it with
// TVelExceptionLogger::SetHost. Every method may throw: the writer turns that into the
// section's error line. Called on the thread that logs the error.
class IVelExceptionLogHost {
 public:
  virtual ~IVelExceptionLogHost() = default;

  // The report hook: return true when the host has taken care of the report; nothing is
  // written then. An exception thrown here leaves LogException.
  virtual bool OnLogException(const std::vector<std::string>& reportInfo) {
    (void)reportInfo;
    return false;
  }

  // Facts about the exception. The default knows nothing about it.
  virtual TVelExceptionFacts DescribeException(const std::exception& e,
                                               const IVelHttpRequest* request) {
    (void)e;
    (void)request;
    return {};
  }

  // Fills in the framework section.
  virtual void GetFrameworkInfo(TVelFrameworkInfo& info, const IVelHttpRequest* request) {
    (void)info;
    (void)request;
  }

  // The application's version, as the report's "Application Version" shows it ("2.4.1").
  // Used when the logger has none set with SetAppVersion.
  virtual std::string ApplicationVersion() const { return {}; }

  // The application's base URL ("https://example.test"), joined with the request's script name.
  virtual std::string BaseURL() const { return {}; }

  // Whether the error page may show the details of a security exception (the log file always
  // shows them).
  virtual bool ShowSecurityDetails() const { return false; }
};

}  // namespace vel
