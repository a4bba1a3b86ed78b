#pragma once
// Windows only: whether the certificate a TLS server showed may be trusted.
#define SECURITY_WIN32
#include <windows.h>
// windows.h first
#include <security.h>

#include <string>

namespace vel {

// Verifies the chain of the certificate the server showed on the TLS context (against the
// PEM certificates of caFile when set, else the system store) and that it was issued for host
// (a name, or an IP address among the certificate's IP entries). Empty when all is well,
// otherwise the reason.
std::string CheckServerCertificate(CtxtHandle* context, const std::string& host,
                                   const std::string& caFile);

}  // namespace vel
