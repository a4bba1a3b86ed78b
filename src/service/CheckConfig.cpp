#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "applog/AppLog.h"
#include "common/Paths.h"
#include "common/Strings.h"
#include "common/Utf.h"
#include "config/IniFile.h"
#include "config/MonitorConfig.h"
#include "service/ConfigAccess.h"
#include "notify/MimeMessage.h"
#include "service/OperatorCommands.h"

namespace vel {

namespace fs = std::filesystem;

namespace {

std::string YesNo(bool v) {
  return v ? "yes" : "no";
}

struct Findings {
  std::vector<std::string> Warnings;
  std::vector<std::string> Errors;
};

bool IsHttpUrl(const std::string& url) {
  return url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0;
}

void CheckChannelLimits(const std::string& name, const TVelBaseConfig& channel, Findings& f) {
  if (channel.Enabled() && channel.MaxErrors() <= 0)
    f.Warnings.push_back(name + ": MaxErrors is " + std::to_string(channel.MaxErrors()) +
                         ", so the channel is never switched off however often it fails");
}

void CheckApiUrl(const std::string& name, const std::string& url, Findings& f) {
  if (!IsHttpUrl(url))
    f.Errors.push_back(name + ": ApiUrl \"" + url + "\" is not an http:// or https:// URL");
}

bool IsLinkLoop(const std::error_code& ec) {
  return ec == std::errc::too_many_symbolic_link_levels;
}

// Why the service could not read its configuration file, "" when it could.
std::string ConfigFileProblem(const std::string& file, const std::string& unitFile) {
  std::error_code ec;
  const fs::file_status st = fs::status(PathFromUtf8(file), ec);
  if (IsLinkLoop(ec)) return "is a symbolic-link loop";
  if (!fs::exists(st)) return "does not exist";
  if (fs::is_directory(st)) return "is a folder, not a file";
  if (!std::ifstream(PathFromUtf8(file), std::ios::binary))
    return "cannot be read: " + std::error_code(errno, std::generic_category()).message();
  return ServiceAccountReadProblem(file, unitFile);
}

// Why the service could not watch an application's log folder, making it when missing; ""
// when it could.
std::string AppFolderProblem(const std::string& folder) {
  std::error_code ec;
  fs::path path = PathFromUtf8(folder);
  fs::file_status st = fs::status(path, ec);
  if (IsLinkLoop(ec)) return "is a symbolic-link loop";
  if (fs::is_directory(st)) return {};
  if (fs::exists(st)) return "is a file, not a folder";
  // Missing: it is made below the nearest part of the path that exists.
  while (path.has_relative_path() && path != path.parent_path()) {
    path = path.parent_path();
    st = fs::status(path, ec);
    if (IsLinkLoop(ec))
      return "cannot be created: \"" + PathToUtf8(path) + "\" is a symbolic-link loop";
    if (fs::is_directory(st)) return {};
    if (fs::exists(st)) return "cannot be created: \"" + PathToUtf8(path) + "\" is a file";
  }
  return {};
}

// The App_<n> section that names the application.
std::string AppSection(const TVelIniFile& ini, const std::string& appName) {
  for (const std::string& section : ini.Sections())
    if (section.size() > 4 && SameText(section.substr(0, 4), "App_") &&
        ini.ReadString(section, "Name", "") == appName)
      return section;
  return "App";
}

// Values the service would quietly replace by a default.
void CheckDefaultedValues(const TVelIniFile& ini, Findings& f) {
  if (const auto auth = ini.ReadValue("Email", "Authentication");
      auth && !auth->empty() && !SameText(*auth, "SASL") && !SameText(*auth, "none") &&
      !SameText(*auth, "default"))
    f.Warnings.push_back("[Email] Authentication \"" + *auth +
                         "\" is not SASL, none or default: the service uses default");
  if (const auto port = ini.ReadValue("Email", "Port"); port) {
    const auto number = TVelIniFile::ParseInteger(*port);
    if (!number)
      f.Warnings.push_back("[Email] Port \"" + *port + "\" is not a number: the service uses 25");
    else if (*number <= 0 || *number > 65535)
      f.Warnings.push_back("[Email] Port " + std::to_string(*number) +
                           " is not a valid port (1 to 65535): every e-mail would fail");
  }
  if (const auto ignore = ini.ReadValue("General", "IgnoreExceptions");
      ignore && Utf8ToUtf16LEBytes(*ignore).size() / 2 >= TVelIniFile::kMaxValueLength)
    f.Warnings.push_back("[General] IgnoreExceptions reaches the limit of " +
                         std::to_string(TVelIniFile::kMaxValueLength) +
                         " characters: the service reads no further, so names past it are "
                         "not ignored");
}

// The recipients as the sender will parse them, and settings that cannot work together.
void CheckMailSettings(const TEmailConfig& em, Findings& f) {
  std::vector<TMailAddress> mailboxes;
  std::vector<std::string> invalid;
  std::string error;
  if (!ParseMailAddresses(em.Address(), mailboxes, invalid, error))
    f.Errors.push_back("Email: Address: " + error);
  for (const auto& entry : invalid)
    f.Errors.push_back("Email: Address: \"" + entry +
                       "\" is not an e-mail address (a comma inside a name needs quotes); "
                       "nothing is sent to it");
  if (!em.UseTLS() && em.Port() == 465)
    f.Warnings.push_back(
        "Email: Port 465 expects TLS from the first byte, but UseTLS is off: the server will "
        "not greet (set UseTLS=1)");
  if (em.ConnectTimeout() < 1)
    f.Warnings.push_back("Email: ConnectTimeout " + std::to_string(em.ConnectTimeout()) +
                         " is not a number of seconds; 10 is used");
}

}  // namespace

std::string MaskSecret(const std::string& secret) {
  if (secret.empty()) return "(empty)";
  return "******** (" + std::to_string(secret.size()) + " chars)";
}

int RunCheckConfig(const std::string& configFile, std::ostream& out, const std::string& unitFile) {
  TVelMonitorConfig config(configFile);
  Findings f;
  std::error_code ec;
  const std::string file = config.FileName();
  const bool exists = fs::is_regular_file(file, ec);
  if (const std::string problem =
          ConfigFileProblem(file, unitFile.empty() ? InstalledUnitFile() : unitFile);
      !problem.empty())
    f.Errors.push_back("Configuration file \"" + file + "\" " + problem);
  const TVelIniFile ini(file);
  CheckDefaultedValues(ini, f);

  // Loading installs LogPath as the log folder; keep what this process logs where it was.
  const std::string logFolder = LogFolder();
  config.LoadConfig();
  SetLogFolder(logFolder);

  out << "Configuration file: " << file << "\n";
  if (config.FileEncoding() != TTextEncoding::teUtf8)
    out << "Encoding: " << TextEncodingName(config.FileEncoding()) << "\n";
  out << "\n[General]\n";
  out << "  LogPath           = " << config.LogPath() << "\n";
  out << "  Diagnostic log    = " << config.LogPath() << ApplicationName() << ".log\n";
  out << "  MonitorEnabled    = " << YesNo(config.Enabled()) << "\n";
  std::string ignored;
  for (const auto& name : config.IgnoreExceptions())
    if (!name.empty()) ignored += (ignored.empty() ? "" : ", ") + name;
  out << "  IgnoreExceptions  = " << ignored << "\n";

  out << "\nApplications (" << config.AppList().size() << "):\n";
  for (const auto& app : config.AppList()) {
    out << "  " << app->Name() << ": " << app->LogPath() << (app->Enabled() ? "" : "  (disabled)")
        << "\n";
    if (!app->Enabled()) continue;
    if (const std::string problem = AppFolderProblem(app->LogPath()); !problem.empty())
      f.Errors.push_back("[" + AppSection(ini, app->Name()) + "] LogPath \"" + app->LogPath() +
                         "\" of application \"" + app->Name() + "\" " + problem);
    else if (!fs::is_directory(PathFromUtf8(app->LogPath()), ec))
      f.Warnings.push_back("Application \"" + app->Name() + "\": the folder \"" + app->LogPath() +
                           "\" does not exist yet (the service creates it)");
  }

  const auto& tg = config.TelegramConfig();
  out << "\n[Telegram]\n  Enabled      = " << YesNo(tg.Enabled())
      << "\n  BotToken     = " << MaskSecret(tg.BotToken()) << "\n  ChatId       = " << tg.ChatId()
      << "\n  SendFullLog  = " << YesNo(tg.SendFullLog()) << "\n  MaxErrors    = " << tg.MaxErrors()
      << "\n  ApiUrl       = " << tg.ApiUrl()
      << "\n  DisableNotification = " << YesNo(tg.DisableNotification()) << "\n";
  const auto& dc = config.DiscordConfig();
  out << "\n[Discord]\n  Enabled      = " << YesNo(dc.Enabled())
      << "\n  Token        = " << MaskSecret(dc.Token()) << "\n  Username     = " << dc.UserName()
      << "\n  SendFullLog  = " << YesNo(dc.SendFullLog()) << "\n  MaxErrors    = " << dc.MaxErrors()
      << "\n  ApiUrl       = " << dc.ApiUrl() << "\n";
  const auto& em = config.EmailConfig();
  out << "\n[Email]\n  Enabled        = " << YesNo(em.Enabled())
      << "\n  Address        = " << em.Address() << "\n  Host           = " << em.Host()
      << "\n  Port           = " << em.Port() << "\n  UserName       = " << em.UserName()
      << "\n  Password       = " << MaskSecret(em.Password())
      << "\n  Authentication = " << em.Authentication() << "\n  Subject        = " << em.Subject()
      << "\n  UseTLS         = " << YesNo(em.UseTLS())
      << "\n  VerifyCertificate = " << YesNo(em.VerifyCertificate())
      << "\n  ConnectTimeout = " << em.ConnectTimeout() << "\n";

  // What an operator would want to know before relying on the service.
  if (!config.Enabled())
    f.Warnings.push_back("MonitorEnabled is off: the service will watch and relay nothing");
  else if (config.AppList().empty())
    f.Warnings.push_back("No application is configured: the service relays status reports only");
  const std::string& logPath = config.LogPath();
  if (!logPath.empty() && logPath.back() != '/')
    f.Warnings.push_back("LogPath \"" + logPath + "\" does not end with \"/\": the log file is \"" +
                         logPath + ApplicationName() + ".log\"");
  const std::string logDir =
      logPath.empty() ? "." : PathToUtf8(PathFromUtf8(logPath).parent_path());
  if (!logDir.empty() && !fs::is_directory(PathFromUtf8(logDir), ec))
    f.Warnings.push_back("The log folder \"" + logDir +
                         "\" does not exist: diagnostic lines will go to syslog");

  if (tg.Enabled() && (tg.BotToken().empty() || tg.ChatId().empty()))
    f.Warnings.push_back("Telegram is enabled but not ready: BotToken and ChatId are both needed");
  if (dc.Enabled() && dc.Token().empty())
    f.Warnings.push_back("Discord is enabled but not ready: Token is empty");
  if (em.Enabled() && (em.Host().empty() || em.Address().empty()))
    f.Warnings.push_back("Email is enabled but not ready: Host and Address are both needed");
  if (em.Enabled() && !em.Host().empty() && !em.Address().empty() && em.UserName().empty())
    f.Errors.push_back("Email: UserName is empty; every e-mail would fail (it is also the sender)");
  if (em.Enabled() && em.UseTLS() && !em.VerifyCertificate())
    f.Warnings.push_back(
        "Email: VerifyCertificate is off: any server on the path can pose as the mail server "
        "and read the password and the alerts");
  if (em.Enabled() && !em.UseTLS() && !em.Password().empty() && em.Authentication() != "none")
    f.Warnings.push_back("Email: UseTLS is off: the password would be sent without encryption");
  if (em.Enabled()) CheckMailSettings(em, f);
  if (tg.Enabled()) CheckApiUrl("Telegram", tg.ApiUrl(), f);
  if (dc.Enabled()) CheckApiUrl("Discord", dc.ApiUrl(), f);
  CheckChannelLimits("Telegram", tg, f);
  CheckChannelLimits("Discord", dc, f);
  if (!tg.Enabled() && !dc.Enabled() && !em.Enabled())
    f.Warnings.push_back("No channel is enabled: nothing will be sent");

  const bool hasSecrets = !tg.BotToken().empty() || !dc.Token().empty() || !em.Password().empty();
  if (exists && hasSecrets) {
    auto perms = fs::status(file, ec).permissions();
    if (!ec && (perms & fs::perms::others_read) != fs::perms::none)
      f.Warnings.push_back("\"" + file +
                           "\" holds tokens or passwords and is readable by every user "
                           "(chmod o-r, or 0640 with the service's group)");
  }

  out << "\n";
  for (const auto& w : f.Warnings) out << "warning: " << w << "\n";
  for (const auto& e : f.Errors) out << "error: " << e << "\n";
  out << (f.Errors.empty() ? "Configuration OK" : "Configuration has errors") << " ("
      << f.Errors.size() << " error(s), " << f.Warnings.size() << " warning(s))\n";
  return f.Errors.empty() ? 0 : 1;
}

}  // namespace vel
