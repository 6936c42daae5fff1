// Placeholder until the generated Unicode tables land: ASCII rules only.
#include "container/text.h"

namespace tarvel {

bool is_printable(char32_t c) { return c >= 0x20 && c != 0x7F; }
bool is_grapheme_extend(char32_t c) { return c >= 0x300 && c <= 0x36F; }

}  // namespace tarvel
