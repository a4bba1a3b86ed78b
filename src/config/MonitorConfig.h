#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "common/TextDecoding.h"

namespace vel {

class TVelStringList;

// One monitored application ([App_n]).
class TVelAppConfig {
 public:
  TVelAppConfig() = default;
  TVelAppConfig(std::string name, std::string logPath)
      : FName(std::move(name)), FLogPath(std::move(logPath)) {}

  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool v) { FEnabled = v; }
  const std::string& Name() const { return FName; }
  void SetName(std::string v) { FName = std::move(v); }
  const std::string& LogPath() const { return FLogPath; }
  void SetLogPath(std::string v) { FLogPath = std::move(v); }

 private:
  bool FEnabled = false;
  std::string FName;
  std::string FLogPath;
};

// Settings shared by the three channels. Enabled is atomic: the dispatcher switches a
// channel off from whichever worker thread saw the last failure while other threads read it.
class TVelBaseConfig {
 public:
  virtual ~TVelBaseConfig() = default;

  bool Enabled() const { return FEnabled.load(); }
  void SetEnabled(bool v) { FEnabled.store(v); }
  bool SendFullLog() const { return FSendFullLog; }
  void SetSendFullLog(bool v) { FSendFullLog = v; }
  int MaxErrors() const { return FMaxErrors; }
  void SetMaxErrors(int v) { FMaxErrors = v; }
  // Alerts on this channel carry the short form of the log: enabled and not SendFullLog.
  bool TruncateErrorLog() const { return Enabled() && !SendFullLog(); }

 private:
  std::atomic<bool> FEnabled{false};
  bool FSendFullLog = false;
  int FMaxErrors = 0;
};

class TVelTelegramConfig : public TVelBaseConfig {
 public:
  const std::string& BotToken() const { return FBotToken; }
  void SetBotToken(std::string v) { FBotToken = std::move(v); }
  const std::string& ChatId() const { return FChatId; }
  void SetChatId(std::string v) { FChatId = std::move(v); }
  // [Telegram] ApiUrl: the Bot API host, "https://api.telegram.org" unless set.
  const std::string& ApiUrl() const { return FApiUrl; }
  void SetApiUrl(std::string v) { FApiUrl = std::move(v); }
  // [Telegram] DisableNotification: messages arrive without a notification sound; off
  // unless set.
  bool DisableNotification() const { return FDisableNotification; }
  void SetDisableNotification(bool v) { FDisableNotification = v; }

 private:
  std::string FBotToken;
  std::string FChatId;
  std::string FApiUrl = "https://api.telegram.org";
  bool FDisableNotification = false;
};

class TVelDiscordConfig : public TVelBaseConfig {
 public:
  const std::string& Token() const { return FToken; }
  void SetToken(std::string v) { FToken = std::move(v); }
  const std::string& UserName() const { return FUserName; }
  void SetUserName(std::string v) { FUserName = std::move(v); }
  // [Discord] ApiUrl: the webhook base, "https://discord.com/api/webhooks/" unless set.
  const std::string& ApiUrl() const { return FApiUrl; }
  void SetApiUrl(std::string v) { FApiUrl = std::move(v); }

 private:
  std::string FToken;
  std::string FUserName;
  std::string FApiUrl = "https://discord.com/api/webhooks/";
};

class TEmailConfig : public TVelBaseConfig {
 public:
  const std::string& Host() const { return FHost; }
  void SetHost(std::string v) { FHost = std::move(v); }
  const std::string& Address() const { return FAddress; }
  void SetAddress(std::string v) { FAddress = std::move(v); }
  int Port() const { return FPort; }
  void SetPort(int v) { FPort = v; }
  const std::string& Password() const { return FPassword; }
  void SetPassword(std::string v) { FPassword = std::move(v); }
  const std::string& UserName() const { return FUserName; }
  void SetUserName(std::string v) { FUserName = std::move(v); }
  const std::string& Authentication() const { return FAuthentication; }
  // Stores "SASL", "none" (both matched without letter case) or "default" for anything else.
  void SetAuthentication(const std::string& value);
  const std::string& Subject() const { return FSubject; }
  void SetSubject(std::string v) { FSubject = std::move(v); }
  bool UseTLS() const { return FUseTLS; }
  void SetUseTLS(bool v) { FUseTLS = v; }
  // [Email] VerifyCertificate: with UseTLS, the server's certificate and host name are
  // checked against the system's CA store; on unless set to 0.
  bool VerifyCertificate() const { return FVerifyCertificate; }
  void SetVerifyCertificate(bool v) { FVerifyCertificate = v; }
  // [Email] ConnectTimeout: seconds for the TCP connection to each address of the host;
  // 10 unless set.
  int ConnectTimeout() const { return FConnectTimeout; }
  void SetConnectTimeout(int seconds) { FConnectTimeout = seconds; }

 private:
  std::string FHost;
  std::string FAddress;
  int FPort = 0;
  std::string FPassword;
  std::string FUserName;
  std::string FAuthentication;
  std::string FSubject;
  bool FUseTLS = false;
  bool FVerifyCertificate = true;
  int FConnectTimeout = 10;
};

// The whole configuration, read once from the INI file when the service starts.
class TVelMonitorConfig {
 public:
  // fileName: the INI file; empty means DefaultFileName().
  explicit TVelMonitorConfig(std::string fileName = {});
  // The executable's path with its extension replaced by ".ini" (appended when it has none).
  static std::string DefaultFileName();
  ~TVelMonitorConfig();
  TVelMonitorConfig(const TVelMonitorConfig&) = delete;
  TVelMonitorConfig& operator=(const TVelMonitorConfig&) = delete;

  // Reads the file (a missing file reads as all keys absent) and installs [General] LogPath
  // as the diagnostic log folder.
  void LoadConfig();

  const std::string& FileName() const { return FFileName; }
  // How the last LoadConfig decoded the file (IniFile.h).
  TTextEncoding FileEncoding() const { return FFileEncoding; }
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool v) { FEnabled = v; }
  const std::string& LogPath() const { return FLogPath; }
  void SetLogPath(std::string v) { FLogPath = std::move(v); }

  const std::vector<std::unique_ptr<TVelAppConfig>>& AppList() const { return FAppList; }
  TVelTelegramConfig& TelegramConfig() { return FTelegramConfig; }
  TVelDiscordConfig& DiscordConfig() { return FDiscordConfig; }
  TEmailConfig& EmailConfig() { return FEmailConfig; }
  const TVelTelegramConfig& TelegramConfig() const { return FTelegramConfig; }
  const TVelDiscordConfig& DiscordConfig() const { return FDiscordConfig; }
  const TEmailConfig& EmailConfig() const { return FEmailConfig; }

  // Parses the comma text (";" counts as ",") into the sorted, case-insensitive ignore list.
  void SetIgnoreExceptions(const std::string& text);
  // True when the ignore list holds the class name, compared without letter case.
  bool IgnoreExceptionClass(const std::string& exceptionClass) const;
  // The ignore list's items in sorted order (empty before the first load).
  std::vector<std::string> IgnoreExceptions() const;

 private:
  std::string FFileName;
  TTextEncoding FFileEncoding = TTextEncoding::teUtf8;
  bool FEnabled = false;
  std::string FLogPath;
  std::unique_ptr<TVelStringList> FIgnoreExceptionClasses;
  std::vector<std::unique_ptr<TVelAppConfig>> FAppList;
  TVelTelegramConfig FTelegramConfig;
  TVelDiscordConfig FDiscordConfig;
  TEmailConfig FEmailConfig;
};

}  // namespace vel
