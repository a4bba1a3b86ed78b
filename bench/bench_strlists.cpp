// Name/value lists with very many pairs: what the status relay does with one message (parse
// the delimited text, look up its keys, drop the application name) and what the sender does
// (add the pairs, write the delimited text), at 100,000 and 300,000 pairs. The point is how the
// cost grows with the count: when the list grew by a fixed step, 100,000 pairs took seconds.
//
//   build/bench/bench/bench_strlists
//   build/bench/bench/bench_strlists --benchmark_filter=Parse/100000

#include <benchmark/benchmark.h>

#include <string>

#include "common/StrLists.h"

namespace {

const char* const kRelayKeys[] = {"DT",
                                  "SessionCount",
                                  "RequestCount",
                                  "BytesSent",
                                  "HandleCount",
                                  "MemWS",
                                  "MemPWS",
                                  "MemPF",
                                  "MemPPF",
                                  "Status400",
                                  "Status500",
                                  "LastTimeoutThreadRun",
                                  "LastRemovedSessionCount"};

// n pairs Key<i>=Value <i>, the last one the application name, joined by "|".
std::string DelimitedText(int n) {
  std::string text;
  text.reserve(static_cast<std::size_t>(n) * 24);
  for (int i = 0; i + 1 < n; ++i) {
    text += "Key" + std::to_string(i) + "=Value " + std::to_string(i) + "|";
  }
  text += "AppName=Shop";
  return text;
}

void BM_ParseAndLookUp(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const std::string text = DelimitedText(n);
  for (auto _ : state) {
    vel::TVelNameValueList list;
    list.SetDelimitedText(text, '|');
    std::size_t found = list.GetValue("AppName").size();
    list.Remove("AppName");
    for (const char* key : kRelayKeys) found += list.GetValue(key).size();
    benchmark::DoNotOptimize(found);
    if (list.Count() != n - 1) state.SkipWithError("pairs lost");
  }
  state.SetItemsProcessed(state.iterations() * n);
}

void BM_AddAndWrite(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  for (auto _ : state) {
    vel::TVelNameValueList list;
    for (int i = 0; i < n; ++i) list.AddPair("Key" + std::to_string(i), i);
    std::string text = list.GetDelimitedText("|");
    benchmark::DoNotOptimize(text.data());
    if (list.Count() != n) state.SkipWithError("pairs lost");
  }
  state.SetItemsProcessed(state.iterations() * n);
}

}  // namespace

BENCHMARK(BM_ParseAndLookUp)->Arg(100000)->Arg(300000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AddAndWrite)->Arg(100000)->Arg(300000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
