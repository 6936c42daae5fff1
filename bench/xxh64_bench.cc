// Throughput of the library's XXH64 against the reference implementation,
// measured in the same run, with the ratio (ours / reference) printed at the
// end for each input size. Without the reference only our numbers are shown.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "container/hash.h"

#ifdef TARVEL_HAVE_REFERENCE_XXHASH
#include <xxhash.h>
#endif

namespace {

const int64_t kSizes[] = {64, 4 << 10, 1 << 20};

std::string input_of(size_t n) {
  std::string s(n, '\0');
  uint64_t x = 0x9E3779B97F4A7C15ULL;
  for (size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    s[i] = static_cast<char>(x);
  }
  return s;
}

void BM_Ours(benchmark::State& state) {
  const std::string data = input_of(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(tarvel::xxh64(data));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

#ifdef TARVEL_HAVE_REFERENCE_XXHASH
void BM_Reference(benchmark::State& state) {
  const std::string data = input_of(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(XXH64(data.data(), data.size(), 0));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// Both must agree before their speeds mean anything; the lengths cover the
// stripe loop and every tail path.
bool same_values() {
  const std::string data = input_of(4096 + 31);
  for (size_t n = 0; n <= data.size(); ++n) {
    std::string_view v(data.data(), n);
    if (tarvel::xxh64(v) != XXH64(v.data(), v.size(), 0)) {
      std::fprintf(stderr, "xxh64 differs from the reference at length %zu\n", n);
      return false;
    }
  }
  return true;
}
#endif

// Shows each run as the console does and keeps its throughput, so that the
// ratios can be printed once every benchmark has run. No colours: the
// figures are mostly read from files.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : benchmark::ConsoleReporter(OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    benchmark::ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
      auto it = run.counters.find("bytes_per_second");
      if (it == run.counters.end()) continue;
      rates_[std::stoll(run.run_name.args)][run.run_name.function_name] = it->second.value;
    }
  }

  void print_ratios() const {
    for (const auto& [size, by_name] : rates_) {
      auto ours = by_name.find("BM_Ours");
      auto ref = by_name.find("BM_Reference");
      if (ours == by_name.end() || ref == by_name.end() || ref->second <= 0) continue;
      const double gib = 1024.0 * 1024.0 * 1024.0;
      std::printf("xxh64 %8lld bytes: ours %6.2f GiB/s, reference %6.2f GiB/s, ratio %.3f\n",
                  size, ours->second / gib, ref->second / gib, ours->second / ref->second);
    }
  }

 private:
  std::map<long long, std::map<std::string, double>> rates_;  // by input size
};

}  // namespace

int main(int argc, char** argv) {
#ifdef TARVEL_HAVE_REFERENCE_XXHASH
  if (!same_values()) return 1;
#endif
  for (int64_t n : kSizes) {
    benchmark::RegisterBenchmark("BM_Ours", BM_Ours)->Arg(n);
#ifdef TARVEL_HAVE_REFERENCE_XXHASH
    benchmark::RegisterBenchmark("BM_Reference", BM_Reference)->Arg(n);
#endif
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.print_ratios();
#ifndef TARVEL_HAVE_REFERENCE_XXHASH
  std::printf("reference XXH64 not available: no ratio\n");
#endif
  benchmark::Shutdown();
  return 0;
}
