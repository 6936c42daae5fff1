// Text forms shared by every message of the library: the quoted form of a
// text, the display form of a path, fixed-width hexadecimal and decimal
// renderings, UTF-8 checking, and the one unsigned-integer reader that the
// format's decimal and hexadecimal fields use.
//
// Comments that give a message's text write each of its variable parts as
// a name in angle brackets: <n> for a number in decimal or a text as it is,
// and "<key>", quotes included, for a text in its quoted() form.
#ifndef TARVEL_CONTAINER_INTERNAL_TEXT_H_
#define TARVEL_CONTAINER_INTERNAL_TEXT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarvel {

// The quoted form of "text" (its bytes read as UTF-8): a double quote, each
// character written as itself or escaped, a double quote. NUL, tab, line
// feed and carriage return become \0 \t \n \r; a double quote and a
// backslash are escaped with a backslash; a single quote is written as it
// is; a character that is not printable, or that has the Grapheme_Extend
// property, becomes \u{hex} (lowercase, no leading zeros); every other
// character is written as itself. Each maximal ill-formed byte sequence is
// taken as one U+FFFD, which is printable.
std::string quoted(std::string_view text);

// The display form of a path: its bytes read as UTF-8, with each maximal
// ill-formed byte sequence written as one U+FFFD. Nothing else changes.
std::string display_path(std::string_view bytes);

// Unicode properties used by quoted(), from tables generated out of the
// Unicode character database.
bool is_printable(char32_t c);
bool is_grapheme_extend(char32_t c);

// Where the first UTF-8 error of a byte run lies.
struct Utf8Check {
  bool valid = true;
  size_t index = 0;     // byte index of the first ill-formed sequence
  size_t bad_len = 0;   // length (1 to 3) of the maximal ill-formed subpart
  bool incomplete = false;  // a valid prefix cut off by the end of the input
};
Utf8Check check_utf8(std::string_view bytes);

// The lowercase hexadecimal digits, by value.
inline constexpr char HEX_DIGITS[] = "0123456789abcdef";

// Exactly 16 lowercase hex digits, leading zeros included.
std::string hex16(uint64_t v);
// "0x" and 16 lowercase hex digits, leading zeros included.
std::string hex_prefixed18(uint64_t v);
// Decimal, zero-padded on the left to at least "width" digits.
std::string zero_padded(uint64_t v, int width);

// The reasons an unsigned integer field fails to read, as messages show them.
enum class IntError { kEmpty, kInvalidDigit, kTooLarge };
// "cannot parse integer from empty string", "invalid digit found in string",
// "number too large to fit in target type".
const char* int_error_text(IntError e);

// Reads an unsigned integer: an optional single leading "+", then one or
// more digits of "radix" (10, or 16 with either case of a-f), nothing else;
// leading zeros are allowed. Scanning left to right, the first failure met
// decides: a non-digit gives kInvalidDigit, a value past "max" gives
// kTooLarge; an empty text gives kEmpty, a lone "+" kInvalidDigit.
struct ParsedUint {
  bool ok;
  uint64_t value;  // valid when ok
  IntError error;  // valid when !ok
};
ParsedUint parse_uint(std::string_view text, int radix, uint64_t max);

// Saturating u64 addition: every counter and offset of the format stops at
// its maximum instead of wrapping.
inline uint64_t sat_add(uint64_t a, uint64_t b) {
  uint64_t r = a + b;
  return r < a ? UINT64_MAX : r;
}

}  // namespace tarvel

#endif  // TARVEL_CONTAINER_INTERNAL_TEXT_H_
