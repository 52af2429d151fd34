// The UTF-8 check against the answers of a standard strict decoder.
#include "utf8.hpp"

#include <cstring>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace {

using kivu_package::Utf8Error;
using kivu_package::detail::check_utf8;
using kivu_package::detail::is_ascii_word_padded;

TEST(Utf8Check, AcceptsWellFormedTextOfEveryLength) {
  for (const char* text : {"", "plain ascii", "h\xc3\xa9llo", "\xe2\x9c\x93", "\xf0\x9d\x84\x9e", "\xed\x9f\xbf",
                           "\xee\x80\x80", "\xf4\x8f\xbf\xbf", "\xc2\x80", "\xef\xbf\xbf"}) {
    EXPECT_EQ(check_utf8(text), std::nullopt) << text;
  }
}

TEST(Utf8Check, ReportsTheValidPrefixAndTheBadSequenceLength) {
  const struct {
    std::string text;
    Utf8Error error;
  } cases[] = {
      {"\x80", {0, 1}},              // stray continuation
      {"ab\xc0\x80", {2, 1}},        // overlong two-byte NUL
      {"\xc1\xbf", {0, 1}},          // overlong two-byte
      {"\xe0\x80\x80", {0, 1}},      // overlong three-byte
      {"\xe0\x9f\xbf", {0, 1}},      // overlong three-byte
      {"\xed\xa0\x80", {0, 1}},      // surrogate U+D800
      {"\xed\xbf\xbf", {0, 1}},      // surrogate U+DFFF
      {"\xf0\x8f\xbf\xbf", {0, 1}},  // overlong four-byte
      {"\xf4\x90\x80\x80", {0, 1}},  // above U+10FFFF
      {"\xf5\x80\x80\x80", {0, 1}},  // lead byte F5
      {"\xff", {0, 1}},
      {"\xc3\x28", {0, 1}},          // two-byte with a bad second byte
      {"\xe2\x82\x28", {0, 2}},      // three-byte with a bad third byte
      {"\xf0\x9f\x98\x41", {0, 3}},  // four-byte with a bad fourth byte
      {"\xf0\x9f\x28\x80", {0, 2}},
      {"abcdefgh\xff", {8, 1}},  // right after an ASCII word
      {"abcdefghijklmno\xe2\x9c\x93pqrstuvwxyz\x80", {29, 1}},
      {"\xc3\xa9\xc3", {2, std::nullopt}},  // ends inside a sequence
      {"\xe2\x82", {0, std::nullopt}},
      {"\xf0\x9f\x98", {0, std::nullopt}},
      {"\xf0", {0, std::nullopt}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(check_utf8(c.text), c.error) << testing::PrintToString(c.text);
  }
}

TEST(Utf8Check, AgreesWithADecodeOfEveryTwoByteSequence) {
  // Brute force against the definition: a two-byte string is valid exactly
  // when it is ASCII twice, or a lead C2..DF followed by a continuation.
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      const std::string text{static_cast<char>(a), static_cast<char>(b)};
      const bool ascii = a < 0x80 && b < 0x80;
      const bool pair = a >= 0xc2 && a <= 0xdf && b >= 0x80 && b <= 0xbf;
      EXPECT_EQ(check_utf8(text).has_value(), !(ascii || pair)) << a << ' ' << b;
    }
  }
}

TEST(Utf8AsciiWords, JudgeOnlyTheTextAndNotThePaddingAfterIt) {
  // The text lies at the start of whole words; what follows it up to the
  // next word boundary is padding that must not count, whatever it holds.
  alignas(8) char words[40];
  for (std::size_t size = 0; size <= 32; ++size) {
    std::memset(words, '\xff', sizeof words);
    std::memset(words, 'a', size);
    EXPECT_TRUE(is_ascii_word_padded(std::string_view(words, size))) << size;
    for (std::size_t at = 0; at < size; ++at) {
      words[at] = '\x80';
      EXPECT_FALSE(is_ascii_word_padded(std::string_view(words, size))) << size << ' ' << at;
      words[at] = 'a';
    }
  }
}

}  // namespace
