// XXH64 with seed 0: the checksum of every frame's stored bytes.
#ifndef TARVEL_CONTAINER_XXH64_H_
#define TARVEL_CONTAINER_XXH64_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tarvel {

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

#endif  // TARVEL_CONTAINER_XXH64_H_
