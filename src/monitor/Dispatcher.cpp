#include "monitor/Dispatcher.h"

#include <algorithm>
#include <ctime>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "applog/AppLog.h"
#include "applog/AppLogPlatform.h"
#include "common/LocaleDateTime.h"
#include "config/MonitorConfig.h"
#include "monitor/MailText.h"
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

std::string OrDefault(const std::string& error, const char* channel) {
  return error.empty() ? std::string(channel) + ": the message was not delivered" : error;
}

// Local time of day in the locale's form, for the time span of a summary.
std::string LocalTimeOfDay() {
  return LocaleLongTime(applog_detail::GetLocalNow().tm);
}

}  // namespace

// A channel's queue, its worker and its health.
class TVelDispatcher::TChannel {
 public:
  using TDeliver = std::function<TResult(const std::string& title, const std::string& body)>;

  TChannel(const char* name, TVelBaseConfig& config, TStormLimits limits, TDeliver deliver)
      : FName(name), FConfig(config), FDeliver(std::move(deliver)), FQueue(limits) {
    FWorker = std::jthread([this] { Run(); });
  }
  ~TChannel() { Close(); }

  void Push(TDispatchItem item) {
    {
      std::lock_guard lock(FLock);
      if (FClosed) return;
      FQueue.Push(std::move(item));
    }
    FWake.notify_one();
  }

  bool WaitIdle(TClock::time_point until) {
    std::unique_lock lock(FLock);
    return FIdle.wait_until(lock, until, [&] { return FQueue.Empty() && !FBusy; });
  }

  // Ends the worker: a delivery under way is cancelled by the owner before this is called;
  // a throttle wait ends at once. Logs what was left unsent.
  void Close() {
    {
      std::lock_guard lock(FLock);
      if (FClosed) return;
      FClosed = true;
    }
    FWake.notify_all();
    if (FWorker.joinable()) FWorker.join();
    const std::size_t unsent = FUnsent + FQueue.Waiting();
    FQueue.Clear();
    if (unsent > 0)
      AppendAppLog("Error: " + FName + ": " + std::to_string(unsent) +
                   (unsent == 1 ? " notification was" : " notifications were") +
                   " not sent before the stop");
  }

  int Errors() const {
    std::lock_guard lock(FLock);
    return FErrors;
  }

  std::size_t Waiting() const {
    std::lock_guard lock(FLock);
    return FQueue.Waiting();
  }

  void BeginStop() {
    {
      std::lock_guard lock(FLock);
      FStopping = true;
      FQueue.ReleaseHeld();
    }
    FWake.notify_one();
  }

 private:
  void Run() {
    std::unique_lock lock(FLock);
    while (!FClosed) {
      const auto now = TClock::now();
      std::optional<TDispatchItem> next = FQueue.TakeNext(now);
      if (!next) {
        // Nothing may go yet: wait for a push, the pacing or a held summary.
        if (const auto chance = FQueue.NextChance(now))
          FWake.wait_until(lock, *chance);
        else
          FWake.wait(lock);
        continue;
      }
      TDispatchItem item = std::move(*next);
      FBusy = true;
      const bool startedBeforeStop = !FStopping;
      lock.unlock();
      const bool sent = Deliver(item, startedBeforeStop);
      lock.lock();
      if (!sent) FUnsent += item.Count;
      FBusy = false;
      FIdle.notify_all();
    }
    FBusy = false;
    FIdle.notify_all();
  }

  // False when the stop cancelled the delivery, or ended it before the channel answered.
  bool Deliver(const TDispatchItem& item, bool startedBeforeStop) {
    const std::string text = item.Text();
    for (;;) {
      // A channel switched off while this waited in the queue is skipped silently.
      if (!FConfig.Enabled()) return true;
      TResult r;
      try {
        r = FDeliver(item.Title, text);
      } catch (const std::exception& e) {
        r = {TOutcome::ocFailed, e.what(), {}};
      }
      if (Closed()) return r.Outcome == TOutcome::ocDelivered;
      switch (r.Outcome) {
        case TOutcome::ocDelivered: {
          std::lock_guard lock(FLock);
          FErrors = 0;
          // Went through only after the sender waited out a 429.
          if (r.Throttled) FQueue.NoteThrottled(TClock::now());
          return true;
        }
        case TOutcome::ocCancelled:
          return false;
        case TOutcome::ocThrottled: {
          auto wait = r.Wait > std::chrono::milliseconds::zero() ? r.Wait : kDefaultThrottleWait;
          wait = std::min(wait, kMaxThrottleWait);
          std::unique_lock lock(FLock);
          FQueue.NoteThrottled(TClock::now());
          if (FWake.wait_for(lock, wait, [&] { return FClosed; })) return false;
          continue;  // the same message again
        }
        case TOutcome::ocFailed:
          // Under way when the stop came: whichever ended it, the read time-out or the end
          // of the grace, it says nothing about the channel's health.
          if (startedBeforeStop && Stopping()) return false;
          CountFailure(r.Error);
          return true;
      }
    }
  }

  bool Closed() const {
    std::lock_guard lock(FLock);
    return FClosed;
  }

  bool Stopping() const {
    std::lock_guard lock(FLock);
    return FStopping;
  }

  // Counts one failed delivery, logs it and switches the channel off once the count passes
  // a positive MaxErrors.
  void CountFailure(const std::string& error) {
    int errors;
    {
      std::lock_guard lock(FLock);
      errors = ++FErrors;
    }
    AppendAppLog("Error: " + error);
    if (FConfig.MaxErrors() > 0 && FConfig.MaxErrors() < errors) {
      FConfig.SetEnabled(false);
      AppendAppLog("Disabling " + FName +
                   " notification (Number of consecutive errors: " + std::to_string(errors) + ")");
    }
  }

  const std::string FName;
  TVelBaseConfig& FConfig;
  const TDeliver FDeliver;

  mutable std::mutex FLock;
  std::condition_variable FWake;
  std::condition_variable FIdle;
  TDispatchQueue FQueue;
  bool FBusy = false;
  bool FClosed = false;
  bool FStopping = false;
  std::size_t FUnsent = 0;
  int FErrors = 0;
  std::jthread FWorker;  // last: joined before the state above goes
};

TVelDispatcher::TVelDispatcher(TVelMonitorConfig& config, TStormLimits limits) : FConfig(config) {
  FTelegram = std::make_unique<TChannel>(
      "Telegram", config.TelegramConfig(), limits,
      [this](const std::string& t, const std::string& b) { return DeliverTelegram(t, b); });
  FDiscord = std::make_unique<TChannel>(
      "Discord", config.DiscordConfig(), limits,
      [this](const std::string& t, const std::string& b) { return DeliverDiscord(t, b); });
  FEmail = std::make_unique<TChannel>(
      "Email", config.EmailConfig(), limits,
      [this](const std::string& t, const std::string& b) { return DeliverEmail(t, b); });
}

TVelDispatcher::~TVelDispatcher() {
  Shutdown(TClock::now());
}

void TVelDispatcher::SendToTelegram(const std::string& title, const std::string& body,
                                    const TNotificationInfo& info) {
  const TVelTelegramConfig& config = FConfig.TelegramConfig();
  if (!config.Enabled() || config.BotToken().empty() || config.ChatId().empty()) return;
  FTelegram->Push(MakeItem(title, body, info));
}

void TVelDispatcher::SendToDiscord(const std::string& title, const std::string& body,
                                   const TNotificationInfo& info) {
  const TVelDiscordConfig& config = FConfig.DiscordConfig();
  if (!config.Enabled() || config.Token().empty()) return;
  FDiscord->Push(MakeItem(title, body, info));
}

void TVelDispatcher::SendToEmail(const std::string& title, const std::string& body,
                                 const TNotificationInfo& info) {
  const TEmailConfig& config = FConfig.EmailConfig();
  if (!config.Enabled() || config.Host().empty() || config.Address().empty()) return;
  FEmail->Push(MakeItem(title, body, info));
}

TDispatchItem TVelDispatcher::MakeItem(const std::string& title, const std::string& body,
                                       const TNotificationInfo& info) {
  TDispatchItem item;
  item.Title = title;
  item.Body = body;
  item.Kind = info.Kind;
  item.Queued = TClock::now();
  if (item.Kind == TNotificationKind::nkAlert) {
    item.Classes.emplace(info.ExceptionClass, 1);
    item.First = item.Last = LocalTimeOfDay();
  }
  return item;
}

void TVelDispatcher::BeginStop() {
  for (TChannel* channel : {FTelegram.get(), FDiscord.get(), FEmail.get()})
    if (channel) channel->BeginStop();
}

void TVelDispatcher::Shutdown(TClock::time_point graceEnd) {
  BeginStop();
  for (TChannel* channel : {FTelegram.get(), FDiscord.get(), FEmail.get()})
    if (channel) channel->WaitIdle(graceEnd);
  {
    std::lock_guard senders(FSenderLock);
    FCancelled = true;
    if (FVelTelegram) FVelTelegram->Cancel();
    if (FVelDiscord) FVelDiscord->Cancel();
  }
  for (TChannel* channel : {FTelegram.get(), FDiscord.get(), FEmail.get()})
    if (channel) channel->Close();
}

bool TVelDispatcher::WaitIdle(std::chrono::milliseconds timeout) {
  const auto until = TClock::now() + timeout;
  bool idle = true;
  for (TChannel* channel : {FTelegram.get(), FDiscord.get(), FEmail.get()})
    idle = channel->WaitIdle(until) && idle;
  return idle;
}

int TVelDispatcher::TelegramErrors() const {
  return FTelegram->Errors();
}
int TVelDispatcher::DiscordErrors() const {
  return FDiscord->Errors();
}
int TVelDispatcher::EmailErrors() const {
  return FEmail->Errors();
}

std::size_t TVelDispatcher::Waiting() const {
  return FTelegram->Waiting() + FDiscord->Waiting() + FEmail->Waiting();
}

TVelDispatcher::TResult TVelDispatcher::DeliverTelegram(const std::string& title,
                                                        const std::string& body) {
  TVelTelegramConfig& config = FConfig.TelegramConfig();
  if (!FVelTelegram) {
    auto sender = std::make_unique<TVelTelegram>(config.BotToken(), config.ChatId());
    sender->SetApiUrl(config.ApiUrl());
    std::lock_guard senders(FSenderLock);
    if (FCancelled) sender->Cancel();
    FVelTelegram = std::move(sender);
  }
  if (FVelTelegram->SendMessage(FramedText(title, body), config.DisableNotification()))
    return {TOutcome::ocDelivered, {}, {}, FVelTelegram->Throttle().has_value()};
  if (FVelTelegram->Cancelled()) return {TOutcome::ocCancelled, {}, {}};
  if (FVelTelegram->Throttle()) return {TOutcome::ocThrottled, {}, *FVelTelegram->Throttle()};
  return {TOutcome::ocFailed, OrDefault(FVelTelegram->ErrorMessage(), "Telegram"), {}};
}

TVelDispatcher::TResult TVelDispatcher::DeliverDiscord(const std::string& title,
                                                       const std::string& body) {
  TVelDiscordConfig& config = FConfig.DiscordConfig();
  if (!FVelDiscord) {
    auto sender = std::make_unique<TVelDiscord>(config.Token());
    sender->SetApiUrl(config.ApiUrl());
    std::lock_guard senders(FSenderLock);
    if (FCancelled) sender->Cancel();
    FVelDiscord = std::move(sender);
  }
  if (FVelDiscord->SendMessage(FramedText(title, body), config.UserName()))
    return {TOutcome::ocDelivered, {}, {}, FVelDiscord->Throttle().has_value()};
  if (FVelDiscord->Cancelled()) return {TOutcome::ocCancelled, {}, {}};
  if (FVelDiscord->Throttle()) return {TOutcome::ocThrottled, {}, *FVelDiscord->Throttle()};
  return {TOutcome::ocFailed, OrDefault(FVelDiscord->ErrorMessage(), "Discord"), {}};
}

TVelDispatcher::TResult TVelDispatcher::DeliverEmail(const std::string& title,
                                                     const std::string& body) {
  // The title is the application's name.
  const TEmailConfig& config = FConfig.EmailConfig();
  std::string status;
  if (TVelMailSender::SendEMailSMTP(config.Host(), config.UserName(), config.Password(),
                                    config.Address(), MailSubject(config.Subject(), title),
                                    MailBody(title, body), config.Port(), config.Authentication(),
                                    config.UseTLS(), status, config.VerifyCertificate(),
                                    config.ConnectTimeout())) {
    // Delivered to some recipients: the others are named once, without counting a failure.
    if (!status.empty()) AppendAppLog("Error: " + status);
    return {};
  }
  return {TOutcome::ocFailed, OrDefault(status, "Email"), {}};
}

}  // namespace vel
