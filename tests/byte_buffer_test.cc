#include "container/internal/byte_buffer.h"

#include <gtest/gtest.h>

#include <string>

namespace tarvel {
namespace {

std::string pattern(size_t n, char first) {
  std::string out;
  for (size_t i = 0; i < n; ++i) out.push_back(static_cast<char>(static_cast<size_t>(first) + i));
  return out;
}

// Every length around the inline copies' boundaries: exactly "n" bytes
// land, and not one byte on either side of them moves.
TEST(CopyBytes, CopiesExactlyTheBytesAskedFor) {
  for (size_t n = 0; n <= 40; ++n) {
    SCOPED_TRACE("n = " + std::to_string(n));
    const std::string from = pattern(n, 'a');
    std::string to(n + 2, '#');
    copy_bytes(to.data() + 1, from.data(), n);
    EXPECT_EQ(to, "#" + from + "#");
  }
}

TEST(ByteBuffer, AppendsKeepEveryByteThroughGrowthAndClears) {
  ByteBuffer buf;
  std::string expected;
  for (size_t n = 0; n <= 40; ++n) {
    buf.append(pattern(n, static_cast<char>('A' + n % 26)));
    expected += pattern(n, static_cast<char>('A' + n % 26));
  }
  EXPECT_EQ(buf.view(), expected);
  const size_t room = buf.capacity();
  buf.clear();
  EXPECT_TRUE(buf.empty());
  EXPECT_EQ(buf.capacity(), room);
  buf.append("xy");
  EXPECT_EQ(buf.view(), "xy");

  // reset empties and makes room; a moved-from buffer is empty.
  buf.reset(room + 1);
  EXPECT_TRUE(buf.empty());
  EXPECT_GE(buf.capacity(), room + 1);
  buf.append("z");
  ByteBuffer moved(std::move(buf));
  EXPECT_EQ(moved.view(), "z");
  EXPECT_TRUE(buf.empty());
  EXPECT_EQ(buf.capacity(), 0u);
}

}  // namespace
}  // namespace tarvel
