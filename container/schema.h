// Schemas, record layouts and record splitting.
//
// Stored in the header zone as
//   _schema         the name
//   _schema_fields  "name:ty:offset" tokens joined by ";"
//   _record         "prefixed" or "fixed:N"
//   _schema_hash    FNV-1a 64 of the _schema_fields text, 16 hex digits
#ifndef TARVEL_CONTAINER_SCHEMA_H_
#define TARVEL_CONTAINER_SCHEMA_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "container/result.h"

namespace tarvel {

class Headers;

struct FieldSpec {
  std::string name;
  std::string ty;  // "u8", "u16", "u32", "u64", "i64", "f64", "uuid", or any text
  uint32_t offset = 0;
  bool operator==(const FieldSpec&) const = default;
};

struct RecordLayout {
  enum class Kind { kFixed, kPrefixed };
  Kind kind = Kind::kPrefixed;
  uint32_t size = 0;  // kFixed only; 0 is representable but never opens

  static RecordLayout fixed(uint32_t size) { return {Kind::kFixed, size}; }
  static RecordLayout prefixed() { return {Kind::kPrefixed, 0}; }
  bool is_fixed() const { return kind == Kind::kFixed; }

  // Reads a _record value: "prefixed", or "fixed:" and a u32 in decimal.
  static Result<RecordLayout> parse(std::string_view text);
  // The _record text: "prefixed", or "fixed:" and the size in decimal.
  std::string text() const;

  bool operator==(const RecordLayout&) const = default;
};

struct Schema {
  std::string name;
  std::vector<FieldSpec> fields;
  RecordLayout layout;

  // The _schema_fields text.
  std::string fields_value() const;
  // FNV-1a 64 (hash.h) of fields_value(), as 16 lowercase hex digits.
  std::string hash_hex() const;

  // Reads _schema, _record and _schema_fields (first entries); Malformed
  // when one is missing or unreadable. _schema_hash is not read.
  static Result<Schema> from_headers(const Headers& headers);

  bool operator==(const Schema&) const = default;
};

// Whole records of a byte run and the count of torn trailing bytes. Each
// record is a view into the caller's bytes; for the prefixed layout the view
// is the body without its u16 prefix.
struct SplitRecords {
  std::vector<std::string_view> records;
  uint64_t torn = 0;
};

// Never fails. Fixed size 0 gives no records and all bytes torn.
SplitRecords split_records(std::string_view data, const RecordLayout& layout);

}  // namespace tarvel

#endif  // TARVEL_CONTAINER_SCHEMA_H_
