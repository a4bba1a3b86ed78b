#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "applog/AppLog.h"
#include "common/AppInfo.h"
#include "config/MonitorConfig.h"
#include "notify/Discord.h"
#include "notify/MailSender.h"
#include "notify/Telegram.h"
#include "service/OperatorCommands.h"

namespace vel {

namespace {

constexpr const char* kTestText = "VelServerMonitor test notification";

struct Channel {
  std::string Name;
  bool Ready;
  std::string NotReadyReason;
  // Sends the test text; returns "" on success or the error text.
  std::function<std::string()> Send;
};

// The text a chat channel receives, framed the way the dispatcher frames every alert.
std::string Framed(const std::string& title, const std::string& body) {
  return "**" + title + "**\r\n" + body;
}

// Runs one delivery the way the dispatcher does: a false result or an exception is a failure.
std::string Deliver(const std::function<bool(std::string&)>& send) {
  try {
    std::string error;
    if (send(error)) return {};
    return error.empty() ? "the message was not delivered" : error;
  } catch (const std::exception& e) {
    return e.what();
  }
}

}  // namespace

int RunTestNotify(const std::string& configFile, const std::string& channel, std::ostream& out) {
  TVelMonitorConfig config(configFile);
  const std::string logFolder = LogFolder();
  config.LoadConfig();
  SetLogFolder(logFolder);

  const std::string title = "VelServerMonitor on " + TVelAppInfo::GetComputerName();
  const auto& tg = config.TelegramConfig();
  const auto& dc = config.DiscordConfig();
  const auto& em = config.EmailConfig();

  std::vector<Channel> channels = {
      {"telegram", tg.Enabled() && !tg.BotToken().empty() && !tg.ChatId().empty(),
       "needs Enabled, BotToken and ChatId",
       [&] {
         return Deliver([&](std::string& error) {
           TVelTelegram sender(tg.BotToken(), tg.ChatId());
           sender.SetApiUrl(tg.ApiUrl());
           bool ok = sender.SendMessage(Framed(title, kTestText), tg.DisableNotification());
           error = sender.ErrorMessage();
           return ok;
         });
       }},
      {"discord", dc.Enabled() && !dc.Token().empty(), "needs Enabled and Token",
       [&] {
         return Deliver([&](std::string& error) {
           TVelDiscord sender(dc.Token());
           sender.SetApiUrl(dc.ApiUrl());
           bool ok = sender.SendMessage(Framed(title, kTestText), dc.UserName());
           error = sender.ErrorMessage();
           return ok;
         });
       }},
      {"email", em.Enabled() && !em.Host().empty() && !em.Address().empty(),
       "needs Enabled, Host and Address",
       [&] {
         return Deliver([&](std::string& error) {
           // A note on success names recipients left out: worth failing a test for.
           return TVelMailSender::SendEMailSMTP(em.Host(), em.UserName(), em.Password(),
                                                em.Address(), em.Subject(), kTestText, em.Port(),
                                                em.Authentication(), em.UseTLS(), error,
                                                em.VerifyCertificate(), em.ConnectTimeout()) &&
                  error.empty();
         });
       }},
  };

  if (!channel.empty()) {
    bool known = false;
    for (const auto& c : channels) known = known || c.Name == channel;
    if (!known) {
      out << "unknown channel \"" << channel << "\" (telegram, discord or email)\n";
      return 2;
    }
  }

  int attempted = 0, failed = 0;
  for (const auto& c : channels) {
    if (!channel.empty() && c.Name != channel) continue;
    if (!c.Ready) {
      if (!channel.empty()) {
        out << c.Name << ": not configured (" << c.NotReadyReason << ")\n";
        ++failed;
      }
      continue;
    }
    ++attempted;
    std::string error = c.Send();
    if (error.empty()) {
      out << c.Name << ": ok\n";
    } else {
      out << c.Name << ": " << error << "\n";
      ++failed;
    }
  }
  if (attempted == 0 && channel.empty()) out << "no channel is configured\n";
  return (failed == 0 && attempted > 0) ? 0 : 1;
}

}  // namespace vel
