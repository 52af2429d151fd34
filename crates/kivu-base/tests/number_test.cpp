#include "kivu_base/number.hpp"

#include <cstdint>
#include <optional>
#include <string_view>

#include <gtest/gtest.h>

namespace {

using kivu_base::parse_digits;

TEST(ParseDigits, ReadsDigitsOnlyInEitherBase) {
  EXPECT_EQ(parse_digits("0", 10), 0u);
  EXPECT_EQ(parse_digits("007", 10), 7u);
  EXPECT_EQ(parse_digits("18446744073709551615", 10), UINT64_MAX);
  EXPECT_EQ(parse_digits("9bFFf", 16), 0x9bfffu);
  EXPECT_EQ(parse_digits("ffffffffffffffff", 16), UINT64_MAX);
  for (const char* bad : {"", "-0", "+1", " 1", "1 ", "0x10", "1_000", "1e3", "1.5", "a", "18446744073709551616"}) {
    EXPECT_EQ(parse_digits(bad, 10), std::nullopt) << '"' << bad << '"';
  }
  for (const char* bad : {"", "0x1", "-1", "g", "10000000000000000"}) {
    EXPECT_EQ(parse_digits(bad, 16), std::nullopt) << '"' << bad << '"';
  }
  // A value past its text's end is not read: only the view's digits count.
  EXPECT_EQ(parse_digits(std::string_view("123", 2), 10), 12u);
}

TEST(ParseDigits, TakesTheBoundAndRefusesOneAboveIt) {
  EXPECT_EQ(parse_digits("255", 10, 255), 255u);
  EXPECT_EQ(parse_digits("256", 10, 255), std::nullopt);
  EXPECT_EQ(parse_digits("0", 10, 0), 0u);
  EXPECT_EQ(parse_digits("1", 10, 0), std::nullopt);
  EXPECT_EQ(parse_digits("9bfff", 16, 0x9bfff), 0x9bfffu);
  EXPECT_EQ(parse_digits("9c000", 16, 0x9bfff), std::nullopt);
}

using kivu_base::parse_decimal;

TEST(ParseDecimal, ScalesTheFractionExactlyWithEitherSideOfThePointLeftOut) {
  EXPECT_EQ(parse_decimal("5", 6), 5'000'000u);
  EXPECT_EQ(parse_decimal("2.5", 6), 2'500'000u);
  EXPECT_EQ(parse_decimal(".5", 6), 500'000u);
  EXPECT_EQ(parse_decimal("10.", 6), 10'000'000u);
  EXPECT_EQ(parse_decimal("0.000001", 6), 1u);
  EXPECT_EQ(parse_decimal("007.250", 3), 7'250u);
  EXPECT_EQ(parse_decimal("42", 0), 42u);
  EXPECT_EQ(parse_decimal("1.5", 19), 15'000'000'000'000'000'000u);
  for (const char* bad : {"", ".", "..5", "5..", "1.2.3", "-1", "+5", "1.+5", "1.-5", "-.5", " 5", "5 ", "1e2", "5%",
                          "0.0000001", "99999999999999999999999"}) {
    EXPECT_EQ(parse_decimal(bad, 6), std::nullopt) << '"' << bad << '"';
  }
  EXPECT_EQ(parse_decimal("4.2", 0), std::nullopt) << "no places for a fraction";
  EXPECT_EQ(parse_decimal("1", 20), std::nullopt) << "10^20 does not fit";
}

TEST(ParseDecimal, TakesTheBoundAndRefusesOneUnitAboveIt) {
  EXPECT_EQ(parse_decimal("1000000000", 6, 1'000'000'000'000'000), 1'000'000'000'000'000u);
  EXPECT_EQ(parse_decimal("1000000000.000000", 6, 1'000'000'000'000'000), 1'000'000'000'000'000u);
  EXPECT_EQ(parse_decimal("1000000000.000001", 6, 1'000'000'000'000'000), std::nullopt);
  EXPECT_EQ(parse_decimal("1000000001", 6, 1'000'000'000'000'000), std::nullopt);
  // The largest value there is, whole and fraction both at their limits.
  EXPECT_EQ(parse_decimal("18446744073709.551615", 6), UINT64_MAX);
  EXPECT_EQ(parse_decimal("18446744073709.551616", 6), std::nullopt);
  EXPECT_EQ(parse_decimal("18446744073710", 6), std::nullopt);
}

}  // namespace
