// The head of a container file: the 16-byte preamble and the header zone
// (their layout is in format.h).
#ifndef TARVEL_CONTAINER_HEADERS_H_
#define TARVEL_CONTAINER_HEADERS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "container/file.h"
#include "container/format.h"
#include "container/result.h"

namespace tarvel {

struct Preamble {
  uint8_t version = FORMAT_VERSION;
  uint8_t flags = 0;
  uint32_t header_area = 0;

  // Decodes the first bytes of a file (callers pass the 16 at offset 0);
  // Malformed on a bad magic, a short input, another version or a
  // header_area outside 1 to MAX_HEADER_AREA. The flags byte is taken as is.
  static Result<Preamble> decode(std::string_view bytes);

  // The 16 bytes a writer puts at offset 0.
  std::string encode() const;

  // Where the data section begins: right behind the zone.
  uint64_t data_start() const { return PREAMBLE_LEN + header_area; }

  bool operator==(const Preamble&) const = default;
};

// Preamble::decode of the 16 bytes at offset 0 of "file", which is left
// positioned at the zone. A failed read is an Io error without a path.
Result<Preamble> read_preamble(File& file);

// Malformed "header zone claims <n> bytes but the file is <len> bytes" when
// a file of "file_len" bytes ends before the zone that "preamble" gives.
Status check_zone_in_file(const Preamble& preamble, uint64_t file_len);

// Usage, naming the size and the range from 1 to MAX_HEADER_AREA, for a
// header_area that no open accepts, as the writers of a new file's preamble
// refuse it.
Status check_header_area(uint64_t header_area);

// Whether "key" is an optional single "_", then a-z or 0-9, then any of
// a-z, 0-9 and "_".
bool key_is_valid(std::string_view key);

// A line feed becomes "\n" (backslash, n); a backslash is doubled.
std::string escape_value(std::string_view value);
// The inverse: "\n" gives a line feed, "\\" one backslash, a backslash before
// any other character gives that character, and a final lone backslash is
// dropped.
std::string unescape_value(std::string_view stored);

// The ordered header list. Keys enter only through set() and parse(), which
// check them; a key may occur twice only after parsing a zone that holds it
// twice.
class Headers {
 public:
  struct Entry {
    std::string key;
    std::string value;
    bool operator==(const Entry&) const = default;
  };

  const std::vector<Entry>& entries() const { return entries_; }

  // The value of the first entry with this key.
  const std::string* get(std::string_view key) const;
  // A counting header (_records, _bytes_raw) as a number: missing, empty or
  // unreadable counts as 0.
  uint64_t counter(std::string_view key) const;

  // Replaces the first entry's value in place, or appends a new entry.
  // Usage "invalid header key "<key>"" for a key that breaks the key rule.
  Status set(std::string_view key, std::string_view value);

  // set() for application headers: a key starting with "_" fails with
  // Usage "user header key "<key>" may not start with '_'".
  Status set_user(std::string_view key, std::string_view value);

  // Exactly "header_area" bytes: the lines, the empty line, NUL padding; or
  // ZoneFull {need, header_area} when the text does not fit.
  Result<std::string> render(uint64_t header_area) const;
  // render() into "*zone", replacing its contents and keeping its capacity,
  // so that a buffer kept across rewrites is not allocated again. On
  // ZoneFull "*zone" holds no zone.
  Status render_into(uint64_t header_area, std::string* zone) const;

  // Parses a whole zone as read from the file: Malformed for a zone that is
  // not UTF-8, a line without ':' or no empty-line terminator; Usage for an
  // invalid key.
  static Result<Headers> parse(std::string_view zone);

  bool operator==(const Headers&) const = default;

 private:
  std::vector<Entry> entries_;
};

// Reads only the preamble and the header zone of the file at "path". The
// open and the length query carry the path; nothing is written and no
// journal is looked at.
Result<std::pair<Preamble, Headers>> peek_headers(const std::string& path,
                                                 Env& env = Env::posix());

}  // namespace tarvel

#endif  // TARVEL_CONTAINER_HEADERS_H_
