// XXH64 with seed 0: the checksum of every frame's stored bytes.
#ifndef TARVEL_CONTAINER_XXH64_H_
#define TARVEL_CONTAINER_XXH64_H_

#include <cstdint>
#include <string_view>

namespace tarvel {

uint64_t xxh64(std::string_view data);

}  // namespace tarvel

#endif  // TARVEL_CONTAINER_XXH64_H_
