#include "kivu_host/settings.hpp"

#include <cstdlib>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "kivu_host/board_identity.hpp"

namespace {

using namespace kivu_host;

TEST(Environment, RejectsASingleDigitAboveASmallBound) {
  EXPECT_FALSE(parse_unsigned_decimal("KIVU_X", "4", 3));
  EXPECT_FALSE(parse_unsigned_decimal("KIVU_X", "9", 0));
  EXPECT_EQ(parse_unsigned_decimal("KIVU_X", "3", 3), 3u);
  EXPECT_EQ(parse_unsigned_decimal("KIVU_X", "0", 0), 0u);
  EXPECT_FALSE(parse_unsigned_decimal("KIVU_X", "18446744073709551616", UINT64_MAX));
}

TEST(Environment, ReadsTheRunsBoardAmongTheHostsBoards) {
  EXPECT_EQ(parse_board_identity(std::nullopt, std::nullopt), (BoardIdentity{0, 1}));
  EXPECT_EQ(parse_board_identity("4", "3"), (BoardIdentity{3, 4}));
  EXPECT_EQ(parse_board_identity("64", "63"), (BoardIdentity{63, 64}));
  for (const char* bad : {"0", "65", "-1", "4 ", "0x4"}) {
    const auto boards = parse_board_identity(bad, std::nullopt);
    ASSERT_FALSE(boards) << bad;
    EXPECT_EQ(boards.error().message(), std::string("invalid KIVU_SIM_BOARDS value \"") + bad +
                                            "\": expected an unsigned decimal number from 1 to 64");
  }
  EXPECT_EQ(parse_board_identity(std::nullopt, "1").error().message(),
            "invalid KIVU_BOARD value \"1\": expected a board of this host: 0 (KIVU_SIM_BOARDS is 1)");
  EXPECT_EQ(parse_board_identity("4", "4").error().message(),
            "invalid KIVU_BOARD value \"4\": expected a board of this host: 0 to 3 (KIVU_SIM_BOARDS is 4)");
  EXPECT_FALSE(parse_board_identity("4", "-0"));
}

TEST(Environment, NamesEachBoardsLockInTheAbstractSocketNamespace) {
  EXPECT_EQ(board_lock_name(0), "kivu-board-0");
  EXPECT_EQ(board_lock_name(63), "kivu-board-63");
  EXPECT_EQ(board_lock_name(2, "/tmp/sandbox/lock"), "/tmp/sandbox/lock-2");
  EXPECT_EQ(board_lock_display(board_lock_name(1)), "@kivu-board-1");
}

TEST(Environment, TakesAnEmptyBoardSettingAsUnsetButKeepsItsPlainValue) {
  const char* name = "KIVU_HOST_TEST_EMPTY_SETTING";
  ASSERT_EQ(::setenv(name, "", 1), 0);
  EXPECT_EQ(environment_value(name), std::optional<std::string>(""));
  EXPECT_EQ(board_setting_value(name), std::nullopt);
  EXPECT_EQ(setting_view(board_setting_value(name)), std::nullopt);
  ASSERT_EQ(::setenv(name, "7", 1), 0);
  const auto value = board_setting_value(name);
  EXPECT_EQ(setting_view(value), std::optional<std::string_view>("7"));
  ASSERT_EQ(::unsetenv(name), 0);
  EXPECT_EQ(environment_value(name), std::nullopt);
}

}  // namespace
