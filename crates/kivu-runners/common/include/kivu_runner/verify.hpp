// Comparing what came back from the board with a reference computed on the
// host. Every readback of a runner goes through one of these, so that a
// corrupted bit anywhere is reported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "kivu_runner/run_error.hpp"

namespace kivu_runner {

// Nothing when `actual` equals `expected` byte for byte; otherwise the
// failure "<what>: mismatch at byte N: got 0x.., expected 0x.. (K of M
// bytes differ)" (or a size mismatch).
[[nodiscard]] Checked<void> compare_bytes(std::string_view what, std::span<const std::byte> actual,
                                          std::span<const std::byte> expected);

// The same for 32-bit words, reporting the first differing word's index.
[[nodiscard]] Checked<void> compare_words(std::string_view what, std::span<const std::uint32_t> actual,
                                          std::span<const std::uint32_t> expected);

}  // namespace kivu_runner
