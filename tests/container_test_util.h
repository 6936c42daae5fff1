// Helpers for the Container tests: small schemas, a container in a scratch
// directory, and errors as one comparable text ("Usage: no frame 3").
#ifndef TARVEL_TESTS_CONTAINER_TEST_UTIL_H_
#define TARVEL_TESTS_CONTAINER_TEST_UTIL_H_

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "container/container.h"
#include "tests/result_assertions.h"
#include "tests/test_util.h"

namespace tarvel::testing {

inline Schema fixed_schema(uint32_t size, std::vector<FieldSpec> fields = {}) {
  return Schema{"rec", std::move(fields), RecordLayout::fixed(size)};
}

inline Schema prefixed_schema(std::vector<FieldSpec> fields = {}) {
  return Schema{"rec", std::move(fields), RecordLayout::prefixed()};
}

// "ok", or the error's kind and display text.
template <class R>
std::string err(const R& r) {
  if (r.ok()) return "ok";
  return ::testing::PrintToString(r.error());
}

// A record of "n" bytes, each byte "i" then i+1, ... (mod 256).
inline std::string rec(size_t n, unsigned char first = 0) {
  std::string out(n, '\0');
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<char>(first + i);
  return out;
}

// A 4-byte record holding "v" (little-endian), and the records "from" to
// "to" - 1 one after the other.
inline std::string u32(uint32_t v) {
  std::string out(4, '\0');
  for (size_t i = 0; i < 4; ++i) out[i] = static_cast<char>(v >> (8 * i));
  return out;
}

inline std::string u32s(uint32_t from, uint32_t to) {
  std::string out;
  for (uint32_t v = from; v < to; ++v) out += u32(v);
  return out;
}

inline Container create_or_die(const std::string& path, const Schema& schema,
                               uint32_t header_area = 4096, const UserHeaders& user = {},
                               Env& env = Env::posix()) {
  Result<Container> c = Container::create(path, schema, "src", "wr", 0, header_area, user, env);
  if (!c) {
    ADD_FAILURE() << "create: " << c.error().to_string();
    abort();
  }
  return std::move(c).value();
}

template <class R>
auto value_or_die(R r) {
  if (!r) {
    ADD_FAILURE() << r.error().to_string();
    abort();
  }
  return std::move(r).value();
}

inline std::string header(const Container& c, std::string_view key) {
  const std::string* v = c.headers().get(key);
  return v == nullptr ? "<missing>" : *v;
}

// The counters agree with the data: the committed ones with the records in
// the frames, the live ones with those plus the whole records of the tail.
inline void expect_counts_match_data(Container& c) {
  uint64_t records = 0, bytes = 0;
  for (size_t i = 0; i < c.frames().size(); ++i) {
    Result<std::string> body = c.read_frame_at(i);
    TARVEL_ASSERT_OK(body);
    records += split_records(*body, c.schema().layout).records.size();
    bytes += body->size();
  }
  EXPECT_EQ(c.records_committed(), records);
  EXPECT_EQ(c.bytes_raw_committed(), bytes);
  Result<std::string> tail = c.read_tail();
  TARVEL_ASSERT_OK(tail);
  EXPECT_EQ(c.records(), records + split_records(*tail, c.schema().layout).records.size());
  EXPECT_EQ(c.bytes_raw(), bytes + tail->size());
}

// The body of the record at position "p" of a file: its length and bytes
// both follow from p, so a reader can tell any record that is out of place
// or made of other bytes. Bodies are below 41 bytes, so with a length prefix
// a tail never begins with the zstd magic.
inline std::string body_at(uint64_t p) {
  std::string out(p * 7 % 41, '\0');
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<char>(p * 31 + i);
  return out;
}

// Checks that "bytes" holds body_at(*next), body_at(*next + 1), ... as whole
// records of the prefixed layout, and advances *next past them.
inline ::testing::AssertionResult in_sequence(std::string_view bytes, uint64_t* next) {
  SplitRecords split = split_records(bytes, RecordLayout::prefixed());
  if (split.torn != 0) return ::testing::AssertionFailure() << split.torn << " torn bytes";
  for (std::string_view r : split.records) {
    if (r != body_at(*next)) return ::testing::AssertionFailure() << "record " << *next;
    ++*next;
  }
  return ::testing::AssertionSuccess();
}

}  // namespace tarvel::testing

#endif  // TARVEL_TESTS_CONTAINER_TEST_UTIL_H_
