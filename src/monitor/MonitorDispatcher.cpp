// Placeholder so the controller links while the dispatcher is being written; developer E
// replaces this file entirely.
#include "monitor/MonitorController.h"

namespace vel {
void TVelMonitorController::SendToTelegram(const std::string&, const std::string&) {}
void TVelMonitorController::SendToDiscord(const std::string&, const std::string&) {}
void TVelMonitorController::SendToEmail(const std::string&, const std::string&) {}
int TVelMonitorController::TelegramErrors() const { return FTelegramErrors; }
int TVelMonitorController::DiscordErrors() const { return FDiscordErrors; }
int TVelMonitorController::EmailErrors() const { return FEmailErrors; }
}  // namespace vel
