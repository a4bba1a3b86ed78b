#pragma once

// Whether the account the service runs as can read its configuration, which may differ from
// the account an operator checks the configuration with.

#include <string>

namespace vel {

// Why the service's account could not read file, "" when it could or when this process cannot
// tell. This process must have read the file already. unitFile: the systemd unit whose User=
// names the account (Linux; the account is root without one).
std::string ServiceAccountReadProblem(const std::string& file, const std::string& unitFile);

// The unit file --check-config looks at by default.
std::string InstalledUnitFile();

}  // namespace vel
