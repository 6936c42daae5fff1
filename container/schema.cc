#include "container/schema.h"

#include <optional>

#include "container/hash.h"
#include "container/headers.h"
#include "container/internal/text.h"

namespace tarvel {

namespace {

constexpr std::string_view kFixedPrefix = "fixed:";

}  // namespace

Result<RecordLayout> RecordLayout::parse(std::string_view text) {
  if (text == "prefixed") return RecordLayout::prefixed();
  if (text.substr(0, kFixedPrefix.size()) == kFixedPrefix) {
    std::string_view rest = text.substr(kFixedPrefix.size());
    ParsedUint size = parse_uint(rest, 10, UINT32_MAX);
    if (!size.ok) {
      return Error::malformed("bad record size " + quoted(rest) + ": " +
                              int_error_text(size.error));
    }
    if (size.value == 0) return Error::malformed("record size is zero");
    return RecordLayout::fixed(static_cast<uint32_t>(size.value));
  }
  return Error::malformed("unknown record layout " + quoted(text));
}

std::string RecordLayout::text() const {
  if (is_fixed()) return std::string(kFixedPrefix) + std::to_string(size);
  return "prefixed";
}

std::string Schema::fields_value() const {
  std::string out;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) out.push_back(';');
    const FieldSpec& f = fields[i];
    out += f.name;
    out.push_back(':');
    out += f.ty;
    out.push_back(':');
    out += std::to_string(f.offset);
  }
  return out;
}

std::string Schema::hash_hex() const { return hex16(fnv1a64(fields_value())); }

Result<Schema> Schema::from_headers(const Headers& headers) {
  Schema schema;
  const std::string* name = headers.get("_schema");
  if (name == nullptr) return Error::malformed("missing _schema");
  schema.name = *name;

  const std::string* record = headers.get("_record");
  if (record == nullptr) return Error::malformed("missing _record");
  TARVEL_TRY_ASSIGN(schema.layout, RecordLayout::parse(*record));

  const std::string* fields = headers.get("_schema_fields");
  if (fields == nullptr) return Error::malformed("missing _schema_fields");

  std::string_view rest = *fields;
  while (!rest.empty()) {
    size_t semi = rest.find(';');
    std::string_view token = rest.substr(0, semi);
    rest = semi == std::string_view::npos ? std::string_view() : rest.substr(semi + 1);
    if (token.empty()) continue;

    // Name and type end at the first two colons; a further colon stays in
    // the offset text and makes it unreadable.
    std::string_view field_name, ty, offset_text;
    size_t c1 = token.find(':');
    field_name = token.substr(0, c1);
    if (c1 != std::string_view::npos) {
      size_t c2 = token.find(':', c1 + 1);
      ty = token.substr(c1 + 1, c2 == std::string_view::npos ? std::string_view::npos
                                                             : c2 - c1 - 1);
      if (c2 != std::string_view::npos) offset_text = token.substr(c2 + 1);
    }
    ParsedUint offset = parse_uint(offset_text, 10, UINT32_MAX);
    if (!offset.ok) {
      return Error::malformed("bad field token " + quoted(token) + ": " +
                              int_error_text(offset.error));
    }
    if (field_name.empty() || ty.empty()) {
      return Error::malformed("bad field token " + quoted(token));
    }
    schema.fields.push_back(FieldSpec{std::string(field_name), std::string(ty),
                                      static_cast<uint32_t>(offset.value)});
  }
  return schema;
}

SplitRecords split_records(std::string_view data, const RecordLayout& layout) {
  SplitRecords out;
  // The list for a fixed layout is sized once.
  if (layout.is_fixed() && layout.size != 0) out.records.reserve(data.size() / layout.size);
  RecordCursor cursor(data, layout);
  while (const std::optional<std::string_view> record = cursor.next()) {
    out.records.push_back(*record);
  }
  out.torn = cursor.left();
  return out;
}

}  // namespace tarvel
