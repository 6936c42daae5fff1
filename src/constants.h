// The module's own constants, each defined here once: the compression levels
// it offers callers and its version. setup.py reads MODULE_VERSION from this
// file for the package's metadata.
#ifndef TARVEL_SRC_CONSTANTS_H_
#define TARVEL_SRC_CONSTANTS_H_

#include <cstdint>

namespace tarvel_py {

inline constexpr int32_t HOT_LEVEL = 3;
inline constexpr int32_t COLD_LEVEL = 19;  // also repack's level when none is given
inline constexpr char MODULE_VERSION[] = "2.1.0";

}  // namespace tarvel_py

#endif  // TARVEL_SRC_CONSTANTS_H_
