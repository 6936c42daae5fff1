// The format's two hashes: XXH64 with seed 0, the checksum of every frame's
// stored bytes, and FNV-1a 64, the fingerprint of a schema's fields and the
// checksum of a seal journal's body.
#ifndef TARVEL_CONTAINER_HASH_H_
#define TARVEL_CONTAINER_HASH_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tarvel {

// FNV-1a 64 (offset basis 0xcbf29ce484222325, prime 0x100000001b3).
inline constexpr uint64_t FNV1A64_BASIS = 0xcbf29ce484222325ULL;
// With "h", the hash of the bytes before "data": the hash of both together,
// so that bytes that come in parts are hashed part by part.
uint64_t fnv1a64(std::string_view data, uint64_t h = FNV1A64_BASIS);

uint64_t xxh64(std::string_view data);

// The same checksum over bytes that arrive in pieces: update with each
// piece in order, then digest gives xxh64 of all of them together, however
// they were cut.
class Xxh64Stream {
 public:
  Xxh64Stream();
  void update(std::string_view data);
  uint64_t digest() const;

 private:
  void consume(const unsigned char* stripe);

  uint64_t v_[4];
  uint64_t total_ = 0;
  unsigned char stripe_[32];  // bytes of an incomplete stripe
  size_t held_ = 0;
};

}  // namespace tarvel

#endif  // TARVEL_CONTAINER_HASH_H_
