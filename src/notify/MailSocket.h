#pragma once

#include <curl/curl.h>

#include <string>

namespace vel {

// Makes a libcurl handle open its TCP connections itself, each within timeoutMs. The time-out
// covers the TCP connection only, not the SMTP greeting, STARTTLS or the login that follow.
// When a connection cannot be made, the reason ("127.0.0.1 port 25: Connection refused")
// goes to *lastError; the object must outlive every transfer of the handle.
struct TMailSocketSetup {
  int timeoutMs = 300;
  std::string lastError;
};
void InstallMailSocket(CURL* curl, TMailSocketSetup* setup);

}  // namespace vel
