#include "kivu_runner/verify.hpp"

#include <cstring>

#include <fmt/core.h>

namespace kivu_runner {

namespace {

std::uint64_t value_at(std::span<const std::byte> bytes, std::size_t index, unsigned width) {
  std::uint64_t value = 0;
  for (unsigned b = 0; b < width; ++b) {
    value |= std::uint64_t{std::to_integer<std::uint8_t>(bytes[index * width + b])} << (8 * b);
  }
  return value;
}

std::string plural(std::uint64_t count, std::string_view noun) {
  return fmt::format("{} {}{}", count, noun, count == 1 ? "" : "s");
}

}  // namespace

void MismatchTally::on_tile(std::uint16_t tile, std::uint32_t address, std::uint64_t actual, std::uint64_t expected,
                            unsigned width) {
  ++values_;
  tiles_.insert(tile);
  if (first_) return;
  MismatchLocation location;
  location.board = board_.options().identity.board;
  location.tile = tile;
  location.physical_tile = board_.physical(tile).value_or(0);
  location.address = address;
  location.actual = actual;
  location.expected = expected;
  location.width = width;
  first_ = location;
}

Checked<void> MismatchTally::verdict(std::string_view what) const {
  if (values_ == 0) return {};
  const std::string counts = fmt::format("{} of {} differ", values_, plural(checked_, "value"));
  if (!first_) {
    return std::unexpected(RunError::failed(
        fmt::format("{}: mismatch not tied to one tile: {}, none of them read from a tile", what, counts)));
  }
  MismatchLocation location = *first_;
  location.values = values_;
  location.tiles = tiles_.size();
  return std::unexpected(RunError::mismatch(
      fmt::format("{}: mismatch {}; {}, on {}", what, describe(location), counts, plural(location.tiles, "tile")),
      location));
}

Checked<void> compare_readback(std::string_view what, const kivu_runtime::Board& board,
                               std::span<const Readback> readbacks, std::span<const std::byte> actual,
                               std::span<const std::byte> expected, unsigned width,
                               const std::function<bool(std::size_t)>& same) {
  if (actual.size() != expected.size()) {
    return std::unexpected(RunError::failed(fmt::format(
        "{}: got {} bytes, expected {} (a wrong count, not tied to one tile)", what, actual.size(), expected.size())));
  }
  MismatchTally tally(board);
  const std::size_t values = actual.size() / width;
  tally.checked(values);
  for (std::size_t i = 0; i < values; ++i) {
    const bool matches = same ? same(i)
                              : std::memcmp(actual.data() + i * width, expected.data() + i * width, width) == 0;
    if (matches) continue;
    const std::size_t at = i * width;
    const Readback* from = nullptr;
    for (const Readback& readback : readbacks) {
      if (at >= readback.offset && at < readback.offset + readback.size) {
        from = &readback;
        break;
      }
    }
    if (from == nullptr) {
      tally.off_tile();
    } else {
      tally.on_tile(from->tile, from->address + static_cast<std::uint32_t>(at - from->offset),
                    value_at(actual, i, width), value_at(expected, i, width), width);
    }
  }
  return tally.verdict(what);
}

Checked<void> compare_tile(std::string_view what, const kivu_runtime::Board& board, std::uint16_t tile,
                           std::uint32_t address, std::span<const std::byte> actual,
                           std::span<const std::byte> expected, unsigned width) {
  const Readback readback{tile, address, 0, actual.size()};
  return compare_readback(what, board, std::span(&readback, 1), actual, expected, width);
}

Checked<void> check_contributions(std::string_view what, kivu_runtime::Board& board,
                                  std::span<const Contribution> contributions, unsigned width) {
  std::size_t total = 0;
  for (const Contribution& contribution : contributions) total += contribution.expected.size();
  std::vector<std::byte> host(total);
  std::vector<std::byte> reference;
  reference.reserve(total);
  std::vector<Readback> readbacks;
  readbacks.reserve(contributions.size());
  std::size_t at = 0;
  for (const Contribution& contribution : contributions) {
    const std::size_t size = contribution.expected.size();
    auto read = check(board.d2h_into(contribution.tile, contribution.address, std::span(host).subspan(at, size)),
                      fmt::format("d2h of tile {} ({})", contribution.tile, what));
    if (!read) return read;
    readbacks.push_back({contribution.tile, contribution.address, at, size});
    reference.insert(reference.end(), contribution.expected.begin(), contribution.expected.end());
    at += size;
  }
  return compare_readback(what, board, readbacks, host, reference, width);
}

}  // namespace kivu_runner
