#include "container/hash.h"

#include <gtest/gtest.h>

#include <string>

namespace tarvel {
namespace {

// Byte i of the pattern is (i * 131 + 7) mod 256, so every lane and tail
// word holds distinct bytes.
std::string pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + 7) & 0xFF);
  return s;
}

TEST(Xxh64, PublishedValues) {
  EXPECT_EQ(xxh64(""), 0xef46db3751d8e999ULL);
  EXPECT_EQ(xxh64("abc"), 0x44bc2cf5ad770999ULL);
}

// Expected values computed once with the reference implementation. The
// lengths cover inputs below one stripe, exactly one and several stripes,
// and after the stripes every mix of 8-byte words, a 4-byte word and single
// bytes in the tail.
TEST(Xxh64, PatternInputsAcrossStripesAndTails) {
  struct Case {
    size_t len;
    uint64_t hash;
  } cases[] = {
      {1, 0xa96c7f0ce858bbb7ULL},     {3, 0xbed43740ee6332bbULL},
      {4, 0xfa212ae44b3bb23dULL},     {5, 0xd339dcc9ac8e6776ULL},
      {7, 0x2744460dd675d2c0ULL},     {8, 0x994b676b71ce94ddULL},
      {9, 0x572b84c18b983af8ULL},     {11, 0x97f078da7a1a590cULL},
      {12, 0xb92f588ce720786eULL},    {15, 0x09e6451ed2ff8b1dULL},
      {16, 0x94ad0095e72b24d5ULL},    {20, 0x67822fa80e0c8933ULL},
      {24, 0x0a3b0194f3afe0b8ULL},    {28, 0x01a6f3d224fa7d3bULL},
      {31, 0x6711d55e306b5d8fULL},    {32, 0x07f7b8e3bc5d6e25ULL},
      {33, 0x09f85eeb4e1cbe9fULL},    {35, 0x25cc31e4544bc8c9ULL},
      {36, 0xe7ac625222f2b655ULL},    {39, 0xb13c137a0fb701c3ULL},
      {40, 0xd25150177ba46490ULL},    {44, 0xd02b2028c27a5329ULL},
      {47, 0x79bd9d6dd8c15570ULL},    {48, 0x2947de5e3a6afeceULL},
      {63, 0xb7c9968c066cb6a5ULL},    {64, 0x50d4159a0411632eULL},
      {65, 0xd277176bff863efcULL},    {100, 0x9ddada11d3dc2d8fULL},
      {1000, 0x0bf0bdbcc82eb373ULL},  {4096, 0xcf05adf75aca30cfULL},
      {65573, 0x945e236bbe744aeeULL},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(xxh64(pattern(c.len)), c.hash) << "length " << c.len;
  }
}

// Loads are unaligned: the value depends only on the bytes, not on where
// they start in memory.
TEST(Xxh64, IndependentOfAlignment) {
  const std::string want = pattern(100);
  std::string buf(want.size() + 8, '\0');
  for (size_t shift = 0; shift < 8; ++shift) {
    buf.replace(shift, want.size(), want);
    EXPECT_EQ(xxh64(std::string_view(buf.data() + shift, want.size())), 0x9ddada11d3dc2d8fULL)
        << "shift " << shift;
  }
}

// Fed in pieces of any sizes, the stream gives the one-pass value: pieces
// that end inside a stripe, that fill one exactly, and that span several.
TEST(Xxh64, StreamAgreesWithOnePass) {
  for (size_t len : {0u, 5u, 31u, 32u, 33u, 100u, 1000u}) {
    const std::string data = pattern(len);
    for (size_t piece : {1u, 3u, 7u, 31u, 32u, 33u, 64u, 1000u}) {
      Xxh64Stream stream;
      for (size_t at = 0; at < len; at += piece) {
        stream.update(std::string_view(data).substr(at, piece));
      }
      EXPECT_EQ(stream.digest(), xxh64(data)) << "length " << len << ", pieces of " << piece;
    }
  }
}

}  // namespace
}  // namespace tarvel
