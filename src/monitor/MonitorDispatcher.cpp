// Delivery of every notification to Telegram, Discord and e-mail, with the health of each
// channel: consecutive failures are counted and a channel whose count passes its MaxErrors is
// switched off for the rest of the run. Failures never reach the caller; they become lines in
// the diagnostic log.
//
// Each channel has a lock of its own around creating its sender, sending, counting and
// switching off: deliveries on one channel are serialised (their counts stay exact and a
// sender object is used by one thread at a time) while a slow channel never holds up another.

#include <exception>
#include <string>

#include "applog/AppLog.h"
#include "monitor/MonitorController.h"
#include "notify/Discord.h"
#include "notify/MailSender.h"
#include "notify/Telegram.h"

namespace vel {

namespace {

// The chat channels' text: the title in bold on a line of its own, then the body. The
// senders turn the asterisks into each chat's own markup.
std::string FramedText(const std::string& title, const std::string& body) {
  return "**" + title + "**" + "\r\n" + body;
}

// Counts one failed delivery, logs it and switches the channel off once the count passes a
// positive MaxErrors. Runs under the channel's lock.
void CountFailure(int& errors, TVelBaseConfig& config, const char* channel,
                  const std::string& error) {
  ++errors;
  AppendAppLog("Error: " + error);
  if (config.MaxErrors() > 0 && config.MaxErrors() < errors) {
    config.SetEnabled(false);
    AppendAppLog(std::string("Disabling ") + channel +
                 " notification (Number of consecutive errors: " + std::to_string(errors) + ")");
  }
}

std::string OrDefault(const std::string& error, const char* channel) {
  return error.empty() ? std::string(channel) + ": the message was not delivered" : error;
}

}  // namespace

void TVelMonitorController::CancelDeliveries() {
  std::lock_guard senders(FSenderLock);
  FDeliveriesCancelled = true;
  if (FVelTelegram) FVelTelegram->Cancel();
  if (FVelDiscord) FVelDiscord->Cancel();
}

void TVelMonitorController::SendToTelegram(const std::string& title, const std::string& body) {
  TVelTelegramConfig& config = FConfig->TelegramConfig();
  if (!config.Enabled() || config.BotToken().empty() || config.ChatId().empty()) return;
  std::lock_guard lock(FTelegramLock);
  // A delivery that held the lock before this one may have switched the channel off.
  if (!config.Enabled()) return;
  std::string error;
  try {
    if (!FVelTelegram) {
      auto sender = std::make_unique<TVelTelegram>(config.BotToken(), config.ChatId());
      sender->SetApiUrl(config.ApiUrl());
      std::lock_guard senders(FSenderLock);
      if (FDeliveriesCancelled) sender->Cancel();
      FVelTelegram = std::move(sender);
    }
    if (FVelTelegram->SendMessage(FramedText(title, body), config.DisableNotification())) {
      FTelegramErrors = 0;
      return;
    }
    error = OrDefault(FVelTelegram->ErrorMessage(), "Telegram");
  } catch (const std::exception& e) {
    error = e.what();
  }
  CountFailure(FTelegramErrors, config, "Telegram", error);
}

void TVelMonitorController::SendToDiscord(const std::string& title, const std::string& body) {
  TVelDiscordConfig& config = FConfig->DiscordConfig();
  if (!config.Enabled() || config.Token().empty()) return;
  std::lock_guard lock(FDiscordLock);
  if (!config.Enabled()) return;
  std::string error;
  try {
    if (!FVelDiscord) {
      auto sender = std::make_unique<TVelDiscord>(config.Token());
      sender->SetApiUrl(config.ApiUrl());
      std::lock_guard senders(FSenderLock);
      if (FDeliveriesCancelled) sender->Cancel();
      FVelDiscord = std::move(sender);
    }
    if (FVelDiscord->SendMessage(FramedText(title, body), config.UserName())) {
      FDiscordErrors = 0;
      return;
    }
    error = OrDefault(FVelDiscord->ErrorMessage(), "Discord");
  } catch (const std::exception& e) {
    error = e.what();
  }
  CountFailure(FDiscordErrors, config, "Discord", error);
}

void TVelMonitorController::SendToEmail(const std::string& /*title*/, const std::string& body) {
  TEmailConfig& config = FConfig->EmailConfig();
  if (!config.Enabled() || config.Host().empty() || config.Address().empty()) return;
  std::lock_guard lock(FEmailLock);
  if (!config.Enabled()) return;
  // The subject is the configured one; the title is not sent by mail.
  std::string error;
  try {
    std::string status;
    if (TVelMailSender::SendEMailSMTP(config.Host(), config.UserName(), config.Password(),
                                      config.Address(), config.Subject(), body, config.Port(),
                                      config.Authentication(), config.UseTLS(), status,
                                      config.VerifyCertificate())) {
      FEmailErrors = 0;
      return;
    }
    error = OrDefault(status, "Email");
  } catch (const std::exception& e) {
    error = e.what();
  }
  CountFailure(FEmailErrors, config, "Email", error);
}

int TVelMonitorController::TelegramErrors() const {
  std::lock_guard lock(FTelegramLock);
  return FTelegramErrors;
}

int TVelMonitorController::DiscordErrors() const {
  std::lock_guard lock(FDiscordLock);
  return FDiscordErrors;
}

int TVelMonitorController::EmailErrors() const {
  std::lock_guard lock(FEmailLock);
  return FEmailErrors;
}

}  // namespace vel
