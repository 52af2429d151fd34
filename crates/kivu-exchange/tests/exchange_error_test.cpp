#include <sstream>

#include <gtest/gtest.h>

#include "kivu_exchange.hpp"

using kivu_exchange::ExchangeError;

namespace {
std::string debug(const ExchangeError& error) {
  std::ostringstream out;
  out << error;
  return out.str();
}

TEST(ExchangeErrorDebugForm, NamesTheVariantWithItsPayload) {
  EXPECT_EQ(debug(ExchangeError::Tile{1472}), "Tile(1472)");
  EXPECT_EQ(debug(ExchangeError::DuplicateTile{}), "DuplicateTile");
  EXPECT_EQ(debug(ExchangeError::Count{3}), "Count(3)");
  EXPECT_EQ(debug(ExchangeError::ReceiverSet{}), "ReceiverSet");
  EXPECT_EQ(debug(ExchangeError::Address{4096}), "Address(4096)");
  EXPECT_EQ(debug(ExchangeError::HostPacket{}), "HostPacket");
  EXPECT_EQ(debug(ExchangeError::Schedule{"overlapping writes"}), "Schedule(\"overlapping writes\")");
}

TEST(ExchangeErrorDebugForm, EscapesTheScheduleText) {
  EXPECT_EQ(debug(ExchangeError::Schedule{"a \"b\"\\c\nd\te\x01"}), R"(Schedule("a \"b\"\\c\nd\te\u{1}"))");
}

TEST(ExchangeError, KeepsTheTagOrder) {
  EXPECT_EQ(ExchangeError(ExchangeError::Tile{0}).tag(), 0u);
  EXPECT_EQ(ExchangeError(ExchangeError::HostPacket{}).tag(), 6u);
  EXPECT_TRUE(ExchangeError(ExchangeError::ReceiverSet{}).is<ExchangeError::ReceiverSet>());
  EXPECT_NE(ExchangeError(ExchangeError::Count{1}), ExchangeError(ExchangeError::Count{2}));
}

}  // namespace
