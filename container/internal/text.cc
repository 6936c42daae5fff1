#include "container/internal/text.h"

#include <cstring>

namespace tarvel {

namespace {

constexpr const char* kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// One step of UTF-8 decoding at "i": either a scalar value and its length,
// or the length of the maximal ill-formed subpart there (at least 1) and
// whether that subpart is a valid prefix that the input's end cut off.
struct Step {
  bool ok;
  char32_t c;
  size_t len;
  bool cut_off;
};

Step decode_at(std::string_view s, size_t i) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  size_t n = s.size();
  unsigned char b0 = p[i];
  if (b0 < 0x80) return {true, b0, 1, false};
  size_t need;
  char32_t c;
  unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    c = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    c = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    c = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return {false, 0, 1, false};
  }
  size_t k = 1;
  for (; k <= need; ++k) {
    if (i + k >= n) return {false, 0, k, true};
    unsigned char b = p[i + k];
    unsigned char l = k == 1 ? lo : 0x80;
    unsigned char h = k == 1 ? hi : 0xBF;
    if (b < l || b > h) return {false, 0, k, false};
    c = (c << 6) | (b & 0x3F);
  }
  return {true, c, need + 1, false};
}

void append_utf8(std::string* out, char32_t c) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

void append_unicode_escape(std::string* out, char32_t c) {
  char digits[8];
  int n = 0;
  do {
    digits[n++] = HEX_DIGITS[c & 0xF];
    c >>= 4;
  } while (c != 0);
  *out += "\\u{";
  while (n > 0) out->push_back(digits[--n]);
  out->push_back('}');
}

}  // namespace

std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  for (size_t i = 0; i < text.size();) {
    Step st = decode_at(text, i);
    if (!st.ok) {
      out += kReplacement;
      i += st.len;
      continue;
    }
    i += st.len;
    char32_t c = st.c;
    switch (c) {
      case 0x00: out += "\\0"; continue;
      case '\t': out += "\\t"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      default: break;
    }
    if (is_grapheme_extend(c) || !is_printable(c)) {
      append_unicode_escape(&out, c);
    } else {
      append_utf8(&out, c);
    }
  }
  out.push_back('"');
  return out;
}

std::string display_path(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    Step st = decode_at(bytes, i);
    if (st.ok) {
      out.append(bytes.substr(i, st.len));
    } else {
      out += kReplacement;
    }
    i += st.len;
  }
  return out;
}

Utf8Check check_utf8(std::string_view bytes) {
  for (size_t i = 0; i < bytes.size();) {
    // ASCII runs are the common case in header zones.
    if (static_cast<unsigned char>(bytes[i]) < 0x80) {
      ++i;
      continue;
    }
    Step st = decode_at(bytes, i);
    if (!st.ok) {
      Utf8Check r;
      r.valid = false;
      r.index = i;
      r.bad_len = st.len;
      r.incomplete = st.cut_off;
      return r;
    }
    i += st.len;
  }
  return {};
}

std::string hex16(uint64_t v) {
  std::string out(16, '0');
  for (int i = 15; i >= 0; --i) {
    out[static_cast<size_t>(i)] = HEX_DIGITS[v & 0xF];
    v >>= 4;
  }
  return out;
}

std::string hex_prefixed18(uint64_t v) { return "0x" + hex16(v); }

std::string zero_padded(uint64_t v, int width) {
  std::string digits = std::to_string(v);
  if (static_cast<int>(digits.size()) < width) {
    digits.insert(0, static_cast<size_t>(width) - digits.size(), '0');
  }
  return digits;
}

const char* int_error_text(IntError e) {
  switch (e) {
    case IntError::kEmpty:
      return "cannot parse integer from empty string";
    case IntError::kInvalidDigit:
      return "invalid digit found in string";
    case IntError::kTooLarge:
      return "number too large to fit in target type";
  }
  return "invalid digit found in string";
}

ParsedUint parse_uint(std::string_view text, int radix, uint64_t max) {
  if (text.empty()) return {false, 0, IntError::kEmpty};
  size_t i = 0;
  if (text[0] == '+') {
    i = 1;
    if (text.size() == 1) return {false, 0, IntError::kInvalidDigit};
  }
  uint64_t v = 0;
  for (; i < text.size(); ++i) {
    char ch = text[i];
    unsigned d;
    if (ch >= '0' && ch <= '9') {
      d = static_cast<unsigned>(ch - '0');
    } else if (radix == 16 && ch >= 'a' && ch <= 'f') {
      d = static_cast<unsigned>(ch - 'a' + 10);
    } else if (radix == 16 && ch >= 'A' && ch <= 'F') {
      d = static_cast<unsigned>(ch - 'A' + 10);
    } else {
      return {false, 0, IntError::kInvalidDigit};
    }
    // v * radix + d > max, tested without a division per digit: the open
    // of a file parses every number of its frames list through here.
    uint64_t next;
    if (__builtin_mul_overflow(v, static_cast<uint64_t>(radix), &next) ||
        __builtin_add_overflow(next, d, &next) || next > max) {
      return {false, 0, IntError::kTooLarge};
    }
    v = next;
  }
  return {true, v, IntError::kEmpty};
}

}  // namespace tarvel
