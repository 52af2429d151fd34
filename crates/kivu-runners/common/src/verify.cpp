#include "kivu_runner/verify.hpp"

#include <fmt/core.h>

namespace kivu_runner {

namespace {

template <typename T>
Checked<void> compare(std::string_view what, std::string_view unit, std::span<const T> actual,
                      std::span<const T> expected, int digits) {
  if (actual.size() != expected.size()) {
    return std::unexpected(
        RunError::failed(fmt::format("{}: got {} {}s, expected {}", what, actual.size(), unit, expected.size())));
  }
  std::size_t first = actual.size();
  std::size_t differing = 0;
  for (std::size_t i = 0; i < actual.size(); ++i) {
    if (actual[i] == expected[i]) continue;
    if (differing++ == 0) first = i;
  }
  if (differing == 0) return {};
  return std::unexpected(RunError::failed(
      fmt::format("{}: mismatch at {} {}: got {:#0{}x}, expected {:#0{}x} ({} of {} {}s differ)", what, unit, first,
                  static_cast<std::uint64_t>(actual[first]), digits + 2, static_cast<std::uint64_t>(expected[first]),
                  digits + 2, differing, actual.size(), unit)));
}

}  // namespace

Checked<void> compare_bytes(std::string_view what, std::span<const std::byte> actual,
                            std::span<const std::byte> expected) {
  return compare(what, "byte", actual, expected, 2);
}

Checked<void> compare_words(std::string_view what, std::span<const std::uint32_t> actual,
                            std::span<const std::uint32_t> expected) {
  return compare(what, "word", actual, expected, 8);
}

}  // namespace kivu_runner
