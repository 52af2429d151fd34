#include "graphs.hpp"

#include <array>
#include <cstring>
#include <functional>
#include <numeric>
#include <span>
#include <string>
#include <vector>

#include <fmt/core.h>

#include "compiled_add.hpp"
#include "kivu_base/expected.hpp"
#include "kivu_runner/pattern.hpp"
#include "kivu_runner/verify.hpp"

namespace kivu_hardware_e2e {

using kivu_exchange::ExchangeError;
using kivu_runner::Checked;
using kivu_runner::Progress;
using kivu_runtime::Board;
using kivu_runtime::ExchangePhase;
using kivu_runtime::Receiver;
using kivu_runtime::TileContext;
using kivu_runtime::Transfer;

namespace {

constexpr std::uint16_t tiles = kivu_runtime::tile_count;

// Tile-memory areas used by the graphs.
constexpr std::uint32_t buffer_address = 0x0000;
constexpr std::uint32_t second_address = 0x4000;

constexpr std::uint64_t host_salt = 0x6772617068686f73;    // data the host writes
constexpr std::uint64_t device_salt = 0x6772617068646576;  // data the tiles initialise

std::vector<std::uint16_t> all_tiles() {
  std::vector<std::uint16_t> numbers(tiles);
  std::iota(numbers.begin(), numbers.end(), std::uint16_t{0});
  return numbers;
}

// The 32-bit words of a tile's device pattern.
std::vector<std::uint32_t> pattern_words(std::uint16_t tile, std::size_t count) {
  const auto bytes = kivu_runner::pattern(device_salt, tile, count * 4);
  std::vector<std::uint32_t> words(count);
  std::memcpy(words.data(), bytes.data(), bytes.size());
  return words;
}

std::vector<std::byte> as_bytes(std::span<const std::uint32_t> words) {
  std::vector<std::byte> bytes(words.size_bytes());
  std::memcpy(bytes.data(), words.data(), bytes.size());
  return bytes;
}

Checked<void> step_done(Checked<kivu_runtime::StepReport> report) {
  KIVU_RETURN_IF_ERROR(std::move(report));
  return {};
}

void sync(Board& board, const Progress& progress) { progress.line(kivu_runtime::describe(board.sync())); }

// A compute step on `on` that writes each tile's device pattern.
Checked<void> initialise(Board& board, const Progress& progress, const std::vector<std::uint16_t>& on,
                         std::uint32_t address, std::uint32_t size) {
  kivu_runtime::ComputeStep step{.operation = "initialise", .kernel = "pattern", .tiles = on, .cycles = size / 4 + 1};
  return step_done(kivu_runner::run_checked(
      progress, fmt::format("initialise {} bytes at {} on {} tiles", size, kivu_runner::hex(address), on.size()),
      board.compute(step, [&](TileContext& tile) -> std::expected<void, ExchangeError> {
        KIVU_ASSIGN_OR_RETURN(const auto bytes, tile.bytes(address, size));
        kivu_runner::fill_pattern(bytes, device_salt, tile.logical());
        return {};
      })));
}

// Reads [address, address + size) of every tile of `on` back (D2H) and
// compares each tile's part with `expected(tile)`.
Checked<void> verify_tiles(Board& board, const Progress& progress, std::string_view what,
                           const std::vector<std::uint16_t>& on, std::uint32_t address, std::uint32_t size,
                           const std::function<std::vector<std::byte>(std::uint16_t)>& expected) {
  std::vector<kivu_runner::Contribution> parts;
  parts.reserve(on.size());
  for (const std::uint16_t tile : on) parts.push_back({tile, address, expected(tile)});
  if (auto same = kivu_runner::check_contributions(what, board, parts); !same) return same;
  progress.line(fmt::format("d2h {} bytes at {} from {} tiles matches the host reference ({})", size,
                            kivu_runner::hex(address), on.size(), what));
  return {};
}

// The check before an exchange: every tile's own data, read back before it
// is sent on or added up. A value corrupted on its way into a combined
// result (a sum, a tile's received buffer) would otherwise be found on the
// tile where the result is read, not on the tile that corrupted it.
Checked<void> verify_own_data(Board& board, const Progress& progress, std::uint32_t size,
                              const std::function<std::vector<std::byte>(std::uint16_t)>& expected) {
  return verify_tiles(board, progress, "each tile's own data before the exchange", all_tiles(), buffer_address, size,
                      expected);
}

std::vector<std::byte> own_pattern(std::uint16_t tile, std::uint32_t size) {
  return kivu_runner::pattern(device_salt, tile, size);
}

// A permutation of the tiles: t -> (multiplier t + offset) mod 1472, with
// the multiplier odd and not a multiple of 23, so coprime to 1472.
struct Permutation {
  std::uint32_t multiplier;
  std::uint32_t offset;
  [[nodiscard]] std::uint16_t operator()(std::uint16_t tile) const noexcept {
    return static_cast<std::uint16_t>((multiplier * tile + offset) % tiles);
  }
  // The tile that maps to each tile.
  [[nodiscard]] std::vector<std::uint16_t> inverse() const {
    std::vector<std::uint16_t> from(tiles);
    for (std::uint16_t t = 0; t < tiles; ++t) from[(*this)(t)] = t;
    return from;
  }
};

// One phase in which every tile sends [buffer_address, +size) to
// permutation(tile) at second_address.
ExchangePhase permutation_phase(Permutation permutation, std::uint32_t size, std::string kernel) {
  ExchangePhase phase{.operation = "exchange", .kernel = std::move(kernel)};
  for (std::uint16_t t = 0; t < tiles; ++t) {
    phase.transfers.push_back(Transfer{.source = t,
                                       .source_address = buffer_address,
                                       .size = size,
                                       .receivers = {{.tile = permutation(t), .address = second_address}}});
  }
  return phase;
}

// =============================================================================
// Graphs

Checked<void> fanout(Board& board, const Progress& progress) {
  constexpr std::uint32_t size = 1024;
  constexpr std::uint16_t source = 0;
  const auto data = kivu_runner::pattern(host_salt, source, size);
  if (auto written = kivu_runner::check(board.h2d(source, buffer_address, data), "h2d to the source tile"); !written) {
    return written;
  }
  progress.line(fmt::format("h2d tile {}: {} bytes at {}", source, size, kivu_runner::hex(buffer_address)));

  Transfer multicast{.source = source, .source_address = buffer_address, .size = size};
  for (std::uint16_t t = 0; t < tiles; ++t) {
    if (t != source) multicast.receivers.push_back(Receiver{t, buffer_address});
  }
  ExchangePhase phase{.operation = "exchange", .kernel = "fanout", .transfers = {multicast}};
  if (auto done = step_done(
          kivu_runner::run_checked(progress, "multicast from tile 0 to all tiles", board.exchange(phase)));
      !done) {
    return done;
  }
  sync(board, progress);
  return verify_tiles(board, progress, "the multicast buffer", all_tiles(), buffer_address, size,
                      [&](std::uint16_t) { return data; });
}

Checked<void> reduction(Board& board, const Progress& progress) {
  constexpr std::uint32_t words = 64;
  constexpr std::uint32_t size = words * 4;
  constexpr std::uint32_t scratch_address = second_address;
  if (auto done = initialise(board, progress, all_tiles(), buffer_address, size); !done) return done;
  sync(board, progress);
  if (auto done = verify_own_data(board, progress, size, [&](std::uint16_t t) { return own_pattern(t, size); });
      !done) {
    return done;
  }

  unsigned level = 0;
  for (std::uint32_t stride = 1; stride < tiles; stride *= 2, ++level) {
    ExchangePhase phase{.operation = "exchange", .kernel = "reduction level " + std::to_string(level)};
    std::vector<std::uint16_t> receivers;
    for (std::uint32_t t = 0; t + stride < tiles; t += 2 * stride) {
      phase.transfers.push_back(
          Transfer{.source = static_cast<std::uint16_t>(t + stride),
                   .source_address = buffer_address,
                   .size = size,
                   .receivers = {{.tile = static_cast<std::uint16_t>(t), .address = scratch_address}}});
      receivers.push_back(static_cast<std::uint16_t>(t));
    }
    if (auto done = step_done(kivu_runner::run_checked(
            progress, fmt::format("reduction level {}: {} partial sums sent", level, receivers.size()),
            board.exchange(phase)));
        !done) {
      return done;
    }
    kivu_runtime::ComputeStep add{
        .operation = "compute", .kernel = "add partial sums", .tiles = receivers, .cycles = words};
    if (auto done = step_done(kivu_runner::run_checked(
            progress, fmt::format("reduction level {}: add on {} tiles", level, receivers.size()),
            board.compute(add,
                          [&](TileContext& tile) -> std::expected<void, ExchangeError> {
                            KIVU_ASSIGN_OR_RETURN(const auto sum, tile.array<std::uint32_t>(buffer_address, words));
                            KIVU_ASSIGN_OR_RETURN(const auto part, tile.array<std::uint32_t>(scratch_address, words));
                            for (std::uint32_t k = 0; k < words; ++k) sum[k] += part[k];
                            return {};
                          })));
        !done) {
      return done;
    }
    sync(board, progress);
  }

  std::vector<std::uint32_t> total(words, 0);
  for (std::uint16_t t = 0; t < tiles; ++t) {
    const auto own = pattern_words(t, words);
    for (std::uint32_t k = 0; k < words; ++k) total[k] += own[k];
  }
  return verify_tiles(board, progress, "the sum of all tiles' words", {0}, buffer_address, size,
                      [&](std::uint16_t) { return as_bytes(total); });
}

Checked<void> permutation(Board& board, const Progress& progress) {
  constexpr std::uint32_t size = 512;
  constexpr Permutation permute{577, 131};
  if (auto done = initialise(board, progress, all_tiles(), buffer_address, size); !done) return done;
  if (auto done = verify_own_data(board, progress, size, [&](std::uint16_t t) { return own_pattern(t, size); });
      !done) {
    return done;
  }
  if (auto done = step_done(kivu_runner::run_checked(progress, "every tile t sends to tile (577 t + 131) mod 1472",
                                                     board.exchange(permutation_phase(permute, size, "permutation"))));
      !done) {
    return done;
  }
  sync(board, progress);
  const auto sender = permute.inverse();
  return verify_tiles(board, progress, "the permuted buffers", all_tiles(), second_address, size,
                      [&](std::uint16_t t) { return kivu_runner::pattern(device_salt, sender[t], size); });
}

Checked<void> reduction_permutation(Board& board, const Progress& progress) {
  constexpr std::uint32_t words = 16;
  constexpr std::uint32_t size = words * 4;
  constexpr Permutation shift{1, 611};
  const auto sparse = [](std::uint16_t t) { return t % 8 == 5; };
  if (auto done = initialise(board, progress, all_tiles(), buffer_address, size); !done) return done;

  std::vector<std::uint16_t> reducing;
  for (std::uint16_t t = 0; t < tiles; ++t) {
    if (sparse(t)) reducing.push_back(t);
  }
  kivu_runtime::ComputeStep reduce{.operation = "compute", .kernel = "prefix sum", .tiles = reducing, .cycles = words};
  if (auto done = step_done(kivu_runner::run_checked(
          progress, fmt::format("prefix-sum reduction on {} of {} tiles", reducing.size(), tiles),
          board.compute(reduce,
                        [&](TileContext& tile) -> std::expected<void, ExchangeError> {
                          KIVU_ASSIGN_OR_RETURN(const auto values, tile.array<std::uint32_t>(buffer_address, words));
                          std::inclusive_scan(values.begin(), values.end(), values.begin());
                          return {};
                        })));
      !done) {
    return done;
  }
  sync(board, progress);
  const auto own_words = [&](std::uint16_t t) {
    auto values = pattern_words(t, words);
    if (sparse(t)) std::inclusive_scan(values.begin(), values.end(), values.begin());
    return as_bytes(values);
  };
  if (auto done = verify_own_data(board, progress, size, own_words); !done) return done;
  if (auto done = step_done(kivu_runner::run_checked(progress, "every tile t sends to tile (t + 611) mod 1472",
                                                     board.exchange(permutation_phase(shift, size, "shift"))));
      !done) {
    return done;
  }
  sync(board, progress);
  const auto sender = shift.inverse();
  return verify_tiles(board, progress, "the sent words", all_tiles(), second_address, size,
                      [&](std::uint16_t t) { return own_words(sender[t]); });
}

Checked<void> multicast(Board& board, const Progress& progress) {
  constexpr std::uint32_t size = 256;
  constexpr std::uint16_t source = 0;
  if (auto done = initialise(board, progress, all_tiles(), buffer_address, size); !done) return done;
  sync(board, progress);
  if (auto done = verify_own_data(board, progress, size, [&](std::uint16_t t) { return own_pattern(t, size); });
      !done) {
    return done;
  }

  // Tile 0 overwrites every odd tile's buffer; in the same phase each odd
  // tile sends that buffer on to the even tile before it.
  Transfer broadcast{.source = source, .source_address = buffer_address, .size = size};
  ExchangePhase phase{.operation = "exchange", .kernel = "multicast with sending receivers"};
  for (std::uint16_t t = 1; t < tiles; t += 2) {
    broadcast.receivers.push_back(Receiver{t, buffer_address});
    phase.transfers.push_back(
        Transfer{.source = t,
                 .source_address = buffer_address,
                 .size = size,
                 .receivers = {{.tile = static_cast<std::uint16_t>(t - 1), .address = second_address}}});
  }
  phase.transfers.insert(phase.transfers.begin(), broadcast);
  if (auto done = step_done(kivu_runner::run_checked(
          progress, fmt::format("tile 0 multicasts to {} odd tiles, which send in the same phase", tiles / 2),
          board.exchange(phase)));
      !done) {
    return done;
  }
  sync(board, progress);

  std::vector<std::uint16_t> odd;
  std::vector<std::uint16_t> even;
  for (std::uint16_t t = 0; t < tiles; ++t) (t % 2 == 1 ? odd : even).push_back(t);
  const auto from_source = kivu_runner::pattern(device_salt, source, size);
  if (auto done = verify_tiles(board, progress, "the multicast data", odd, buffer_address, size,
                               [&](std::uint16_t) { return from_source; });
      !done) {
    return done;
  }
  if (auto done = verify_tiles(
          board, progress, "the odd tiles' data from before the phase", even, second_address, size,
          [&](std::uint16_t t) { return kivu_runner::pattern(device_salt, static_cast<std::uint16_t>(t + 1), size); });
      !done) {
    return done;
  }
  return verify_tiles(board, progress, "the even tiles' own data", even, buffer_address, size,
                      [&](std::uint16_t t) { return kivu_runner::pattern(device_salt, t, size); });
}

}  // namespace

GraphFunction find_graph(std::string_view name) {
  struct Entry {
    std::string_view name;
    GraphFunction function;
  };
  static constexpr std::array graphs{
      Entry{"fanout", fanout},           Entry{"reduction", reduction},
      Entry{"permutation", permutation}, Entry{"reduction-permutation", reduction_permutation},
      Entry{"multicast", multicast},     Entry{"compiler-segmented-add", run_compiled_add},
  };
  for (const Entry& entry : graphs) {
    if (entry.name == name) return entry.function;
  }
  return nullptr;
}

}  // namespace kivu_hardware_e2e
