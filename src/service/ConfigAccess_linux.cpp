// Root reads every file, so a check run as root says nothing about a service that runs as
// another user (User= in its unit): the file's and its folders' permissions are checked for
// that user instead.

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/Paths.h"
#include "common/Strings.h"
#include "service/ConfigAccess.h"
#include "service/ServiceHost.h"

namespace vel {

namespace {

// The last User= of the unit's [Service] section and of its drop-ins; "" when none.
std::string UnitUser(const std::string& unitFile) {
  std::vector<std::string> files{unitFile};
  std::error_code ec;
  std::vector<std::string> dropIns;
  for (const auto& entry : std::filesystem::directory_iterator(unitFile + ".d", ec))
    if (entry.path().extension() == ".conf") dropIns.push_back(entry.path().string());
  std::sort(dropIns.begin(), dropIns.end());
  files.insert(files.end(), dropIns.begin(), dropIns.end());
  std::string user;
  for (const std::string& file : files) {
    std::ifstream in(file);
    std::string line;
    bool service = false;
    while (std::getline(in, line)) {
      TrimInPlace(line);
      if (line.starts_with("[")) service = line == "[Service]";
      if (!service || !line.starts_with("User=")) continue;
      user = line.substr(5);
      TrimInPlace(user);
    }
  }
  return user;
}

struct TAccount {
  uid_t Uid;
  std::vector<gid_t> Groups;
};

bool Allows(const TAccount& account, const struct stat& st, mode_t owner, mode_t group,
            mode_t other) {
  if (st.st_uid == account.Uid) return (st.st_mode & owner) != 0;
  for (gid_t g : account.Groups)
    if (st.st_gid == g) return (st.st_mode & group) != 0;
  return (st.st_mode & other) != 0;
}

}  // namespace

std::string InstalledUnitFile() {
  return std::string(kDefaultUnitDir) + "/" + kUnitFileName;
}

std::string ServiceAccountReadProblem(const std::string& file, const std::string& unitFile) {
  if (geteuid() != 0) return {};
  const std::string user = UnitUser(unitFile);
  if (user.empty() || user == "root" || user == "0") return {};
  const std::string whose =
      "user \"" + user + "\", whom the service runs as (User= in " + unitFile + ")";
  const passwd* pw = getpwnam(user.c_str());
  if (!pw) return "the service runs as " + whose + ", but there is no such user";
  TAccount account{pw->pw_uid, {}};
  int count = 64;
  account.Groups.resize(static_cast<size_t>(count));
  if (getgrouplist(pw->pw_name, pw->pw_gid, account.Groups.data(), &count) < 0) {
    account.Groups.resize(static_cast<size_t>(count));
    getgrouplist(pw->pw_name, pw->pw_gid, account.Groups.data(), &count);
  }
  account.Groups.resize(static_cast<size_t>(count));

  std::error_code ec;
  const std::filesystem::path path = std::filesystem::absolute(PathFromUtf8(file), ec);
  struct stat st;
  for (auto folder = path.parent_path();; folder = folder.parent_path()) {
    if (stat(folder.c_str(), &st) == 0 && !Allows(account, st, S_IXUSR, S_IXGRP, S_IXOTH))
      return "not readable by " + whose + ": the folder \"" + PathToUtf8(folder) +
             "\" does not let that user in";
    if (folder == folder.parent_path()) break;
  }
  if (stat(path.c_str(), &st) == 0 && !Allows(account, st, S_IRUSR, S_IRGRP, S_IROTH))
    return st.st_uid == 0 && (st.st_mode & (S_IRGRP | S_IROTH)) == 0
               ? "readable by root only, not by " + whose
               : "not readable by " + whose;
  return {};
}

}  // namespace vel
