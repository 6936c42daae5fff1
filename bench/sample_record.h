// The record the benchmarks write: 32 bytes like a sensor sample (sequence
// number, timestamp, a slowly moving value and a noisy word), which
// compresses a few times over, as real measurements do.
#ifndef TARVEL_BENCH_SAMPLE_RECORD_H_
#define TARVEL_BENCH_SAMPLE_RECORD_H_

#include <cstdint>
#include <cstring>

namespace tarvel {

inline void fill_record(char* out, uint64_t seq) {
  const uint64_t ts = 1700000000000ull + seq * 10;
  const double value = 20.0 + static_cast<double>(seq % 1000) / 100.0;
  const uint64_t noise = (seq * 0x9e3779b97f4a7c15ull) >> 40;
  std::memcpy(out, &seq, 8);
  std::memcpy(out + 8, &ts, 8);
  std::memcpy(out + 16, &value, 8);
  std::memcpy(out + 24, &noise, 8);
}

}  // namespace tarvel

#endif  // TARVEL_BENCH_SAMPLE_RECORD_H_
