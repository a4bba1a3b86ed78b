// The exception-log alerts: one folder monitor per enabled application, and the step that
// turns a new exception-log file into one alert per channel.

#include <filesystem>
#include <system_error>

#include "applog/AppLog.h"
#include "common/Exception.h"
#include "common/FileStream.h"
#include "common/Paths.h"
#include "common/Strings.h"
#include "folderwatch/FolderMonitor.h"
#include "monitor/MonitorController.h"
#include "monitor/SettleWait.h"

namespace vel {

namespace {

constexpr int kRecentFileCapacity = 32;

// The texts the exception-log writer puts into its files.
const std::string kMessageKey = "Exception message";
const std::string kAddressKey = "Exception address";
const std::string kClassKey = "Exception class";
const std::string kCutMarker = "Application Name";
const std::string kSeparatorLine = std::string(120, '-') + "\r\n";
const std::string kRestartHintLine =
    "Depending on the error condition, it might be possible to restart the application.\r\n";
const std::string kFence = "```";

// Exception logs are a few kilobytes; anything far larger is not one worth reading whole.
constexpr std::uintmax_t kMaxLogFileSize = 16u * 1024u * 1024u;

const TChangeTypes kWatchedChanges{ctFileName, ctCreationTime};

}  // namespace

void TVelMonitorController::InitAlerts() {
  if (!FFileNotificationList)
    FFileNotificationList = std::make_unique<TCircularBuffer<std::string>>(kRecentFileCapacity);
  std::lock_guard lock(FFolderMonitorLock);
  FFolderMonitorList.clear();
}

void TVelMonitorController::StartAlerts() {
  for (const auto& app : FConfig->AppList()) {
    if (!app->Enabled()) continue;
    try {
      // The handler is in place before the watch starts, so a file written in the first
      // moments is not missed.
      auto monitor =
          std::make_unique<TVelFolderMonitor>(app->Name(), app->LogPath(), kWatchedChanges, false);
      monitor->SetOnFolderChange([this](TVelFolderMonitor* sender, const TFolderItemInfo& item) {
        ExecOnFolderChanged(sender, item);
      });
      // The folder is not made again: an operator removing a retired application's logs
      // must be able to. One line, then the watch resumes once the folder is back; the same
      // for a folder that cannot be reached yet at start (a share not up).
      monitor->SetOnFolderGone([](TVelFolderMonitor* sender) {
        AppendAppLog(
            "Error: The log folder \"" + sender->Folder() + "\" of " + sender->Name() +
            " was deleted or moved away, or cannot be reached; it is watched again once it exists");
      });
      monitor->Activate();
      // Files closed by their writer are read at once instead of after the full settle time.
      FSettleWait->WatchFolder(app->LogPath());
      std::lock_guard lock(FFolderMonitorLock);
      FFolderMonitorList.push_back(std::move(monitor));
    } catch (const std::exception& e) {
      AppendAppLog(std::string("Error: ") + e.what());
    }
  }
}

void TVelMonitorController::StopAlerts() {
  std::vector<std::unique_ptr<TVelFolderMonitor>> monitors;
  {
    std::lock_guard lock(FFolderMonitorLock);
    monitors.swap(FFolderMonitorList);
  }
  for (auto& monitor : monitors)
    RunGuarded([&monitor] { monitor->Deactivate(); }, "Deactivate FolderMonitor");
  // Releasing a monitor joins its worker, which may be in the middle of an alert; the
  // controller's destructor does that, so Stop returns at once.
  std::lock_guard lock(FFolderMonitorLock);
  for (auto& monitor : monitors) FRetiredMonitors.push_back(std::move(monitor));
}

size_t TVelMonitorController::FolderMonitorCount() const {
  std::lock_guard lock(FFolderMonitorLock);
  return FFolderMonitorList.size();
}

void TVelMonitorController::ExecOnFolderChanged(TVelFolderMonitor* sender,
                                                const TFolderItemInfo& item) {
  TFolderItemInfo copy = item;
  RunGuarded([this, sender, copy] { DoOnFolderChanged(sender, copy); }, "DoOnFolderChanged");
}

void TVelMonitorController::DoOnFolderChanged(TVelFolderMonitor* sender,
                                              const TFolderItemInfo& item) {
  if (sender == nullptr || !FConfig->Enabled() || item.Action != faNew) return;

  // The writer gets time to finish the file: it is read once closed after writing, and at
  // the latest when the settle time has passed. Waits of several files overlap.
  FSettleWait->Add(item.Name, [this, title = sender->Name(), name = item.Name] {
    RunGuarded([&] { AlertFile(title, name); }, "DoOnFolderChanged");
  });
}

void TVelMonitorController::AlertFile(const std::string& title, const std::string& fileName) {
  // Only a regular file (a symbolic link counts by its target) is read: a folder is not a
  // log, and a pipe or device would block the read for good.
  std::error_code ec;
  const std::filesystem::path file = PathFromUtf8(fileName);
  if (!std::filesystem::is_regular_file(file, ec)) return;
  const std::uintmax_t size = std::filesystem::file_size(file, ec);
  if (!ec && size > kMaxLogFileSize)
    throw Exception("File \"" + fileName + "\" is not read: its size of " + std::to_string(size) +
                    " bytes exceeds the limit of " + std::to_string(kMaxLogFileSize) + " bytes");

  std::string text = TVelTextFileReader::ReadAllText(fileName, false);
  if (text.empty()) return;
  if (text.find(kMessageKey) == std::string::npos || text.find(kAddressKey) == std::string::npos)
    return;

  const std::string exceptionClass = ExtractLogValue(text, kClassKey);
  if (!exceptionClass.empty() && FConfig->IgnoreExceptionClass(exceptionClass)) return;

  {
    // Test and add together: two monitors on one folder alert a file once.
    std::lock_guard lock(FRingLock);
    if (FFileNotificationList->Contains(fileName)) return;
    FFileNotificationList->Add(fileName);
  }

  const bool telegramShort = FConfig->TelegramConfig().TruncateErrorLog();
  const bool discordShort = FConfig->DiscordConfig().TruncateErrorLog();
  const bool emailShort = FConfig->EmailConfig().TruncateErrorLog();
  const TAlertTexts texts =
      ShapeAlertTexts(std::move(text), telegramShort || discordShort || emailShort);

  const TNotificationInfo info{TNotificationKind::nkAlert, exceptionClass};
  SendToTelegram(title, telegramShort ? texts.ChatShort : texts.Full, info);
  SendToDiscord(title, discordShort ? texts.ChatShort : texts.Full, info);
  SendToEmail(title, emailShort ? texts.Short : texts.Full, info);
}

TVelMonitorController::TAlertTexts TVelMonitorController::ShapeAlertTexts(std::string text,
                                                                          bool withShort) {
  TAlertTexts texts;
  text = ReplaceSubstring(text, kSeparatorLine, "");
  texts.Full = ReplaceSubstring(text, kRestartHintLine, "");
  if (withShort) {
    // Cut at the line the application details begin with. The marker inside a value (an
    // exception message that mentions it) does not begin a line and must not empty the alert.
    size_t cut = texts.Full.find(kCutMarker);
    while (cut != std::string::npos && cut > 0 && texts.Full[cut - 1] != '\n' &&
           texts.Full[cut - 1] != '\r')
      cut = texts.Full.find(kCutMarker, cut + 1);
    texts.Short = ReplaceSubstringAll(texts.Full.substr(0, cut), kSeparatorLine, "");
    texts.ChatShort = kFence + texts.Short + kFence;
  }
  return texts;
}

std::string TVelMonitorController::ExtractLogValue(const std::string& text,
                                                   const std::string& key) {
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string::npos) end = text.size();
    const std::string_view line(text.data() + pos, end - pos);
    if (line.compare(0, key.size(), key) == 0) {
      const size_t colon = line.find(':');
      if (colon != std::string_view::npos) {
        std::string value(line.substr(colon + 1));
        TrimInPlace(value);
        return value;
      }
    }
    if (end >= text.size()) break;
    // CR LF is one line break; a lone CR or LF is one as well.
    pos = end + ((text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1);
  }
  return {};
}

}  // namespace vel
