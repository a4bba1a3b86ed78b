// The controller's entry points of the notification dispatcher (Dispatcher.h): every
// notification is queued on its channel and delivered by that channel's worker.

#include "applog/AppLog.h"
#include "monitor/MonitorController.h"

namespace vel {

void TVelMonitorController::SendToTelegram(const std::string& title, const std::string& body,
                                           const TNotificationInfo& info) {
  FDispatcher->SendToTelegram(title, body, info);
}

void TVelMonitorController::SendToDiscord(const std::string& title, const std::string& body,
                                          const TNotificationInfo& info) {
  FDispatcher->SendToDiscord(title, body, info);
}

void TVelMonitorController::SendToEmail(const std::string& title, const std::string& body,
                                        const TNotificationInfo& info) {
  FDispatcher->SendToEmail(title, body, info);
}

int TVelMonitorController::TelegramErrors() const {
  return FDispatcher->TelegramErrors();
}

int TVelMonitorController::DiscordErrors() const {
  return FDispatcher->DiscordErrors();
}

int TVelMonitorController::EmailErrors() const {
  return FDispatcher->EmailErrors();
}

}  // namespace vel
