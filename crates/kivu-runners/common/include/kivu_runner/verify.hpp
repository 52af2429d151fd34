// Comparing what came back from the board with a reference computed on the
// host. Every readback of a runner goes through one of these, so that a
// corrupted bit anywhere is reported, and reported where it was found: the
// board, the tile (logical, physical, row and position), the SRAM address,
// the value read and the value expected, and how many values differ on how
// many tiles (MismatchLocation, carried by the RunError).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <span>
#include <string_view>
#include <vector>

#include "kivu_runner/run_error.hpp"
#include "kivu_runtime/board.hpp"

namespace kivu_runner {

// A stretch of a host buffer read from a tile: `size` bytes at `offset` of
// the buffer came from SRAM address `address` of logical tile `tile`.
struct Readback {
  std::uint16_t tile = 0;
  std::uint32_t address = 0;
  std::size_t offset = 0;
  std::size_t size = 0;
};

// The differing values of one check, gathered over any number of readbacks,
// and the first of them that lies on a tile.
class MismatchTally {
public:
  explicit MismatchTally(const kivu_runtime::Board& board) : board_(board) {}

  // A value of `width` bytes (1 to 8) read from `address` of logical tile
  // `tile` is `actual`, not `expected`.
  void on_tile(std::uint16_t tile, std::uint32_t address, std::uint64_t actual, std::uint64_t expected, unsigned width);
  // A value that differs but was not read from a tile (a guard byte of the
  // host buffer, say).
  void off_tile() { ++values_; }
  // `count` more values checked (for the failure's "N of M").
  void checked(std::size_t count) { checked_ += count; }

  [[nodiscard]] bool any() const noexcept { return values_ != 0; }
  // Nothing when no value differed; otherwise the failure "<what>: ...",
  // with the location of the first value on a tile (or, when none was on a
  // tile, saying that the failure is not tied to one).
  [[nodiscard]] Checked<void> verdict(std::string_view what) const;

private:
  const kivu_runtime::Board& board_;
  std::uint64_t values_ = 0;
  std::uint64_t checked_ = 0;
  std::set<std::uint16_t> tiles_;
  std::optional<MismatchLocation> first_;
};

// Compares `actual` with `expected` as little-endian values of `width` bytes
// (1, 2, 4 or 8), every value before the verdict. Values inside one of
// `readbacks` are placed on their tile; others (guard bytes) count as
// differing off any tile. `same(i)`, when given, decides whether value i
// matches (a tolerance); otherwise values match when equal. Sizes that
// differ are a failure not tied to a tile.
[[nodiscard]] Checked<void> compare_readback(std::string_view what, const kivu_runtime::Board& board,
                                             std::span<const Readback> readbacks, std::span<const std::byte> actual,
                                             std::span<const std::byte> expected, unsigned width = 1,
                                             const std::function<bool(std::size_t)>& same = {});

// compare_readback of one tile's readback: `actual` read from `address` of
// logical tile `tile`.
[[nodiscard]] Checked<void> compare_tile(std::string_view what, const kivu_runtime::Board& board, std::uint16_t tile,
                                         std::uint32_t address, std::span<const std::byte> actual,
                                         std::span<const std::byte> expected, unsigned width = 1);

// What one tile should hold before its data goes into a result built from
// several tiles (an exchange, a reduction, a broadcast operand).
struct Contribution {
  std::uint16_t tile = 0;
  std::uint32_t address = 0;
  std::vector<std::byte> expected;
};

// Reads every contribution back (D2H) and compares it with what it should
// be, all before the verdict. A result built from several tiles carries a
// corrupted value on to tiles that never held it; checking each tile's own
// part before it is combined names the tile that corrupted it (the tile
// whose readback differs) instead of the tile where the combined result is
// read. Errors of the board are failures "d2h of tile N (<what>) failed".
[[nodiscard]] Checked<void> check_contributions(std::string_view what, kivu_runtime::Board& board,
                                                std::span<const Contribution> contributions, unsigned width = 1);

}  // namespace kivu_runner
