// Little-endian fixed-width integers, the one coding of every integer the
// format stores: the preamble, the seal journal, the record prefix, the
// preview's fields and the checksum's input words.
//
// The bytes have no alignment, so each load and store goes through memcpy,
// which the compiler turns into one unaligned move.
#ifndef TARVEL_CONTAINER_INTERNAL_CODING_H_
#define TARVEL_CONTAINER_INTERNAL_CODING_H_

#include <bit>
#include <cstdint>
#include <cstring>

namespace tarvel {

namespace coding_internal {

// The value with its bytes in little-endian order, from the native order or
// back: the same value where the machine is little-endian.
inline uint16_t to_little(uint16_t v) {
  if constexpr (std::endian::native == std::endian::big) return __builtin_bswap16(v);
  return v;
}
inline uint32_t to_little(uint32_t v) {
  if constexpr (std::endian::native == std::endian::big) return __builtin_bswap32(v);
  return v;
}
inline uint64_t to_little(uint64_t v) {
  if constexpr (std::endian::native == std::endian::big) return __builtin_bswap64(v);
  return v;
}

}  // namespace coding_internal

// The integer whose bytes start at "p".
inline uint16_t load_le16(const char* p) {
  uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return coding_internal::to_little(v);
}
inline uint32_t load_le32(const char* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return coding_internal::to_little(v);
}
inline uint64_t load_le64(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return coding_internal::to_little(v);
}

// Writes the bytes of "v" at "p".
inline void store_le16(char* p, uint16_t v) {
  v = coding_internal::to_little(v);
  std::memcpy(p, &v, sizeof v);
}
inline void store_le32(char* p, uint32_t v) {
  v = coding_internal::to_little(v);
  std::memcpy(p, &v, sizeof v);
}
inline void store_le64(char* p, uint64_t v) {
  v = coding_internal::to_little(v);
  std::memcpy(p, &v, sizeof v);
}

}  // namespace tarvel

#endif  // TARVEL_CONTAINER_INTERNAL_CODING_H_
