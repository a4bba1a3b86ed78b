// The status report relay: a timed thread drains the status channel and turns every report
// into a block of labelled, readable lines for the three notification channels.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "applog/AppLog.h"
#include "common/Exception.h"
#include "common/NumberLocale.h"
#include "common/StrLists.h"
#include "common/Strings.h"
#include "common/Threads.h"
#include "mailslot/Mailslot.h"
#include "monitor/MonitorController.h"

namespace vel {
namespace {

enum class TRowKind { rkText, rkCount, rkBytes };

struct TReportRow {
  const char* Key;
  const char* Label;
  TRowKind Kind;
};

constexpr TReportRow kReportRows[] = {
    {"DT", "Date/Time", TRowKind::rkText},
    {"SessionCount", "Session Count", TRowKind::rkCount},
    {"RequestCount", "Request Count", TRowKind::rkCount},
    {"BytesSent", "Bytes Sent", TRowKind::rkBytes},
    {"HandleCount", "Handles Count", TRowKind::rkCount},
    {"MemWS", "Memory Working Set", TRowKind::rkBytes},
    {"MemPWS", "Memory Peak Working Set", TRowKind::rkBytes},
    {"MemPF", "Memory Page File", TRowKind::rkBytes},
    {"MemPPF", "Memory Peak Page File", TRowKind::rkBytes},
    {"Status400", "Status 400", TRowKind::rkCount},
    {"Status500", "Status 500", TRowKind::rkCount},
    {"LastTimeoutThreadRun", "Last Timeout Thread Run", TRowKind::rkText},
    {"LastRemovedSessionCount", "Last Removed Session Count", TRowKind::rkCount},
};

constexpr const char* kFence = "```";
constexpr const char* kDefaultCountPattern = "#,###,###,##0.#";

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The key/value items of a report. An item is the text up to the next "|"; one that starts
// with a double quote (blanks before it are skipped) runs to the closing quote, with "" for a
// quote inside and "|" taken as text; a quote that never closes ends with its item at the
// next "|". Keys and values are trimmed, items without a key are
// dropped, and the first item of a key counts.
class TReportItems {
 public:
  explicit TReportItems(std::string_view text) {
    size_t pos = 0;
    while (pos < text.size()) {
      const size_t start = pos;
      while (pos < text.size() && IsBlank(text[pos]) && text[pos] != '|') ++pos;
      std::string item;
      const bool quoted = pos < text.size() && text[pos] == '"';
      const size_t close = quoted ? ClosingQuote(text, pos) : std::string_view::npos;
      if (close != std::string_view::npos) {
        for (size_t i = pos + 1; i < close; ++i) {
          item += text[i];
          if (text[i] == '"') ++i;  // the second of a doubled quote
        }
        pos = close + 1;  // what follows up to the next "|" is an item of its own
      } else {
        // A quote that never closes ends with its item.
        const size_t from = quoted ? pos + 1 : start;
        size_t end = text.find('|', from);
        if (end == std::string_view::npos) end = text.size();
        item.assign(text.substr(from, end - from));
        pos = end;
      }
      Add(item);
      if (pos < text.size() && text[pos] == '|') ++pos;
    }
  }

  std::string Value(std::string_view key) const {
    for (const auto& [k, v] : FItems)
      if (SameText(k, key)) return v;
    return {};
  }

  bool HasKey(std::string_view key) const {
    for (const auto& item : FItems)
      if (SameText(item.first, key)) return true;
    return false;
  }

 private:
  static bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }

  // The quote that closes the one at open, doubled quotes skipped; npos when none does.
  static size_t ClosingQuote(std::string_view text, size_t open) {
    for (size_t i = open + 1; i < text.size(); ++i) {
      if (text[i] != '"') continue;
      if (i + 1 < text.size() && text[i + 1] == '"') {
        ++i;
        continue;
      }
      return i;
    }
    return std::string_view::npos;
  }

  void Add(const std::string& item) {
    const size_t sep = item.find('=');
    if (sep == std::string::npos) return;
    std::string key = item.substr(0, sep);
    std::string value = item.substr(sep + 1);
    TrimInPlace(key);
    TrimInPlace(value);
    if (key.empty() || HasKey(key)) return;
    FItems.emplace_back(std::move(key), std::move(value));
  }

  std::vector<std::pair<std::string, std::string>> FItems;
};

// A byte figure in bytes, KB, MB or GB, with one decimal below ten units.
std::string FormatBytes(int64_t value) {
  constexpr int64_t kKB = 1024;
  const int64_t unit = value > kKB * kKB * kKB ? kKB * kKB * kKB
                       : value > kKB * kKB     ? kKB * kKB
                       : value > kKB           ? kKB
                                               : 1;
  const bool fraction = unit > 1 && value < 10 * unit;
  return FormatByteSize(fraction ? "#,##0.#" : "", value);
}

// A figure as the sender wrote it: decimal with an optional sign, or hexadecimal after "$"
// or "0x"; 0 for anything else, an out-of-range number included.
int64_t ParseFigure(std::string_view text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  int base = 10;
  if (i < text.size() && text[i] == '$') {
    base = 16;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i == text.size()) return 0;
  uint64_t magnitude = 0;
  for (; i < text.size(); ++i) {
    const int d = DigitValue(text[i]);
    if (d < 0 || d >= base) return 0;
    if (base == 16) {
      // Hexadecimal takes the full 64 bits, so "$FFFFFFFFFFFFFFFF" is -1.
      if (magnitude > (UINT64_MAX >> 4)) return 0;
      magnitude = (magnitude << 4) | static_cast<uint64_t>(d);
    } else {
      if (magnitude > (UINT64_MAX - static_cast<uint64_t>(d)) / 10) return 0;
      magnitude = magnitude * 10 + static_cast<uint64_t>(d);
    }
  }
  if (base == 10) {
    const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
    if (magnitude > limit) return 0;
  }
  const auto value = static_cast<int64_t>(magnitude);  // two's complement wrap for hex
  return negative ? static_cast<int64_t>(0 - magnitude) : value;
}

// The parts of a numeric pattern such as "#,###,###,##0.#" or "'about' 0.00 M".
struct TNumberPattern {
  std::string Prefix;
  std::string Suffix;
  bool Grouping = false;
  int MinIntegerDigits = 0;
  int MinDecimals = 0;
  int MaxDecimals = 0;
};

TNumberPattern ParsePattern(std::string_view pattern) {
  TNumberPattern result;
  bool inNumber = false, afterNumber = false, afterPoint = false;
  for (size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    std::string& literal = afterNumber ? result.Suffix : result.Prefix;
    if (c == '\'' || c == '"') {
      const size_t end = pattern.find(c, i + 1);
      const size_t stop = end == std::string_view::npos ? pattern.size() : end;
      literal.append(pattern.substr(i + 1, stop - i - 1));
      if (inNumber) afterNumber = true;
      i = stop;
      continue;
    }
    const bool numberChar = c == '#' || c == '0' || ((c == ',' || c == '.') && inNumber);
    if (numberChar && !afterNumber) {
      inNumber = true;
      if (c == ',') {
        if (!afterPoint) result.Grouping = true;
      } else if (c == '.') {
        afterPoint = true;
      } else if (afterPoint) {
        ++result.MaxDecimals;
        if (c == '0') result.MinDecimals = result.MaxDecimals;
      } else if (c == '0') {
        ++result.MinIntegerDigits;
      }
      continue;
    }
    if (inNumber) afterNumber = true;
    (afterNumber ? result.Suffix : result.Prefix) += c;
  }
  if (result.MaxDecimals > 18) result.MaxDecimals = 18;
  if (result.MinDecimals > result.MaxDecimals) result.MinDecimals = result.MaxDecimals;
  return result;
}

// value / divisor laid out by the pattern, rounded half away from zero. Integer arithmetic
// keeps every digit of a 64-bit figure exact.
std::string ApplyPattern(const TNumberPattern& p, int64_t value, int64_t divisor) {
  const bool negative = value < 0;
  unsigned __int128 magnitude =
      negative ? static_cast<unsigned __int128>(-(static_cast<__int128>(value)))
               : static_cast<unsigned __int128>(value);
  unsigned __int128 scale = 1;
  for (int i = 0; i < p.MaxDecimals; ++i) scale *= 10;
  const auto div = static_cast<unsigned __int128>(divisor);
  unsigned __int128 scaled = magnitude * scale;
  unsigned __int128 rounded = scaled / div;
  if ((scaled % div) * 2 >= div) ++rounded;
  unsigned __int128 integerPart = rounded / scale;
  unsigned __int128 fraction = rounded % scale;

  std::string decimals;
  for (int i = 0; i < p.MaxDecimals; ++i) {
    decimals.insert(decimals.begin(), static_cast<char>('0' + static_cast<int>(fraction % 10)));
    fraction /= 10;
  }
  while (static_cast<int>(decimals.size()) > p.MinDecimals && !decimals.empty() &&
         decimals.back() == '0') {
    decimals.pop_back();
  }

  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(integerPart % 10)));
    integerPart /= 10;
  } while (integerPart != 0);
  if (digits == "0" && p.MinIntegerDigits == 0 && !decimals.empty()) digits.clear();
  while (static_cast<int>(digits.size()) < p.MinIntegerDigits) digits.insert(digits.begin(), '0');

  std::string grouped;
  if (p.Grouping) {
    const std::string separator = LocaleThousandSeparator();
    for (size_t i = 0; i < digits.size(); ++i) {
      if (i > 0 && (digits.size() - i) % 3 == 0) grouped += separator;
      grouped += digits[i];
    }
  } else {
    grouped = digits;
  }

  std::string text = p.Prefix;
  const bool isZero = rounded == 0;
  if (negative && !isZero) text += '-';
  text += grouped;
  if (!decimals.empty()) text += LocaleDecimalSeparator() + decimals;
  text += p.Suffix;
  return text;
}

}  // namespace

std::string TVelMonitorController::FormatCount(const std::string& pattern, int64_t value) {
  const std::string base = pattern.empty() ? std::string(kDefaultCountPattern) : pattern;
  if (value >= 1000000000) return ApplyPattern(ParsePattern(base + " G"), value, 1000000000);
  if (value >= 1000000) return ApplyPattern(ParsePattern(base + " M"), value, 1000000);
  if (value >= 100000) return ApplyPattern(ParsePattern(base + " K"), value, 1000);
  return ApplyPattern(ParsePattern(base), value, 1);
}

void TVelMonitorController::InitRelay() {
  FMailslot = std::make_unique<TVelMailslotServer>(FOptions.MailslotId);
  FMailslot->Open();
  FMailslotWorkerThread =
      std::make_unique<TVelTimedThread>("VelMonitorServerThread", FOptions.PollIntervalMs);
  FMailslotWorkerThread->SetMethod([this] { ReadMailslot(); });
}

void TVelMonitorController::StartRelay() {
  // Told before the poll thread starts, which then owns the channel's state.
  RunGuarded(
      [this] {
        FMailslot->Open();
        CheckChannel();
      },
      "Open Mailslot");
  FMailslotWorkerThread->Start();
}

void TVelMonitorController::StopRelay() {
  if (!FRelayStopped) {
    FRelayStopped = true;
    if (FMailslotWorkerThread) FMailslotWorkerThread->Finish();
  }
  RunGuarded(
      [this] {
        if (FMailslot) FMailslot->Close();
      },
      "Close Mailslot");
}

void TVelMonitorController::ReadMailslot() {
  RunGuarded([this] { CheckChannel(); }, "Open Mailslot");
  RunGuarded([this] { DoReadMailslot(); }, "DoReadMailslot");
  if (!FMailslot) return;
  const uint64_t dropped = FMailslot->DroppedCount();
  if (dropped > FDroppedTold) {
    AppendAppLog("Dropped " + std::to_string(dropped - FDroppedTold) +
                 " status report(s) larger than " + std::to_string(FMailslot->MaxMessageSize()) +
                 " bytes or beyond " + std::to_string(TVelMailslotServer::MaxQueuedMessages) +
                 " waiting");
    FDroppedTold = dropped;
  }
}

void TVelMonitorController::CheckChannel() {
  if (!FMailslot) return;
  // A name held by another process (a service still running, or anyone who bound it
  // first) may be free by now: keep trying, so that a new service takes over from an old one.
  FMailslot->OpenMissing();
  const std::string problem = FMailslot->LastError();
  if (FChannelStateTold && problem == FChannelProblem) return;
  const std::string name = FMailslot->ChannelName();
  std::string state = "Relaying status reports from " + name;
  if (!problem.empty()) {
    const bool open = FMailslot->IsOpen();
    AppendAppLog(
        "Error: Status channel " + name +
        (open ? " is only partly open" : " cannot be opened: no status report is relayed") +
        " (tried again at every poll): " + problem);
    state =
        std::string(open ? "Status channel partly open: " : "Status channel not open: ") + problem;
  } else if (FChannelStateTold) {
    AppendAppLog("Status channel " + name + " is open again");
  }
  // An open channel is the state nobody needs telling about, unless it was not open before.
  const bool tell = !problem.empty() || FChannelStateTold;
  FChannelProblem = problem;
  FChannelStateTold = true;
  if (tell && FOptions.OnStatusText) FOptions.OnStatusText(state);
}

void TVelMonitorController::DoReadMailslot() {
  if (!FMailslot) return;
  // Bounded so that a flood of senders cannot hold the poll forever; what is left waits
  // for the next poll.
  size_t budget = TVelMailslotServer::MaxQueuedMessages;
  while (budget-- > 0 && FMailslot->MessageCount() > 0) {
    std::string msg;
    if (FMailslot->Read(msg) < 0) {
      // Closed under this poll at stop: the message went with the channel, nothing was
      // unreadable.
      if (!FMailslot->IsOpen()) return;
      // Reading again would fail the same way and hold the poll in a loop.
      FMailslot->SkipMessage();
      throw Exception("A status message that could not be read was dropped");
    }
    if (!msg.empty()) ProcessStatusMessage(msg);
  }
}

void TVelMonitorController::ProcessStatusMessage(const std::string& msg) {
  const TReportItems items(msg);
  const std::string name = items.Value("AppName");
  if (name.empty()) return;
  std::string report;
  for (const TReportRow& row : kReportRows) {
    const std::string value = items.Value(row.Key);
    if (value.empty()) continue;
    std::string shown;
    switch (row.Kind) {
      case TRowKind::rkText:
        shown = value;
        break;
      case TRowKind::rkCount:
        shown = FormatCount("", ParseFigure(value));
        break;
      case TRowKind::rkBytes:
        shown = FormatBytes(ParseFigure(value));
        break;
    }
    if (!report.empty()) report += "\r\n";
    report += row.Label;
    report += ": ";
    report += shown;
  }
  const std::string fenced = std::string(kFence) + report + kFence;
  // A newer report of the same application replaces one still queued.
  const TNotificationInfo info{TNotificationKind::nkStatus, {}};
  SendToTelegram(name, fenced, info);
  SendToDiscord(name, fenced, info);
  SendToEmail(name, report, info);
  if (FOnMessage) FOnMessage(msg);
}

}  // namespace vel
