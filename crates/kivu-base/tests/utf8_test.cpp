// The UTF-8 decoder against the answers of a standard strict decoder. The
// profile reader's check of whole texts is tested with the reader
// (crates/kivu-package/tests/utf8_test.cpp).
#include "kivu_base/utf8.hpp"

#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace {

using kivu_base::decode_utf8;
using kivu_base::Utf8Decoded;

constexpr Utf8Decoded character(char32_t c, std::uint8_t length) { return {c, length, true, false}; }
constexpr Utf8Decoded bad(std::uint8_t length) { return {U'\uFFFD', length, false, false}; }
constexpr Utf8Decoded cut(std::uint8_t length) { return {U'\uFFFD', length, false, true}; }

TEST(Utf8Decode, DecodesEachLengthAtItsLimits) {
  const struct {
    std::string_view text;
    Utf8Decoded decoded;
  } cases[] = {
      {"a", character(U'a', 1)},
      {std::string_view("\0", 1), character(0, 1)},
      {"\x7f", character(0x7f, 1)},
      {"\xc2\x80", character(0x80, 2)},
      {"\xdf\xbf", character(0x7ff, 2)},
      {"\xe0\xa0\x80", character(0x800, 3)},
      {"\xed\x9f\xbf", character(0xd7ff, 3)},
      {"\xee\x80\x80", character(0xe000, 3)},
      {"\xef\xbf\xbf", character(0xffff, 3)},
      {"\xf0\x90\x80\x80", character(0x10000, 4)},
      {"\xf4\x8f\xbf\xbf", character(0x10ffff, 4)},
  };
  for (const auto& c : cases) EXPECT_EQ(decode_utf8(c.text, 0), c.decoded) << testing::PrintToString(c.text);
}

TEST(Utf8Decode, GivesTheLengthOfTheBadSequenceOrSaysTheTextEnded) {
  const struct {
    std::string_view text;
    Utf8Decoded decoded;
  } cases[] = {
      {"\x80", bad(1)},              // stray continuation
      {"\xc0\x80", bad(1)},          // overlong two-byte NUL
      {"\xc1\xbf", bad(1)},          // overlong two-byte
      {"\xe0\x9f\xbf", bad(1)},      // overlong three-byte
      {"\xed\xa0\x80", bad(1)},      // surrogate U+D800
      {"\xed\xbf\xbf", bad(1)},      // surrogate U+DFFF
      {"\xf0\x8f\xbf\xbf", bad(1)},  // overlong four-byte
      {"\xf4\x90\x80\x80", bad(1)},  // above U+10FFFF
      {"\xf5\x80\x80\x80", bad(1)},  // lead byte F5
      {"\xff", bad(1)},
      {"\xc3\x28", bad(1)},
      {"\xe2\x82\x28", bad(2)},
      {"\xf0\x9f\x28\x80", bad(2)},
      {"\xf0\x9f\x98\x41", bad(3)},
      {"\xc3", cut(1)},
      {"\xe2\x82", cut(2)},
      {"\xf0\x9f\x98", cut(3)},
  };
  for (const auto& c : cases) EXPECT_EQ(decode_utf8(c.text, 0), c.decoded) << testing::PrintToString(c.text);
}

TEST(Utf8Decode, ReadsFromTheGivenPositionAndNoFurtherThanTheText) {
  const std::string_view text = "a\xc3\xa9z";
  EXPECT_EQ(decode_utf8(text, 1), character(0xe9, 2));
  EXPECT_EQ(decode_utf8(text, 3), character(U'z', 1));
  // The view ends inside the character, though the bytes go on.
  EXPECT_EQ(decode_utf8(text.substr(0, 2), 1), cut(1));
}

TEST(Utf8Decode, AppendingAndDecodingEveryCodePointAgree) {
  for (char32_t c = 0; c <= 0x10ffff; ++c) {
    if (c >= 0xd800 && c <= 0xdfff) continue;
    std::string text;
    kivu_base::append_utf8(text, c);
    const auto decoded = decode_utf8(text, 0);
    ASSERT_TRUE(decoded.valid) << std::hex << static_cast<unsigned>(c);
    ASSERT_EQ(decoded.character, c);
    ASSERT_EQ(decoded.length, text.size());
  }
}

}  // namespace
