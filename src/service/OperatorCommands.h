#pragma once

// Commands an operator runs by hand next to the service: check the configuration, and send a
// test notification through the channels without waiting for a real error.

#include <ostream>
#include <string>

namespace vel {

// Prints the effective configuration read from configFile (empty: the default INI beside
// the executable) with tokens and passwords masked, then warnings and errors. Returns the
// exit code: 1 when errors were found, 0 otherwise. unitFile: the systemd unit that says
// which user the service runs as (empty: the installed one).
int RunCheckConfig(const std::string& configFile, std::ostream& out,
                   const std::string& unitFile = "");

// Sends "VelServerMonitor test notification" through every configured channel, or only the
// named one ("telegram", "discord" or "email"; empty: all), formatted as real alerts are.
// Prints "ok" or the error per channel. Returns 0 only when every attempted channel
// delivered (and at least one was attempted).
int RunTestNotify(const std::string& configFile, const std::string& channel, std::ostream& out);

// The text that stands for a secret in anything printed: "(empty)" or "******** (N chars)".
std::string MaskSecret(const std::string& secret);

}  // namespace vel
