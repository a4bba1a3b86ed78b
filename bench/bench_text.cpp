// Text library hot paths beside the straightforward std::string code they replace:
// parsing one full status message, and removing/replacing patterns in a 64 KiB log text.
// Prints the time ratio (library / straightforward) for each pair at the end.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/StrLists.h"
#include "common/Strings.h"

namespace {

std::string StatusMessage() {
  vel::TVelNameValueList l;
  l.AddPair("StartupTime", "12/24/2024 9:05:00 PM")
      .AddPair("DT", "12/25/2024 10:15:30 AM")
      .AddPair("PacketVer", 1)
      .AddPair("AppName", "Shop | EU \"main\"")
      .AddPair("SessionCount", 1234)
      .AddPair("RequestCount", static_cast<std::int64_t>(9876543210LL))
      .AddPair("BytesSent", static_cast<std::int64_t>(123456789012LL))
      .AddPair("HandleCount", 512)
      .AddPair("MemWS", static_cast<std::int64_t>(104857600))
      .AddPair("MemPWS", static_cast<std::int64_t>(209715200))
      .AddPair("MemPF", static_cast<std::int64_t>(94371840))
      .AddPair("MemPPF", static_cast<std::int64_t>(188743680))
      .AddPair("Status400", 17)
      .AddPair("Status500", 3)
      .AddPair("LastTimeoutThreadRun", "12/25/2024 10:00:00 AM")
      .AddPair("LastRemovedSessionCount", 42);
  return l.GetDelimitedText("|");
}

std::string Trim(std::string s) {
  const auto first = s.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return std::string();
  const auto last = s.find_last_not_of(" \t\r\n");
  return s.substr(first, last - first + 1);
}

// The straightforward parse: split at the delimiter (honouring quoted items), split each item
// at '=', trim, keep the pairs in a vector.
std::vector<std::pair<std::string, std::string>> NaiveParse(const std::string& text) {
  std::vector<std::pair<std::string, std::string>> pairs;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::string item;
    if (text[pos] == '"') {
      ++pos;
      while (pos < text.size()) {
        if (text[pos] == '"') {
          if (pos + 1 < text.size() && text[pos + 1] == '"') {
            item += '"';
            pos += 2;
            continue;
          }
          ++pos;
          break;
        }
        item += text[pos++];
      }
    } else {
      std::size_t end = text.find('|', pos);
      if (end == std::string::npos) end = text.size();
      item = text.substr(pos, end - pos);
      pos = end;
    }
    const std::size_t eq = item.find('=');
    if (eq != std::string::npos) {
      std::string name = Trim(item.substr(0, eq));
      if (!name.empty()) pairs.emplace_back(std::move(name), Trim(item.substr(eq + 1)));
    }
    if (pos < text.size() && text[pos] == '|') ++pos;
  }
  return pairs;
}

std::string LogText() {
  std::string text;
  int n = 0;
  while (text.size() < 64 * 1024) {
    text += "------------------------------------------------------------\r\n";
    text += "Exception class   : EAccessViolation #" + std::to_string(n++) + "\r\n";
    text += "Exception message : Access violation at address 00401234\r\n";
    text += "Call stack:\r\n\tat TShop.HandleRequest (Shop.pas, line 120)\r\n";
    text += "\tat TServer.Dispatch (Server.pas, line 88)\r\n";
  }
  text.resize(64 * 1024);
  return text;
}

std::string NaiveReplaceAll(std::string s, const std::string& from, const std::string& to) {
  std::size_t p = 0;
  while ((p = s.find(from, p)) != std::string::npos) {
    s.replace(p, from.size(), to);
    p += to.size();
  }
  return s;
}

const std::string kMessage = StatusMessage();
const std::string kLog = LogText();
const std::string kSeparator = "------------------------------------------------------------\r\n";

void BM_SetDelimitedText_Library(benchmark::State& state) {
  for (auto _ : state) {
    vel::TVelNameValueList l;
    l.SetDelimitedText(kMessage, '|');
    benchmark::DoNotOptimize(l.Count());
  }
}
BENCHMARK(BM_SetDelimitedText_Library);

void BM_SetDelimitedText_Naive(benchmark::State& state) {
  for (auto _ : state) {
    auto pairs = NaiveParse(kMessage);
    benchmark::DoNotOptimize(pairs.size());
  }
}
BENCHMARK(BM_SetDelimitedText_Naive);

void BM_ReplaceAllRemove_Library(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(vel::ReplaceSubstringAll(kLog, kSeparator, ""));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kLog.size());
}
BENCHMARK(BM_ReplaceAllRemove_Library);

void BM_ReplaceAllRemove_Naive(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(NaiveReplaceAll(kLog, kSeparator, ""));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kLog.size());
}
BENCHMARK(BM_ReplaceAllRemove_Naive);

void BM_ReplaceAllGrow_Library(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(vel::ReplaceSubstringAll(kLog, "\tat ", "    at "));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kLog.size());
}
BENCHMARK(BM_ReplaceAllGrow_Library);

void BM_ReplaceAllGrow_Naive(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(NaiveReplaceAll(kLog, "\tat ", "    at "));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kLog.size());
}
BENCHMARK(BM_ReplaceAllGrow_Naive);

// Console output as usual, plus the CPU time of every run for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& reports) override {
    ConsoleReporter::ReportRuns(reports);
    // With --benchmark_repetitions the median stands for the benchmark.
    for (const Run& r : reports) {
      if (r.error_occurred) continue;
      const std::string name = r.run_name.function_name;
      if (r.run_type == Run::RT_Iteration && medians_.count(name) == 0) {
        times_[name] = r.GetAdjustedCPUTime();
      } else if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median") {
        times_[name] = r.GetAdjustedCPUTime();
        medians_.insert(name);
      }
    }
  }
  void PrintRatios() const {
    std::printf("\nRatio library / straightforward (CPU time, below 1 is faster):\n");
    for (const char* base : {"SetDelimitedText", "ReplaceAllRemove", "ReplaceAllGrow"}) {
      const std::string lib = std::string("BM_") + base + "_Library";
      const std::string naive = std::string("BM_") + base + "_Naive";
      const auto a = times_.find(lib);
      const auto b = times_.find(naive);
      if (a == times_.end() || b == times_.end() || b->second <= 0) continue;
      std::printf("  %-18s %.3f\n", base, a->second / b->second);
    }
  }

 private:
  std::map<std::string, double> times_;
  std::set<std::string> medians_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  // Both sides must agree before their times mean anything.
  vel::TVelNameValueList check;
  check.SetDelimitedText(kMessage, '|');
  const auto naive = NaiveParse(kMessage);
  bool same = check.Count() == 16 && static_cast<int>(naive.size()) == check.Count();
  for (int i = 0; same && i < check.Count(); ++i)
    same = naive[static_cast<std::size_t>(i)].first == check.GetName(i) &&
           naive[static_cast<std::size_t>(i)].second == check.GetValueFromIndex(i);
  same = same &&
         vel::ReplaceSubstringAll(kLog, kSeparator, "") == NaiveReplaceAll(kLog, kSeparator, "") &&
         vel::ReplaceSubstringAll(kLog, "\tat ", "    at ") ==
             NaiveReplaceAll(kLog, "\tat ", "    at ");
  if (!same) {
    std::fprintf(stderr, "library and straightforward results differ\n");
    return 1;
  }
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
