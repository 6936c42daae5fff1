// The writer path: append fixed 32-byte records and close a frame after
// every 1 MiB of them at level 3. Reports records per second, and how the
// time of a close compares with compressing the same bytes with libzstd
// directly (same level, content checksum on), measured in the same run.
// Beside it, a header rewrite (flush_headers, through the seal journal)
// against the bare rewrite it replaces: the zone written in place and one
// full flush.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <zstd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "bench/sample_record.h"
#include "container/container.h"
#include "container/file.h"

namespace tarvel {
namespace {

constexpr uint32_t kRecord = 32;
constexpr uint64_t kFrameBytes = 1 << 20;
constexpr uint64_t kPerFrame = kFrameBytes / kRecord;
constexpr int kLevel = 3;

using Clock = std::chrono::steady_clock;

// Mean close and libzstd times per frame of the last run, and mean header
// rewrite times, for the closing lines.
double g_close_ms = 0, g_zstd_ms = 0;
double g_flush_ms = 0, g_bare_ms = 0;

double zstd_direct(ZSTD_CCtx* cctx, const std::string& raw, std::string& out) {
  const auto start = Clock::now();
  ZSTD_CCtx_reset(cctx, ZSTD_reset_session_and_parameters);
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, kLevel);
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1);
  size_t n = ZSTD_compress2(cctx, out.data(), out.size(), raw.data(), raw.size());
  benchmark::DoNotOptimize(n);
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void BM_AppendAndClose(benchmark::State& state) {
  const uint64_t records = static_cast<uint64_t>(state.range(0));
  std::string dir_template =
      (std::filesystem::temp_directory_path() / "tarvel-bench-XXXXXX").string();
  if (mkdtemp(dir_template.data()) == nullptr) {
    state.SkipWithError("mkdtemp failed");
    return;
  }
  const std::string path = dir_template + "/bench.tarvel";
  Schema schema{"sample",
                {{"seq", "u64", 0}, {"ts", "u64", 8}, {"value", "f64", 16}, {"noise", "u64", 24}},
                RecordLayout::fixed(kRecord)};
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  std::string zout(ZSTD_compressBound(kFrameBytes), '\0');
  std::string chunk;
  char rec[kRecord];
  double close_s = 0, zstd_s = 0;
  uint64_t frames = 0, appended = 0;

  for (auto _ : state) {
    state.PauseTiming();
    std::filesystem::remove(path);
    Result<Container> made = Container::create(path, schema, "bench", "writer_bench", 0,
                                               DEFAULT_HEADER_AREA, {});
    if (!made) {
      state.SkipWithError(made.error().to_string().c_str());
      break;
    }
    Container c = std::move(made).value();
    state.ResumeTiming();

    for (uint64_t seq = 0; seq < records; ++seq) {
      fill_record(rec, seq);
      if (!c.append_record(std::string_view(rec, kRecord)).ok()) std::abort();
      if ((seq + 1) % kPerFrame != 0 && seq + 1 != records) continue;
      const auto start = Clock::now();
      if (!c.close_frame(frames, kLevel).ok()) std::abort();
      close_s += std::chrono::duration<double>(Clock::now() - start).count();

      // The same raw bytes through libzstd alone, outside the timed path.
      state.PauseTiming();
      chunk.clear();
      const uint64_t first = seq + 1 - ((seq % kPerFrame) + 1);
      for (uint64_t s = first; s <= seq; ++s) {
        fill_record(rec, s);
        chunk.append(rec, kRecord);
      }
      zstd_s += zstd_direct(cctx, chunk, zout);
      ++frames;
      state.ResumeTiming();
    }
    appended += records;
  }

  ZSTD_freeCCtx(cctx);
  std::filesystem::remove_all(dir_template);
  state.counters["records_per_s"] =
      benchmark::Counter(static_cast<double>(appended), benchmark::Counter::kIsRate);
  state.counters["close_ms"] = frames ? 1e3 * close_s / static_cast<double>(frames) : 0;
  state.counters["zstd_ms"] = frames ? 1e3 * zstd_s / static_cast<double>(frames) : 0;
  state.counters["close_over_zstd"] = zstd_s > 0 ? close_s / zstd_s : 0;
  g_close_ms = state.counters["close_ms"];
  g_zstd_ms = state.counters["zstd_ms"];
}

BENCHMARK(BM_AppendAndClose)->Arg(1 << 20)->Unit(benchmark::kMillisecond)->UseRealTime();

// A file with one closed frame and a raw tail of a few records; each
// iteration appends one record and rewrites the headers.
void BM_FlushHeaders(benchmark::State& state) {
  std::string dir_template =
      (std::filesystem::temp_directory_path() / "tarvel-bench-XXXXXX").string();
  if (mkdtemp(dir_template.data()) == nullptr) {
    state.SkipWithError("mkdtemp failed");
    return;
  }
  const std::string path = dir_template + "/bench.tarvel";
  Schema schema{"sample", {{"seq", "u64", 0}}, RecordLayout::fixed(kRecord)};
  Result<Container> made =
      Container::create(path, schema, "bench", "writer_bench", 0, DEFAULT_HEADER_AREA, {});
  if (!made) {
    state.SkipWithError(made.error().to_string().c_str());
    return;
  }
  Container c = std::move(made).value();
  char rec[kRecord];
  uint64_t seq = 0;
  for (; seq < 1000; ++seq) {
    fill_record(rec, seq);
    if (!c.append_record(std::string_view(rec, kRecord)).ok()) std::abort();
  }
  if (!c.close_frame(0, kLevel).ok()) std::abort();
  Result<std::unique_ptr<File>> bare = Env::posix().open(path, OpenMode::kReadWrite);
  if (!bare) std::abort();
  double flush_s = 0, bare_s = 0;
  uint64_t rewrites = 0;

  for (auto _ : state) {
    fill_record(rec, seq++);
    if (!c.append_record(std::string_view(rec, kRecord)).ok()) std::abort();
    const auto start = Clock::now();
    if (!c.flush_headers().ok()) std::abort();
    flush_s += std::chrono::duration<double>(Clock::now() - start).count();

    // The zone as it now stands, written back in place and flushed.
    state.PauseTiming();
    Result<std::string> zone = read_exact_at(**bare, 16, DEFAULT_HEADER_AREA);
    if (!zone) std::abort();
    const auto bare_start = Clock::now();
    if (!write_all_at(**bare, 16, *zone).ok() || !(*bare)->sync().ok()) std::abort();
    bare_s += std::chrono::duration<double>(Clock::now() - bare_start).count();
    ++rewrites;
    state.ResumeTiming();
  }

  std::filesystem::remove_all(dir_template);
  const double n = rewrites ? static_cast<double>(rewrites) : 1;
  state.counters["flush_headers_ms"] = 1e3 * flush_s / n;
  state.counters["bare_zone_ms"] = 1e3 * bare_s / n;
  state.counters["flush_over_bare"] = bare_s > 0 ? flush_s / bare_s : 0;
  g_flush_ms = state.counters["flush_headers_ms"];
  g_bare_ms = state.counters["bare_zone_ms"];
}

BENCHMARK(BM_FlushHeaders)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace tarvel

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  if (tarvel::g_zstd_ms > 0) {
    std::printf("close    %8.2f ms per 1 MiB frame, plain libzstd %8.2f ms, ratio %.2f\n",
                tarvel::g_close_ms, tarvel::g_zstd_ms, tarvel::g_close_ms / tarvel::g_zstd_ms);
  }
  if (tarvel::g_bare_ms > 0) {
    std::printf("flush_headers %8.2f ms, bare zone write and flush %8.2f ms, ratio %.2f\n",
                tarvel::g_flush_ms, tarvel::g_bare_ms, tarvel::g_flush_ms / tarvel::g_bare_ms);
  }
  benchmark::Shutdown();
  return 0;
}
