// Schemas, record layouts and record splitting.
//
// Stored in the header zone as
//   _schema         the name
//   _schema_fields  "name:ty:offset" tokens joined by ";"
//   _record         "prefixed" or "fixed:N"
//   _schema_hash    FNV-1a 64 of the _schema_fields text, 16 hex digits
#ifndef TARVEL_CONTAINER_SCHEMA_H_
#define TARVEL_CONTAINER_SCHEMA_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "container/format.h"
#include "container/internal/coding.h"
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

// RecordCursor: the one walk over the records of a byte run, for both
// layouts. Whatever cuts bytes into records (split_records, the preview,
// the tools' checks and scans, open_append's count of the raw tail) asks it
// for the next record, so the bounds of a record are checked here alone.
//
// It walks "run" from its start, one whole record at a time. The bytes after
// the last whole record are torn: a record cut by the end of the run, or all
// of the run for a fixed layout of size 0, which holds no records.
// REQUIRES: "run" outlives the cursor and the records it hands out.
class RecordCursor {
 public:
  RecordCursor(std::string_view run, const RecordLayout& layout)
      : run_(run), fixed_(layout.is_fixed()), size_(layout.size) {}

  // The next whole record, or nullopt when the bytes left hold none. A
  // prefixed record is its body, without the prefix.
  std::optional<std::string_view> next() {
    const size_t left = this->left();
    size_t head = 0;
    size_t body = size_;
    if (!fixed_) {
      if (left < RECORD_PREFIX_LEN) return std::nullopt;
      head = RECORD_PREFIX_LEN;
      body = load_le16(run_.data() + pos_);
    } else if (size_ == 0) {
      return std::nullopt;
    }
    if (body > left - head) return std::nullopt;
    const std::string_view record = run_.substr(pos_ + head, body);
    pos_ += head + body;
    return record;
  }

  // Walks past every whole record left; returns how many there were.
  uint64_t skip_all() {
    if (fixed_) {
      if (size_ == 0) return 0;
      const size_t count = left() / size_;
      pos_ += count * size_;
      return count;
    }
    uint64_t count = 0;
    while (next()) ++count;
    return count;
  }

  // The bytes of the whole records walked so far, prefixes included.
  size_t pos() const { return pos_; }
  // The bytes after them.
  size_t left() const { return run_.size() - pos_; }

  // How many bytes must follow the run before the bytes left hold a whole
  // record: for a prefixed record whose prefix is cut, those that complete
  // the prefix. 0 when next() has a record to hand out, and for a fixed
  // layout of size 0.
  size_t missing() const {
    const size_t left = this->left();
    if (fixed_) return left < size_ ? size_ - left : 0;
    if (left < RECORD_PREFIX_LEN) return RECORD_PREFIX_LEN - left;
    const size_t whole = RECORD_PREFIX_LEN + load_le16(run_.data() + pos_);
    return left < whole ? whole - left : 0;
  }

 private:
  std::string_view run_;
  size_t pos_ = 0;
  bool fixed_;
  uint32_t size_;
};

// The bytes that the whole records at the start of "run" take.
inline size_t whole_records_len(std::string_view run, const RecordLayout& layout) {
  RecordCursor cursor(run, layout);
  cursor.skip_all();
  return cursor.pos();
}

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
