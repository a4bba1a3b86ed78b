// The exception-log alerts: one folder monitor per enabled application, and the step that
// turns a new exception-log file into one alert per channel.

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "applog/AppLog.h"
#include "common/Exception.h"
#include "common/FileStream.h"
#include "common/Paths.h"
#include "common/Strings.h"
#include "common/TextDecoding.h"
#include "common/Utf.h"
#include "folderwatch/FolderMonitor.h"
#include "monitor/MonitorController.h"
#include "monitor/ReportHeader.h"
#include "monitor/SettleWait.h"
#include "notify/ChatFormat.h"

namespace vel {

namespace {

constexpr int kRecentFileCapacity = 32;

// The texts the exception-log writer puts into its files.
const std::string kMessageKey = "Exception message";
const std::string kAddressKey = "Exception address";
const std::string kSeparatorLine = std::string(120, '-') + "\r\n";
const std::string kRestartHintLine =
    "Depending on the error condition, it might be possible to restart the application.\r\n";
const std::string kFence = "```";

// Exception logs are a few kilobytes; of anything far larger only the head is read and sent.
constexpr std::int64_t kMaxLogReadSize = 16 * 1024 * 1024;

struct TFileHead {
  std::string Bytes;
  std::int64_t LeftOut = 0;  // bytes of the file after the head
};

// The first bytes of the file, up to `limit`, read while its writer may still hold it open. A
// character cut at the limit is left out with the rest.
TFileHead ReadFileHead(const std::string& fileName, std::int64_t limit) {
  TFileStream stream(fileName, fmShareDenyNone);
  const std::int64_t size = stream.Size();
  TFileHead head;
  head.Bytes.resize(static_cast<std::size_t>(std::min(size, limit)));
  if (!head.Bytes.empty())
    stream.ReadBuffer(head.Bytes.data(), static_cast<std::int64_t>(head.Bytes.size()));
  if (size > limit) head.Bytes.resize(CompleteUtf8Prefix(head.Bytes));
  head.LeftOut = size - static_cast<std::int64_t>(head.Bytes.size());
  return head;
}

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

  TFileHead head = ReadFileHead(fileName, kMaxLogReadSize);
  // Applications' own writers use the system's ANSI code page; the service's writes UTF-8.
  std::string text = DecodeExternalText(head.Bytes).Text;
  if (text.empty()) return;
  // The address line follows the message, so a message larger than the head hides it.
  if (text.find(kMessageKey) == std::string::npos ||
      (head.LeftOut == 0 && text.find(kAddressKey) == std::string::npos))
    return;

  const std::string exceptionClass = ReportExceptionClass(text);
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
  if (head.LeftOut > 0) {
    if (!text.empty() && text.back() != '\n') text += "\r\n";
    text += "[\u2026 the last " + std::to_string(head.LeftOut) +
            " bytes of the file were left out]\r\n";
  }
  const TAlertTexts texts =
      ShapeAlertTexts(std::move(text), telegramShort || discordShort || emailShort);

  const TNotificationInfo info{TNotificationKind::nkAlert, exceptionClass};
  SendToTelegram(title, telegramShort ? texts.ChatShort : texts.ChatFull, info);
  SendToDiscord(title, discordShort ? texts.ChatShort : texts.ChatFull, info);
  SendToEmail(title, emailShort ? texts.Short : texts.Full, info);
}

TVelMonitorController::TAlertTexts TVelMonitorController::ShapeAlertTexts(std::string text,
                                                                          bool withShort) {
  TAlertTexts texts;
  text = ReplaceSubstring(text, kSeparatorLine, "");
  texts.Full = ReplaceSubstring(text, kRestartHintLine, "");
  // Backticks of the log are text: no run of them may open or close a code block.
  texts.ChatFull = chat::FenceSafe(texts.Full);
  if (withShort) {
    // Cut where the application details begin, found by the report's structure: a message
    // line that looks like the label must not empty the alert.
    const size_t cut = ApplicationBlockStart(texts.Full);
    texts.Short = ReplaceSubstringAll(texts.Full.substr(0, cut), kSeparatorLine, "");
    // The fence's own line break: a first line of one word is text, not a language name.
    texts.ChatShort = kFence + "\n" + chat::FenceSafe(texts.Short) + kFence;
  }
  return texts;
}

}  // namespace vel
