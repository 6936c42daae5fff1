#include "container/headers.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "container/internal/coding.h"
#include "container/internal/text.h"

namespace tarvel {

namespace {

bool is_lower_or_digit(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

// The same error for a key given to set() and for one met in a stored zone.
Error invalid_key(std::string_view key) {
  return Error::usage("invalid header key " + quoted(key));
}

}  // namespace

Result<Preamble> Preamble::decode(std::string_view bytes) {
  const size_t n = bytes.size();
  if (n < MAGIC_LEN || bytes.substr(0, MAGIC_LEN) != std::string_view(MAGIC, MAGIC_LEN)) {
    return Error::malformed("not a tarvel file: bad magic");
  }
  if (n == MAGIC_LEN) return Error::malformed("preamble too short");
  const auto version = static_cast<uint8_t>(bytes[VERSION_AT]);
  if (version != FORMAT_VERSION) {
    return Error::malformed("unsupported tarvel version " + std::to_string(version));
  }
  if (n < HEADER_AREA_AT + 4) return Error::malformed("preamble too short");
  const uint32_t header_area = load_le32(bytes.data() + HEADER_AREA_AT);
  if (header_area == 0) return Error::malformed("header zone size is zero");
  if (header_area > MAX_HEADER_AREA) {
    return Error::malformed("header zone claims " + std::to_string(header_area) +
                            " bytes, the ceiling is " + std::to_string(MAX_HEADER_AREA));
  }
  Preamble p;
  p.version = version;
  p.flags = static_cast<uint8_t>(bytes[FLAGS_AT]);
  p.header_area = header_area;
  return p;
}

std::string Preamble::encode() const {
  // The reserved bytes stay zero.
  std::string out(PREAMBLE_LEN, '\0');
  std::memcpy(out.data(), MAGIC, MAGIC_LEN);
  out[VERSION_AT] = static_cast<char>(version);
  out[FLAGS_AT] = static_cast<char>(flags);
  store_le32(out.data() + HEADER_AREA_AT, header_area);
  return out;
}

Result<Preamble> read_preamble(File& file) {
  char head[PREAMBLE_LEN];
  TARVEL_TRY(file.seek(0));
  TARVEL_TRY(read_exact(file, head, sizeof head));
  return Preamble::decode(std::string_view(head, sizeof head));
}

Status check_zone_in_file(const Preamble& preamble, uint64_t file_len) {
  if (file_len >= preamble.data_start()) return {};
  return Error::malformed("header zone claims " + std::to_string(preamble.header_area) +
                          " bytes but the file is " + std::to_string(file_len) + " bytes");
}

Status check_header_area(uint64_t header_area) {
  if (header_area != 0 && header_area <= MAX_HEADER_AREA) return {};
  return Error::usage("header zone of " + std::to_string(header_area) + " bytes is outside 1..=" +
                      std::to_string(MAX_HEADER_AREA));
}

bool key_is_valid(std::string_view key) {
  size_t i = 0;
  if (i < key.size() && key[i] == '_') ++i;
  if (i >= key.size() || !is_lower_or_digit(key[i])) return false;
  for (++i; i < key.size(); ++i) {
    if (!is_lower_or_digit(key[i]) && key[i] != '_') return false;
  }
  return true;
}

std::string escape_value(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\\') {
      out += "\\\\";
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string unescape_value(std::string_view stored) {
  std::string out;
  out.reserve(stored.size());
  // The runs between backslashes go in whole.
  for (size_t i = 0; i < stored.size();) {
    const size_t at = std::min(stored.find('\\', i), stored.size());
    out.append(stored.substr(i, at - i));
    // A backslash that ends the value has nothing to escape and is dropped.
    if (at + 1 >= stored.size()) break;
    out.push_back(stored[at + 1] == 'n' ? '\n' : stored[at + 1]);
    i = at + 2;
  }
  return out;
}

const std::string* Headers::get(std::string_view key) const {
  for (const Entry& e : entries_) {
    if (e.key == key) return &e.value;
  }
  return nullptr;
}

uint64_t Headers::counter(std::string_view key) const {
  const std::string* value = get(key);
  if (value == nullptr) return 0;
  ParsedUint parsed = parse_uint(*value, 10, UINT64_MAX);
  return parsed.ok ? parsed.value : 0;
}

Status Headers::set(std::string_view key, std::string_view value) {
  if (!key_is_valid(key)) return invalid_key(key);
  for (Entry& e : entries_) {
    if (e.key == key) {
      e.value = std::string(value);
      return {};
    }
  }
  entries_.push_back(Entry{std::string(key), std::string(value)});
  return {};
}

Status Headers::set_user(std::string_view key, std::string_view value) {
  if (!key.empty() && key[0] == '_') {
    return Error::usage("user header key " + quoted(key) + " may not start with '_'");
  }
  return set(key, value);
}

namespace {

const char* find_or_end(const char* from, const char* end, char c) {
  const void* at = std::memchr(from, c, static_cast<size_t>(end - from));
  return at != nullptr ? static_cast<const char*>(at) : end;
}

// escape_value(value) appended to "*out" without a copy of the value: the
// runs between newlines and backslashes go in whole. A value such as
// _frames can be megabytes long, with neither character in it.
void append_escaped(std::string_view value, std::string* out) {
  const char* p = value.data();
  const char* const end = p + value.size();
  const char* nl = find_or_end(p, end, '\n');
  const char* bs = find_or_end(p, end, '\\');
  while (nl != end || bs != end) {
    const char* at = std::min(nl, bs);
    out->append(p, static_cast<size_t>(at - p));
    out->append(*at == '\n' ? "\\n" : "\\\\");
    p = at + 1;
    if (at == nl) {
      nl = find_or_end(p, end, '\n');
    } else {
      bs = find_or_end(p, end, '\\');
    }
  }
  out->append(p, static_cast<size_t>(end - p));
}

}  // namespace

Result<std::string> Headers::render(uint64_t header_area) const {
  std::string zone;
  TARVEL_TRY(render_into(header_area, &zone));
  return zone;
}

Status Headers::render_into(uint64_t header_area, std::string* zone) const {
  std::string& text = *zone;
  text.clear();
  for (const Entry& e : entries_) {
    text += e.key;
    text.push_back(':');
    append_escaped(e.value, &text);
    text.push_back('\n');
  }
  text.push_back('\n');
  // Checked before any padding so that a caller can refuse an update while
  // nothing has been touched yet.
  if (text.size() > header_area) {
    const size_t need = text.size();
    text.clear();
    return Error::zone_full(need, header_area);
  }
  text.resize(header_area, '\0');
  return {};
}

Result<Headers> Headers::parse(std::string_view zone) {
  Utf8Check utf8 = check_utf8(zone);
  if (!utf8.valid) {
    std::string why = utf8.incomplete
                          ? "incomplete utf-8 byte sequence from index " + std::to_string(utf8.index)
                          : "invalid utf-8 sequence of " + std::to_string(utf8.bad_len) +
                                " bytes from index " + std::to_string(utf8.index);
    return Error::malformed("header zone is not UTF-8: " + why);
  }
  Headers headers;
  size_t pos = 0;
  while (true) {
    size_t nl = zone.find('\n', pos);
    std::string_view line =
        zone.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
    // The empty line, or the NUL padding, ends the headers; whatever follows
    // in the zone is not looked at.
    if (line.empty() || line[0] == '\0') return headers;
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
      return Error::malformed("header line without ':': " + quoted(line));
    }
    std::string_view key = line.substr(0, colon);
    if (!key_is_valid(key)) return invalid_key(key);
    headers.entries_.push_back(
        Entry{std::string(key), unescape_value(line.substr(colon + 1))});
    if (nl == std::string_view::npos) break;
    pos = nl + 1;
  }
  return Error::malformed("header zone has no empty-line terminator");
}

Result<std::pair<Preamble, Headers>> peek_headers(const std::string& path, Env& env) try {
  TARVEL_TRY_ASSIGN(std::unique_ptr<File> file,
                    env.open(path, OpenMode::kRead).map_error(io_at(path)));
  TARVEL_TRY_ASSIGN(Preamble preamble, read_preamble(*file));
  TARVEL_TRY_ASSIGN(uint64_t file_len, file->length().map_error(io_at(path)));
  TARVEL_TRY(check_zone_in_file(preamble, file_len));
  TARVEL_TRY_ASSIGN(std::string zone, read_exact_at(*file, PREAMBLE_LEN, preamble.header_area));
  TARVEL_TRY_ASSIGN(Headers headers, Headers::parse(zone));
  return std::make_pair(preamble, std::move(headers));
} catch (const std::bad_alloc&) {
  return Error::out_of_memory();
}

}  // namespace tarvel
