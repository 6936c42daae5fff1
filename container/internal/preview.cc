#include "container/internal/preview.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <system_error>
#include <vector>

#include "container/format.h"
#include "container/internal/coding.h"
#include "container/internal/text.h"

namespace tarvel {

namespace {

// The unsigned integer of "width" bytes (1, 2, 4 or 8) at "p".
uint64_t load_le(const char* p, size_t width) {
  switch (width) {
    case 1: return static_cast<unsigned char>(*p);
    case 2: return load_le16(p);
    case 4: return load_le32(p);
    default: return load_le64(p);
  }
}

// The width of a known field type, 0 for any other token (compared byte
// for byte: "U8" or "u128" are unknown).
size_t field_width(std::string_view ty) {
  if (ty == "u8") return 1;
  if (ty == "u16") return 2;
  if (ty == "u32") return 4;
  if (ty == "u64" || ty == "i64" || ty == "f64") return 8;
  if (ty == "uuid") return 16;
  return 0;
}

std::string render_field(std::string_view record, const FieldSpec& field) {
  const size_t width = field_width(field.ty);
  if (width == 0 || field.offset > record.size() || record.size() - field.offset < width) {
    return "?";
  }
  const char* p = record.data() + field.offset;
  if (field.ty == "uuid") {
    std::string out;
    for (size_t i = 0; i < 16; ++i) {
      const unsigned char b = static_cast<unsigned char>(p[i]);
      out.push_back(HEX_DIGITS[b >> 4]);
      out.push_back(HEX_DIGITS[b & 15]);
    }
    return out;
  }
  const uint64_t bits = load_le(p, width);
  if (field.ty == "i64") return std::to_string(static_cast<int64_t>(bits));
  if (field.ty == "f64") {
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return format_f64(v);
  }
  return std::to_string(bits);
}

std::string render_record(std::string_view record, const Schema& schema) {
  std::string out;
  for (size_t i = 0; i < schema.fields.size(); ++i) {
    if (i > 0) out.push_back(',');
    out += render_field(record, schema.fields[i]);
  }
  return out;
}

// The first "limit" whole records of "data", as split_records cuts them; the
// rest of the data is not walked.
std::vector<std::string_view> first_records(std::string_view data, const RecordLayout& layout,
                                            size_t limit) {
  std::vector<std::string_view> out;
  RecordCursor cursor(data, layout);
  while (out.size() < limit) {
    const std::optional<std::string_view> record = cursor.next();
    if (!record) break;
    out.push_back(*record);
  }
  return out;
}

}  // namespace

std::string format_f64(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  // The shortest round-trip digits come from the scientific form, e.g.
  // "-1.2345e-07"; the fixed form would print large values exactly
  // (1e23 as 99999999999999991611392), so the digits are laid out here.
  char buf[64];
  std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<size_t>(r.ptr - buf));
  std::string out;
  if (!sci.empty() && sci[0] == '-') {
    out.push_back('-');
    sci.remove_prefix(1);
  }
  const size_t e_pos = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e_pos)) {
    if (c != '.') digits.push_back(c);
  }
  int exp = 0;
  std::string_view exp_text = sci.substr(e_pos + 1);
  if (!exp_text.empty() && exp_text[0] == '+') exp_text.remove_prefix(1);
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exp);
  // The value is 0.d1d2...dn times 10^(exp + 1).
  const long point = static_cast<long>(exp) + 1;
  const long n = static_cast<long>(digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<size_t>(-point), '0');
    out += digits;
  } else if (point >= n) {
    out += digits;
    out.append(static_cast<size_t>(point - n), '0');
  } else {
    out += digits.substr(0, static_cast<size_t>(point));
    out.push_back('.');
    out += digits.substr(static_cast<size_t>(point));
  }
  return out;
}

uint64_t preview_span(const RecordLayout& layout) {
  const uint64_t longest = layout.is_fixed() ? layout.size : RECORD_PREFIX_LEN + MAX_PREFIXED_BODY;
  return PREVIEW_RECORDS * longest;
}

std::string preview_text(std::string_view tail, const Schema& schema) {
  std::vector<std::string_view> records = first_records(tail, schema.layout, PREVIEW_RECORDS);
  std::string joined;
  std::string first;
  for (size_t i = 0; i < records.size(); ++i) {
    std::string text = render_record(records[i], schema);
    if (i > 0) joined.push_back(';');
    joined += text;
    if (i == 0) first = std::move(text);
  }
  return joined.size() > PREVIEW_LIMIT ? first : joined;
}

}  // namespace tarvel
