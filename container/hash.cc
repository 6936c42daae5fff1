#include "container/hash.h"

#include <bit>

#include "container/internal/coding.h"

namespace tarvel {

uint64_t fnv1a64(std::string_view data, uint64_t h) {
  for (char c : data) {
    h ^= static_cast<unsigned char>(c);
    h *= 0x100000001b3ULL;
  }
  return h;
}

namespace {

constexpr uint64_t kPrime1 = 0x9E3779B185EBCA87ULL;
constexpr uint64_t kPrime2 = 0xC2B2AE3D27D4EB4FULL;
constexpr uint64_t kPrime3 = 0x165667B19E3779F9ULL;
constexpr uint64_t kPrime4 = 0x85EBCA77C2B2AE63ULL;
constexpr uint64_t kPrime5 = 0x27D4EB2F165667C5ULL;

// The input's words, read little-endian from bytes of any alignment.
inline uint64_t load64(const unsigned char* p) {
  return load_le64(reinterpret_cast<const char*>(p));
}

inline uint32_t load32(const unsigned char* p) {
  return load_le32(reinterpret_cast<const char*>(p));
}

inline uint64_t round(uint64_t acc, uint64_t input) {
  acc += input * kPrime2;
  acc = std::rotl(acc, 31);
  return acc * kPrime1;
}

inline uint64_t merge_round(uint64_t acc, uint64_t lane) {
  acc ^= round(0, lane);
  return acc * kPrime1 + kPrime4;
}

inline uint64_t merge_lanes(uint64_t v1, uint64_t v2, uint64_t v3, uint64_t v4) {
  uint64_t h = std::rotl(v1, 1) + std::rotl(v2, 7) + std::rotl(v3, 12) + std::rotl(v4, 18);
  h = merge_round(h, v1);
  h = merge_round(h, v2);
  h = merge_round(h, v3);
  return merge_round(h, v4);
}

// Mixes in the last 0 to 31 bytes [p, end) (8-byte words, at most one
// 4-byte word, single bytes) and avalanches.
inline uint64_t finish(uint64_t h, const unsigned char* p, const unsigned char* end) {
  while (end - p >= 8) {
    h ^= round(0, load64(p));
    h = std::rotl(h, 27) * kPrime1 + kPrime4;
    p += 8;
  }
  if (end - p >= 4) {
    h ^= static_cast<uint64_t>(load32(p)) * kPrime1;
    h = std::rotl(h, 23) * kPrime2 + kPrime3;
    p += 4;
  }
  while (p < end) {
    h ^= static_cast<uint64_t>(*p) * kPrime5;
    h = std::rotl(h, 11) * kPrime1;
    ++p;
  }
  h ^= h >> 33;
  h *= kPrime2;
  h ^= h >> 29;
  h *= kPrime3;
  h ^= h >> 32;
  return h;
}

}  // namespace

uint64_t xxh64(std::string_view data) {
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  const size_t len = data.size();
  const unsigned char* const end = p + len;
  uint64_t h;

  if (len >= 32) {
    // Four independent lanes over 32-byte stripes keep the multiplier busy.
    uint64_t v1 = kPrime1 + kPrime2;
    uint64_t v2 = kPrime2;
    uint64_t v3 = 0;
    uint64_t v4 = 0 - kPrime1;
    const unsigned char* const limit = end - 32;
    do {
      v1 = round(v1, load64(p));
      v2 = round(v2, load64(p + 8));
      v3 = round(v3, load64(p + 16));
      v4 = round(v4, load64(p + 24));
      p += 32;
    } while (p <= limit);
    h = merge_lanes(v1, v2, v3, v4);
  } else {
    h = kPrime5;
  }
  h += static_cast<uint64_t>(len);
  return finish(h, p, end);
}

Xxh64Stream::Xxh64Stream()
    : v_{kPrime1 + kPrime2, kPrime2, 0, 0 - kPrime1} {}

void Xxh64Stream::update(std::string_view data) {
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  const unsigned char* const end = p + data.size();
  total_ += data.size();
  if (held_ + data.size() < sizeof stripe_) {
    std::memcpy(stripe_ + held_, p, data.size());
    held_ += data.size();
    return;
  }
  if (held_ > 0) {
    const size_t fill = sizeof stripe_ - held_;
    std::memcpy(stripe_ + held_, p, fill);
    p += fill;
    consume(stripe_);
    held_ = 0;
  }
  while (end - p >= 32) {
    consume(p);
    p += 32;
  }
  held_ = static_cast<size_t>(end - p);
  std::memcpy(stripe_, p, held_);
}

void Xxh64Stream::consume(const unsigned char* stripe) {
  v_[0] = round(v_[0], load64(stripe));
  v_[1] = round(v_[1], load64(stripe + 8));
  v_[2] = round(v_[2], load64(stripe + 16));
  v_[3] = round(v_[3], load64(stripe + 24));
}

uint64_t Xxh64Stream::digest() const {
  uint64_t h = total_ >= 32 ? merge_lanes(v_[0], v_[1], v_[2], v_[3]) : kPrime5;
  h += total_;
  return finish(h, stripe_, stripe_ + held_);
}

}  // namespace tarvel
