#include "monitor/Dispatcher.h"

#include <algorithm>
#include <ctime>
#include <exception>
#include <functional>
#include <string>
#include <utility>

#include "applog/AppLog.h"
#include "applog/AppLogPlatform.h"
#include "common/LocaleDateTime.h"
#include "config/MonitorConfig.h"
#include "notify/Discord.h"
#include "notify/MailSender.h"
#include "notify/Telegram.h"

namespace vel {

namespace {

// How long a channel counts as in a storm after its last 429, and the least time between two
// of its messages meanwhile (at most 30 a minute).
constexpr std::chrono::seconds kStormMemory{60};
constexpr std::chrono::seconds kStormSpacing{2};

// Distinct exception classes a summary names; the rest are counted together.
constexpr std::size_t kMaxSummaryClasses = 20;

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

// One queued notification, or a summary of several alerts of one application.
struct TVelDispatcher::TItem {
  std::string Title;
  std::string Body;  // the newest alert's text in the channel's form
  TNotificationKind Kind = TNotificationKind::nkPlain;
  TClock::time_point Queued;
  // Alerts only: how many exception logs this item stands for, per class, and when the
  // first and the newest of them were queued.
  std::size_t Count = 1;
  std::map<std::string, std::size_t> Classes;
  std::size_t OtherClasses = 0;
  std::string First;
  std::string Last;

  bool IsSummary() const { return Count > 1; }

  void Absorb(TItem&& newer) {
    Count += newer.Count;
    for (auto& [cls, n] : newer.Classes) {
      auto it = Classes.find(cls);
      if (it != Classes.end())
        it->second += n;
      else if (Classes.size() < kMaxSummaryClasses)
        Classes.emplace(cls, n);
      else
        OtherClasses += n;
    }
    OtherClasses += newer.OtherClasses;
    Last = std::move(newer.Last);
    Body = std::move(newer.Body);
  }

  std::string Text() const {
    if (!IsSummary()) return Body;
    std::string t = "Summary of " + std::to_string(Count) + " exception logs (" + First + " to " +
                    Last + ")\r\n";
    for (const auto& [cls, n] : Classes)
      t += (cls.empty() ? std::string("(no class)") : cls) + ": " + std::to_string(n) + "\r\n";
    if (OtherClasses > 0) t += "Other classes: " + std::to_string(OtherClasses) + "\r\n";
    return t + "Newest:\r\n" + Body;
  }
};

// A channel's queue, its worker and its health.
class TVelDispatcher::TChannel {
 public:
  using TDeliver = std::function<TResult(const std::string& title, const std::string& body)>;

  TChannel(const char* name, TVelBaseConfig& config, TDeliver deliver)
      : FName(name), FConfig(config), FDeliver(std::move(deliver)) {
    FWorker = std::jthread([this] { Run(); });
  }
  ~TChannel() { Close(); }

  void Push(TItem item) {
    {
      std::lock_guard lock(FLock);
      if (FClosed) return;
      if (!Merge(item)) FQueue.push_back(std::move(item));
    }
    FWake.notify_one();
  }

  bool WaitIdle(TClock::time_point until) {
    std::unique_lock lock(FLock);
    return FIdle.wait_until(lock, until, [&] { return FQueue.empty() && !FBusy; });
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
    std::size_t unsent = FUnsent;
    for (const auto& item : FQueue) unsent += item.Count;
    FQueue.clear();
    if (unsent > 0)
      AppendAppLog("Error: " + FName + ": " + std::to_string(unsent) +
                   (unsent == 1 ? " notification was" : " notifications were") +
                   " not sent before the stop");
  }

  int Errors() const {
    std::lock_guard lock(FLock);
    return FErrors;
  }

 private:
  // A channel throttled within the last minute is in a storm: it summarises whatever waits
  // and paces itself, so it does not run into the limit again and again.
  bool Storm(TClock::time_point now) const {
    return FThrottled && now - FLastThrottle < kStormMemory;
  }

  bool Backlog(TClock::time_point now) const {
    return FQueue.size() >= kBacklogBound || Storm(now) ||
           (!FQueue.empty() && now - FQueue.front().Queued > kBacklogAge);
  }

  // A newer status report replaces the queued one of the same application; in a backlog a
  // new alert joins the last queued alert of its application. True when item was absorbed.
  bool Merge(TItem& item) {
    if (item.Kind == TNotificationKind::nkStatus) {
      for (auto& queued : FQueue)
        if (queued.Kind == TNotificationKind::nkStatus && queued.Title == item.Title) {
          queued.Body = std::move(item.Body);
          return true;
        }
      return false;
    }
    if (item.Kind != TNotificationKind::nkAlert || !Backlog(item.Queued)) return false;
    for (auto it = FQueue.rbegin(); it != FQueue.rend(); ++it)
      if (it->Kind == TNotificationKind::nkAlert && it->Title == item.Title) {
        it->Absorb(std::move(item));
        return true;
      }
    return false;
  }

  // The next item; in a backlog, every queued alert of its application goes with it.
  TItem TakeNext() {
    const bool backlog = Backlog(TClock::now());
    TItem item = std::move(FQueue.front());
    FQueue.pop_front();
    if (backlog && item.Kind == TNotificationKind::nkAlert) {
      for (auto it = FQueue.begin(); it != FQueue.end();) {
        if (it->Kind == TNotificationKind::nkAlert && it->Title == item.Title) {
          item.Absorb(std::move(*it));
          it = FQueue.erase(it);
        } else {
          ++it;
        }
      }
    }
    return item;
  }

  void Run() {
    std::unique_lock lock(FLock);
    for (;;) {
      FWake.wait(lock, [&] { return FClosed || !FQueue.empty(); });
      if (FClosed) break;
      if (Storm(TClock::now()) &&
          FWake.wait_until(lock, FLastSend + kStormSpacing, [&] { return FClosed; }))
        break;
      FLastSend = TClock::now();
      TItem item = TakeNext();
      FBusy = true;
      lock.unlock();
      const bool sent = Deliver(item);
      lock.lock();
      if (!sent) FUnsent += item.Count;
      FBusy = false;
      FIdle.notify_all();
    }
    FBusy = false;
    FIdle.notify_all();
  }

  // False when the stop cancelled the delivery.
  bool Deliver(const TItem& item) {
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
          if (r.Throttled) {  // went through only after the sender waited out a 429
            FThrottled = true;
            FLastThrottle = TClock::now();
          }
          return true;
        }
        case TOutcome::ocCancelled:
          return false;
        case TOutcome::ocThrottled: {
          auto wait = r.Wait > std::chrono::milliseconds::zero() ? r.Wait : kDefaultThrottleWait;
          wait = std::min(wait, kMaxThrottleWait);
          std::unique_lock lock(FLock);
          FThrottled = true;
          FLastThrottle = TClock::now();
          if (FWake.wait_for(lock, wait, [&] { return FClosed; })) return false;
          continue;  // the same message again
        }
        case TOutcome::ocFailed:
          CountFailure(r.Error);
          return true;
      }
    }
  }

  bool Closed() const {
    std::lock_guard lock(FLock);
    return FClosed;
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
  std::deque<TItem> FQueue;
  bool FBusy = false;
  bool FClosed = false;
  bool FThrottled = false;
  TClock::time_point FLastThrottle{};
  TClock::time_point FLastSend{};
  std::size_t FUnsent = 0;
  int FErrors = 0;
  std::jthread FWorker;  // last: joined before the state above goes
};

TVelDispatcher::TVelDispatcher(TVelMonitorConfig& config) : FConfig(config) {
  FTelegram = std::make_unique<TChannel>(
      "Telegram", config.TelegramConfig(),
      [this](const std::string& t, const std::string& b) { return DeliverTelegram(t, b); });
  FDiscord = std::make_unique<TChannel>(
      "Discord", config.DiscordConfig(),
      [this](const std::string& t, const std::string& b) { return DeliverDiscord(t, b); });
  FEmail = std::make_unique<TChannel>(
      "Email", config.EmailConfig(),
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

TVelDispatcher::TItem TVelDispatcher::MakeItem(const std::string& title, const std::string& body,
                                               const TNotificationInfo& info) {
  TItem item;
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

void TVelDispatcher::Shutdown(TClock::time_point graceEnd) {
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

TVelDispatcher::TResult TVelDispatcher::DeliverEmail(const std::string& /*title*/,
                                                     const std::string& body) {
  // The subject is the configured one; the title is not sent by mail.
  const TEmailConfig& config = FConfig.EmailConfig();
  std::string status;
  if (TVelMailSender::SendEMailSMTP(config.Host(), config.UserName(), config.Password(),
                                    config.Address(), config.Subject(), body, config.Port(),
                                    config.Authentication(), config.UseTLS(), status,
                                    config.VerifyCertificate()))
    return {};
  return {TOutcome::ocFailed, OrDefault(status, "Email"), {}};
}

}  // namespace vel
