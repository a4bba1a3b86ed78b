#include "config/MonitorConfig.h"

#include <algorithm>
#include <map>

#include "applog/AppLog.h"
#include "common/AppInfo.h"
#include "common/StrLists.h"
#include "config/IniFile.h"

namespace vel {

namespace {

constexpr const char* kTelegramApiUrl = "https://api.telegram.org";
constexpr const char* kDiscordApiUrl = "https://discord.com/api/webhooks/";

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; };
           return lower(x) == lower(y);
         });
}

// The executable's path with its extension replaced by ".ini" (appended when it has none).
std::string DefaultIniFileName() {
  std::string exe = ApplicationFullFileName();
  if (exe.empty()) exe = ApplicationName();
  size_t slash = exe.find_last_of('/');
  size_t dot = exe.find_last_of('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1)) exe.resize(dot);
  return exe + ".ini";
}

// The executable's folder with its trailing path delimiter ("/" or "\\").
std::string ExecutableFolder() {
  const std::string path = TVelAppInfo::GetAppPath();
  return path.empty() ? std::string("./") : path;
}

// n when name is "App_" + n written in decimal without leading zeros (prefix in any case).
std::optional<long long> AppSectionNumber(const std::string& name) {
  if (name.size() < 5 || !SameText(std::string_view(name).substr(0, 4), "App_")) return {};
  std::string_view digits = std::string_view(name).substr(4);
  if (digits.size() > 10 || (digits.size() > 1 && digits[0] == '0')) return {};
  long long n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return {};
    n = n * 10 + (c - '0');
  }
  return n;
}

// Splits comma text: blanks before and after an item are skipped, a quoted item runs to its
// closing quote (a doubled quote stands for one), any other item ends at a comma or at a
// character of code 32 or less; a comma at the very end adds one empty item.
std::vector<std::string> SplitCommaText(const std::string& text) {
  std::vector<std::string> items;
  auto isBlank = [](char c) { return c != '\0' && static_cast<unsigned char>(c) <= 32; };
  size_t p = 0, n = text.size();
  auto at = [&](size_t i) { return i < n ? text[i] : '\0'; };
  while (p < n && isBlank(text[p])) ++p;
  while (p < n && text[p] != '\0') {
    std::string item;
    if (text[p] == '"') {
      ++p;
      while (p < n) {
        if (text[p] == '"') {
          if (at(p + 1) == '"') {
            item.push_back('"');
            p += 2;
            continue;
          }
          ++p;
          break;
        }
        item.push_back(text[p++]);
      }
    } else {
      size_t start = p;
      while (p<n&& static_cast<unsigned char>(text[p])> 32 && text[p] != ',') ++p;
      item.assign(text, start, p - start);
    }
    items.push_back(std::move(item));
    while (p < n && isBlank(text[p])) ++p;
    if (at(p) == ',') {
      if (p + 1 >= n || text[p + 1] == '\0') items.emplace_back();
      do {
        ++p;
      } while (p < n && isBlank(text[p]));
    }
  }
  return items;
}

}  // namespace

void TEmailConfig::SetAuthentication(const std::string& value) {
  if (SameText(value, "SASL"))
    FAuthentication = "SASL";
  else if (SameText(value, "none"))
    FAuthentication = "none";
  else
    FAuthentication = "default";
}

TVelMonitorConfig::TVelMonitorConfig(std::string fileName)
    : FFileName(fileName.empty() ? DefaultIniFileName() : std::move(fileName)) {}

std::string TVelMonitorConfig::DefaultFileName() {
  return DefaultIniFileName();
}

TVelMonitorConfig::~TVelMonitorConfig() = default;

void TVelMonitorConfig::LoadConfig() {
  TVelIniFile ini(FFileName);
  FFileEncoding = ini.Encoding();

  FLogPath = ini.ReadString("General", "LogPath", ExecutableFolder());
  SetLogFolder(FLogPath);
  // A missing file is the normal "monitoring off" case; a file that exists but cannot be
  // read would silently switch monitoring off, so it gets a line.
  if (!ini.ReadError().empty())
    AppendAppLog("Error: Cannot read configuration file " + FFileName + ": " + ini.ReadError());
  const int appCount = ini.ReadInteger("General", "AppCount", 0);
  FEnabled = ini.ReadBool("General", "MonitorEnabled", false);
  SetIgnoreExceptions(ini.ReadString("General", "IgnoreExceptions", ""));

  // Sections App_0 .. App_<AppCount>, in number order. Only the sections the file holds are
  // visited, so a huge AppCount costs nothing.
  FAppList.clear();
  if (appCount >= 0) {
    std::map<long long, std::string> present;
    for (const std::string& name : ini.Sections()) {
      auto n = AppSectionNumber(name);
      if (n && *n <= appCount) present.emplace(*n, name);
    }
    for (const auto& [n, section] : present) {
      std::string name = ini.ReadString(section, "Name", "");
      std::string logPath = ini.ReadString(section, "LogPath", "");
      if (name.empty() || logPath.empty()) continue;
      auto app = std::make_unique<TVelAppConfig>(std::move(name), std::move(logPath));
      app->SetEnabled(ini.ReadBool(section, "Enabled", false));
      FAppList.push_back(std::move(app));
    }
  }

  FTelegramConfig.SetEnabled(ini.ReadBool("Telegram", "Enabled", false));
  FTelegramConfig.SetBotToken(ini.ReadString("Telegram", "BotToken", ""));
  FTelegramConfig.SetChatId(ini.ReadString("Telegram", "ChatId", ""));
  FTelegramConfig.SetSendFullLog(ini.ReadBool("Telegram", "SendFullLog", false));
  FTelegramConfig.SetMaxErrors(ini.ReadInteger("Telegram", "MaxErrors", 0));
  // An empty ApiUrl would leave no host to send to: it means the public service too.
  std::string url = ini.ReadString("Telegram", "ApiUrl", "");
  FTelegramConfig.SetApiUrl(url.empty() ? kTelegramApiUrl : url);
  FTelegramConfig.SetDisableNotification(ini.ReadBool("Telegram", "DisableNotification", false));

  FDiscordConfig.SetEnabled(ini.ReadBool("Discord", "Enabled", false));
  FDiscordConfig.SetToken(ini.ReadString("Discord", "Token", ""));
  FDiscordConfig.SetUserName(ini.ReadString("Discord", "Username", ""));
  FDiscordConfig.SetSendFullLog(ini.ReadBool("Discord", "SendFullLog", false));
  FDiscordConfig.SetMaxErrors(ini.ReadInteger("Discord", "MaxErrors", 0));
  url = ini.ReadString("Discord", "ApiUrl", "");
  FDiscordConfig.SetApiUrl(url.empty() ? kDiscordApiUrl : url);

  FEmailConfig.SetEnabled(ini.ReadBool("Email", "Enabled", false));
  FEmailConfig.SetAddress(ini.ReadString("Email", "Address", ""));
  FEmailConfig.SetHost(ini.ReadString("Email", "Host", ""));
  FEmailConfig.SetPort(ini.ReadInteger("Email", "Port", 25));
  FEmailConfig.SetUserName(ini.ReadString("Email", "UserName", ""));
  FEmailConfig.SetPassword(ini.ReadString("Email", "Password", ""));
  FEmailConfig.SetAuthentication(ini.ReadString("Email", "Authentication", "default"));
  FEmailConfig.SetSubject(ini.ReadString("Email", "Subject", "Vel Server Monitor Report"));
  FEmailConfig.SetUseTLS(ini.ReadBool("Email", "UseTLS", false));
  FEmailConfig.SetVerifyCertificate(ini.ReadBool("Email", "VerifyCertificate", true));
  FEmailConfig.SetConnectTimeout(ini.ReadInteger("Email", "ConnectTimeout", 10));
}

void TVelMonitorConfig::SetIgnoreExceptions(const std::string& text) {
  if (!FIgnoreExceptionClasses) {
    FIgnoreExceptionClasses = std::make_unique<TVelStringList>();
    FIgnoreExceptionClasses->SetCaseSensitive(false);
    FIgnoreExceptionClasses->SetDuplicates(dupIgnore);
    FIgnoreExceptionClasses->SetSorted(true);
  }
  std::string commaText = text;
  std::replace(commaText.begin(), commaText.end(), ';', ',');
  FIgnoreExceptionClasses->Clear();
  for (const std::string& item : SplitCommaText(commaText)) FIgnoreExceptionClasses->Add(item);
}

bool TVelMonitorConfig::IgnoreExceptionClass(const std::string& exceptionClass) const {
  int index = 0;
  return FIgnoreExceptionClasses && FIgnoreExceptionClasses->Find(exceptionClass, index);
}

std::vector<std::string> TVelMonitorConfig::IgnoreExceptions() const {
  std::vector<std::string> out;
  if (FIgnoreExceptionClasses)
    for (int i = 0; i < FIgnoreExceptionClasses->Count(); ++i)
      out.push_back(FIgnoreExceptionClasses->Strings(i));
  return out;
}

}  // namespace vel
