// Container files for the tests of the maintenance tools, built through the
// Container API, and the small edits the tests make to them: a header
// changed in place, a stored byte flipped, a pending seal journal.
#ifndef TARVEL_TESTS_TOOL_FILES_H_
#define TARVEL_TESTS_TOOL_FILES_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "container/container.h"
#include "container/frames.h"
#include "container/headers.h"
#include "container/internal/journal.h"
#include "container/schema.h"
#include "tests/result_assertions.h"
#include "tests/test_util.h"

namespace tarvel::testing {

// The tools' two schemas: fixed-size events with one u64 field, and
// length-prefixed messages.
inline Schema event_schema(uint32_t size = 8) {
  return Schema{"ev", {FieldSpec{"n", "u64", 0}}, RecordLayout::fixed(size)};
}
inline Schema message_schema() {
  return Schema{"msg", {FieldSpec{"text", "str", 0}}, RecordLayout::prefixed()};
}

// The "i"th test record: 8 bytes for the fixed layout, a short text of
// varying length for the prefixed one.
inline std::string record(const Schema& schema, uint64_t i) {
  if (schema.layout.is_fixed()) {
    std::string r(schema.layout.size, '\0');
    for (size_t b = 0; b < r.size(); ++b) r[b] = static_cast<char>((i >> (8 * (b % 8))) + b);
    return r;
  }
  return "record " + std::to_string(i) + std::string(i % 7, '!');
}

struct FramePlan {
  uint64_t id;
  int32_t level;
  uint64_t records;
};

// Writes a new container at "path": each frame of "frames" closed in turn
// from its own records, then "tail" records left in the raw tail, then
// "torn" stray bytes after them. Record numbers run on across frames.
inline void make_file(const std::string& path, const Schema& schema,
                      const std::vector<FramePlan>& frames, uint64_t tail = 0,
                      bool sealed = false, const std::string& torn = "",
                      uint32_t header_area = DEFAULT_HEADER_AREA) {
  uint64_t n = 0;
  {
    auto c = Container::create(path, schema, "test", "tool tests", 0, header_area,
                               {{"owner", "tests"}});
    TARVEL_ASSERT_OK(c);
    for (const FramePlan& f : frames) {
      for (uint64_t i = 0; i < f.records; ++i) {
        TARVEL_ASSERT_OK(c->append_record(record(schema, n++)));
      }
      auto closed = sealed && &f == &frames.back() ? c->seal(f.id, f.level)
                                                   : c->close_frame(f.id, f.level);
      TARVEL_ASSERT_OK(closed);
    }
    for (uint64_t i = 0; i < tail; ++i) TARVEL_ASSERT_OK(c->append_record(record(schema, n++)));
    TARVEL_ASSERT_OK(c->flush_data());
  }
  if (!torn.empty()) write_file(path, read_file(path) + torn);
}

// The frames list and headers of the file as stored.
inline Headers stored_headers(const std::string& path) {
  auto head = peek_headers(path);
  TARVEL_EXPECT_OK(head);
  return head ? head->second : Headers();
}
inline std::vector<Frame> stored_frames(const std::string& path) {
  const Headers headers = stored_headers(path);
  const std::string* text = headers.get("_frames");
  auto frames = parse_frames(text != nullptr ? std::string_view(*text) : "");
  TARVEL_EXPECT_OK(frames);
  return frames ? *frames : std::vector<Frame>();
}

// Rewrites the header zone in place with "key" set to "value" (or, with
// "remove", without it), leaving every other header and the data as they
// are.
inline void edit_header(const std::string& path, const std::string& key,
                        const std::string& value, bool remove = false) {
  auto head = peek_headers(path);
  TARVEL_ASSERT_OK(head);
  Headers edited;
  if (remove) {
    std::string text;
    for (const auto& e : head->second.entries()) {
      if (e.key != key) text += e.key + ":" + escape_value(e.value) + "\n";
    }
    text += "\n";
    auto parsed = Headers::parse(text);
    TARVEL_ASSERT_OK(parsed);
    edited = *parsed;
  } else {
    edited = head->second;
    TARVEL_ASSERT_OK(edited.set(key, value));
  }
  auto zone = edited.render(head->first.header_area);
  TARVEL_ASSERT_OK(zone);
  std::string bytes = read_file(path);
  bytes.replace(PREAMBLE_LEN, zone->size(), *zone);
  write_file(path, bytes);
}

// Flips the low bit of the stored byte at "delta" from the end of frame
// "index" of the list (delta 1 is its last byte).
inline void damage_frame(const std::string& path, size_t index, uint64_t delta = 1) {
  auto head = peek_headers(path);
  TARVEL_ASSERT_OK(head);
  std::vector<Frame> frames = stored_frames(path);
  ASSERT_LT(index, frames.size());
  const Frame& f = frames[index];
  std::string bytes = read_file(path);
  bytes[PREAMBLE_LEN + head->first.header_area + f.offset + f.len - delta] ^= 1;
  write_file(path, bytes);
}

// Leaves "path" as it was before a frame close of its raw tail and a
// complete seal journal beside it, as a crash between the journal's flush
// and the splice leaves them. Returns the bytes the close makes of the file.
inline std::string make_pending_journal(const std::string& path, uint64_t id, int32_t level) {
  const std::string before = read_file(path);
  {
    auto c = Container::open_append(path);
    TARVEL_EXPECT_OK(c);
    if (!c) return "";
    TARVEL_EXPECT_OK(c->close_frame(id, level));
  }
  const std::string after = read_file(path);
  auto head = peek_headers(path);
  TARVEL_EXPECT_OK(head);
  const uint64_t data_start = PREAMBLE_LEN + head->first.header_area;
  const std::vector<Frame> frames = stored_frames(path);
  const Frame& f = frames.back();
  const uint64_t start = data_start + f.offset;
  TARVEL_EXPECT_OK(write_journal(Env::posix(), path, start,
                                 after.substr(PREAMBLE_LEN, head->first.header_area),
                                 after.substr(start, f.len)));
  write_file(path, before);
  return after;
}

}  // namespace tarvel::testing

#endif  // TARVEL_TESTS_TOOL_FILES_H_
