// Throughput of validate and repack on a file of many 1 MiB frames, beside
// plain libzstd decoding (for validate) and decoding plus encoding (for
// repack) of the same frames in the same run. Every rate counts the decoded
// bytes of the frames, so the columns compare directly; the ratios (tool /
// plain libzstd) are printed at the end.
#include <benchmark/benchmark.h>
#include <zstd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "container/container.h"
#include "container/headers.h"
#include "container/repack.h"
#include "container/validate.h"

namespace {

constexpr size_t kFrames = 48;
constexpr size_t kFrameBytes = 1 << 20;
constexpr uint32_t kRecord = 32;
constexpr int kLevel = 3;

// The benchmark file and, in memory, the stored bytes of its frames.
struct Corpus {
  std::string dir;
  std::string path;
  std::vector<std::string> stored;
  bool ok = false;
};

// Records that compress a few times over, as event records do: a counter,
// a slowly changing value and a few noisy bytes.
std::string records_for_frame(size_t frame) {
  std::string out;
  out.reserve(kFrameBytes);
  uint64_t x = 0x9E3779B97F4A7C15ULL ^ frame;
  for (uint64_t i = 0; out.size() < kFrameBytes; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    std::string r(kRecord, '\0');
    uint64_t n = frame * kFrameBytes / kRecord + i;
    for (size_t b = 0; b < 8; ++b) r[b] = static_cast<char>(n >> (8 * b));
    for (size_t b = 8; b < 16; ++b) r[b] = static_cast<char>((n / 1000) >> (8 * (b - 8)));
    for (size_t b = 16; b < 20; ++b) r[b] = static_cast<char>(x >> (8 * (b - 16)));
    out += r;
  }
  return out;
}

Corpus make_corpus() {
  Corpus c;
  c.dir = (std::filesystem::temp_directory_path() / "tarvel-tools-bench").string();
  std::filesystem::remove_all(c.dir);
  std::filesystem::create_directories(c.dir);
  c.path = c.dir + "/bench.tarvel";
  tarvel::Schema schema{"ev", {{"n", "u64", 0}, {"v", "u64", 8}}, tarvel::RecordLayout::fixed(kRecord)};
  {
    auto made = tarvel::Container::create(c.path, schema, "bench", "tools_bench", 0,
                                          tarvel::DEFAULT_HEADER_AREA, {});
    if (!made) return c;
    for (size_t f = 0; f < kFrames; ++f) {
      const std::string data = records_for_frame(f);
      for (size_t at = 0; at < data.size(); at += kRecord) {
        if (!made->append_record(std::string_view(data).substr(at, kRecord))) return c;
      }
      if (!made->close_frame(f, kLevel)) return c;
    }
  }
  auto opened = tarvel::Container::open_read(c.path);
  if (!opened) return c;
  std::FILE* in = std::fopen(c.path.c_str(), "rb");
  if (in == nullptr) return c;
  for (const tarvel::Frame& f : opened->frames()) {
    std::string bytes(f.len, '\0');
    std::fseek(in, static_cast<long>(opened->data_start() + f.offset), SEEK_SET);
    if (std::fread(bytes.data(), 1, bytes.size(), in) != bytes.size()) break;
    c.stored.push_back(std::move(bytes));
  }
  std::fclose(in);
  c.ok = c.stored.size() == kFrames;
  return c;
}

Corpus& corpus() {
  static Corpus c = make_corpus();
  return c;
}

int64_t decoded_bytes() { return static_cast<int64_t>(kFrames * kFrameBytes); }

void BM_Validate(benchmark::State& state) {
  Corpus& c = corpus();
  if (!c.ok) return state.SkipWithError("could not build the benchmark file");
  for (auto _ : state) {
    auto report = tarvel::validate(c.path);
    if (!report || !report->problems.empty()) return state.SkipWithError("validate failed");
    benchmark::DoNotOptimize(report->records);
  }
  state.SetBytesProcessed(state.iterations() * decoded_bytes());
}

void BM_ZstdDecode(benchmark::State& state) {
  Corpus& c = corpus();
  if (!c.ok) return state.SkipWithError("could not build the benchmark file");
  ZSTD_DCtx* dctx = ZSTD_createDCtx();
  std::string out(kFrameBytes, '\0');
  for (auto _ : state) {
    for (const std::string& s : c.stored) {
      size_t n = ZSTD_decompressDCtx(dctx, out.data(), out.size(), s.data(), s.size());
      if (ZSTD_isError(n)) return state.SkipWithError(ZSTD_getErrorName(n));
      benchmark::DoNotOptimize(out.data());
    }
  }
  ZSTD_freeDCtx(dctx);
  state.SetBytesProcessed(state.iterations() * decoded_bytes());
}

void BM_Repack(benchmark::State& state) {
  Corpus& c = corpus();
  if (!c.ok) return state.SkipWithError("could not build the benchmark file");
  // Repacking at the level the file was written at gives the same file
  // again, so every iteration works on the same input.
  for (auto _ : state) {
    auto report = tarvel::repack(c.path, kLevel);
    if (!report) return state.SkipWithError("repack failed");
    benchmark::DoNotOptimize(report->bytes_after);
  }
  state.SetBytesProcessed(state.iterations() * decoded_bytes());
}

void BM_ZstdDecodeEncode(benchmark::State& state) {
  Corpus& c = corpus();
  if (!c.ok) return state.SkipWithError("could not build the benchmark file");
  ZSTD_DCtx* dctx = ZSTD_createDCtx();
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, kLevel);
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1);
  std::string body(kFrameBytes, '\0');
  std::string packed(ZSTD_compressBound(kFrameBytes), '\0');
  for (auto _ : state) {
    for (const std::string& s : c.stored) {
      size_t n = ZSTD_decompressDCtx(dctx, body.data(), body.size(), s.data(), s.size());
      if (ZSTD_isError(n)) return state.SkipWithError(ZSTD_getErrorName(n));
      size_t m = ZSTD_compress2(cctx, packed.data(), packed.size(), body.data(), n);
      if (ZSTD_isError(m)) return state.SkipWithError(ZSTD_getErrorName(m));
      benchmark::DoNotOptimize(packed.data());
    }
  }
  ZSTD_freeCCtx(cctx);
  ZSTD_freeDCtx(dctx);
  state.SetBytesProcessed(state.iterations() * decoded_bytes());
}

BENCHMARK(BM_Validate)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ZstdDecode)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Repack)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ZstdDecodeEncode)->Unit(benchmark::kMillisecond)->UseRealTime();

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
      if (it != run.counters.end()) rates_[run.run_name.function_name] = it->second.value;
    }
  }

  void print_ratios() const {
    ratio("validate", "BM_Validate", "BM_ZstdDecode");
    ratio("repack", "BM_Repack", "BM_ZstdDecodeEncode");
  }

 private:
  void ratio(const char* what, const char* tool, const char* plain) const {
    auto t = rates_.find(tool);
    auto p = rates_.find(plain);
    if (t == rates_.end() || p == rates_.end() || p->second <= 0) return;
    std::printf("%-8s %8.1f MB/s, plain libzstd %8.1f MB/s, ratio %.2f\n", what,
                t->second / 1e6, p->second / 1e6, t->second / p->second);
  }

  std::map<std::string, double> rates_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.print_ratios();
  std::filesystem::remove_all(corpus().dir);
  benchmark::Shutdown();
  return 0;
}
