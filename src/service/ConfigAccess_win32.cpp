// The service runs as LocalSystem, which reads whatever the administrator who checks the
// configuration can.

#include "service/ConfigAccess.h"

namespace vel {

std::string ServiceAccountReadProblem(const std::string& /*file*/,
                                      const std::string& /*unitFile*/) {
  return {};
}

std::string InstalledUnitFile() {
  return {};
}

}  // namespace vel
