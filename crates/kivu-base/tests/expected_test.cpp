#include "kivu_base/expected.hpp"

#include <expected>
#include <memory>
#include <string>

#include <gtest/gtest.h>

namespace {

struct Wider {
  Wider(std::string text) : message(std::move(text)) {}
  std::string message;
};

std::expected<int, std::string> number(bool ok) {
  if (!ok) return std::unexpected("no number");
  return 7;
}

std::expected<void, std::string> check(bool ok) {
  if (!ok) return std::unexpected("check failed");
  return {};
}

std::expected<int, Wider> doubled(bool ok) {
  KIVU_ASSIGN_OR_RETURN(const int value, number(ok));
  return 2 * value;
}

std::expected<int, Wider> checked_sum(bool first, bool second) {
  KIVU_RETURN_IF_ERROR(check(first));
  KIVU_ASSIGN_OR_RETURN(auto a, number(second));
  KIVU_ASSIGN_OR_RETURN(auto b, number(true));
  return a + b;
}

std::expected<std::unique_ptr<int>, std::string> boxed() { return std::make_unique<int>(3); }

std::expected<int, std::string> unboxed() {
  KIVU_ASSIGN_OR_RETURN(auto box, boxed());
  return *box;
}

TEST(Expected, AssignOrReturnGivesTheValueOrPassesTheErrorConvertedToTheCallersType) {
  EXPECT_EQ(doubled(true).value(), 14);
  EXPECT_EQ(doubled(false).error().message, "no number");
}

TEST(Expected, ReturnIfErrorStopsAtTheFirstFailureAndTwoAssignmentsShareAScope) {
  EXPECT_EQ(checked_sum(true, true).value(), 14);
  EXPECT_EQ(checked_sum(false, false).error().message, "check failed");
  EXPECT_EQ(checked_sum(true, false).error().message, "no number");
}

TEST(Expected, AssignOrReturnMovesAValueThatCannotBeCopied) { EXPECT_EQ(unboxed().value(), 3); }

}  // namespace
