#include "host_scenarios.hpp"

#include <chrono>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include <fmt/core.h>

#include "kivu_base/expected.hpp"
#include "kivu_exchange.hpp"
#include "kivu_runner/pattern.hpp"
#include "kivu_runner/verify.hpp"

namespace kivu_host_e2e {

using kivu_runner::Checked;
using kivu_runner::Progress;
using kivu_runtime::Board;

namespace {

// Salts of the data that the host writes and that the device initialises.
constexpr std::uint64_t host_data_salt = 0x686f73742d683264;    // "host-h2d"
constexpr std::uint64_t device_data_salt = 0x6465766963652d69;  // "device-i"

// Bytes between two tiles' ranges of the host buffer, and their value.
constexpr std::size_t guard_bytes = 16;
constexpr std::byte guard_value{0xcd};

// Cycles that the device charges per byte in the runner's compute steps.
constexpr std::uint64_t cycles_per_byte = 2;

// The first transform of the compute relay, on the source tile.
constexpr std::byte first_transform(std::byte value, std::uint64_t offset) noexcept {
  return static_cast<std::byte>((std::to_integer<unsigned>(value) * 5u + 17u + offset) & 0xffu);
}

// The second transform, on the partner tile; depends on the tile it runs on.
constexpr std::byte second_transform(std::byte value, std::uint64_t offset, std::uint16_t tile) noexcept {
  const unsigned v = std::to_integer<unsigned>(value);
  const unsigned rotated = ((v << 3) | (v >> 5)) & 0xffu;
  return static_cast<std::byte>((rotated ^ (tile * 13u + offset)) & 0xffu);
}

std::string where(std::uint16_t tile, const Board& board) {
  const auto physical = board.physical(tile);
  if (!physical) return fmt::format("tile {}", tile);
  return fmt::format("tile {} ({})", tile, kivu_exchange::to_string(kivu_exchange::tile_place(*physical)));
}

Checked<void> h2d(Board& board, const Progress& progress, std::uint16_t tile, std::uint32_t address,
                  std::span<const std::byte> data) {
  const std::string what = fmt::format("h2d {}: {} bytes at {}", where(tile, board), data.size(),
                                       kivu_runner::hex(address));
  auto done = kivu_runner::check(board.h2d(tile, address, data), what);
  if (done) progress.line(what);
  return done;
}

// Reads [address, address + size) of each tile into its own range of one
// host buffer, ranges separated by guard bytes, and compares the whole
// buffer (guards included) with the expected data of each tile.
Checked<void> d2h_into_host_ranges(Board& board, const Progress& progress, const std::vector<std::uint16_t>& tiles,
                                   std::uint32_t address, std::uint32_t size,
                                   const std::vector<std::vector<std::byte>>& expected) {
  const std::size_t stride = std::size_t{size} + guard_bytes;
  std::vector<std::byte> host(tiles.size() * stride, guard_value);
  std::vector<std::byte> reference(host.size(), guard_value);
  for (std::size_t i = 0; i < tiles.size(); ++i) {
    const std::string what = fmt::format("d2h {}: {} bytes from {} into host bytes {}..{}", where(tiles[i], board),
                                         size, kivu_runner::hex(address), i * stride, i * stride + size);
    auto done = kivu_runner::check(board.d2h_into(tiles[i], address, std::span(host).subspan(i * stride, size)), what);
    if (!done) return done;
    progress.line(what);
    std::memcpy(reference.data() + i * stride, expected[i].data(), size);
  }
  // One verdict over every tile's range and the guards between them, so a
  // failure counts everything that differs.
  std::vector<kivu_runner::Readback> readbacks;
  for (std::size_t i = 0; i < tiles.size(); ++i) readbacks.push_back({tiles[i], address, i * stride, size});
  KIVU_RETURN_IF_ERROR(kivu_runner::compare_readback(
      fmt::format("d2h of {} tile(s) into their host ranges", tiles.size()), board, readbacks, host, reference));
  progress.line(fmt::format("d2h of {} tile(s) matches the host reference", tiles.size()));
  return {};
}

// Reads a tile's memory directly (not through the host link) and compares it.
Checked<void> check_tile_memory(Board& board, std::string_view what, std::uint16_t tile, std::uint32_t address,
                                std::span<const std::byte> expected) {
  KIVU_ASSIGN_OR_RETURN(
      const auto memory,
      kivu_runner::check(board.read_tile_memory(tile, address, static_cast<std::uint32_t>(expected.size())),
                         fmt::format("read memory of {}", where(tile, board))));
  return kivu_runner::compare_tile(what, board, tile, address, memory, expected);
}

// A compute step that writes the device pattern of each tile at `address`.
Checked<void> initialise_on_device(Board& board, const Progress& progress, const std::vector<std::uint16_t>& tiles,
                                   std::uint32_t address, std::uint32_t size) {
  kivu_runtime::ComputeStep step{
      .operation = "initialise", .kernel = "pattern", .tiles = tiles, .cycles = std::uint64_t{size} * cycles_per_byte};
  auto report = kivu_runner::run_checked(
      progress, fmt::format("initialise {} bytes at {} on {} tile(s)", size, kivu_runner::hex(address), tiles.size()),
      board.compute(step, [&](kivu_runtime::TileContext& tile) -> std::expected<void, kivu_exchange::ExchangeError> {
        KIVU_ASSIGN_OR_RETURN(const auto bytes, tile.bytes(address, size));
        kivu_runner::fill_pattern(bytes, device_data_salt, tile.logical());
        return {};
      }));
  if (!report) return std::unexpected(report.error());
  return {};
}

// -----------------------------------------------------------------------------

Checked<void> round_trip(Board& board, const HostSettings& settings, const Progress& progress) {
  std::vector<std::vector<std::byte>> data;
  for (const std::uint16_t tile : settings.tiles) {
    data.push_back(kivu_runner::pattern(host_data_salt, tile, settings.bytes));
    if (auto done = h2d(board, progress, tile, settings.address, data.back()); !done) return done;
  }
  if (auto done = d2h_into_host_ranges(board, progress, settings.tiles, settings.address, settings.bytes, data);
      !done) {
    return done;
  }
  for (std::size_t i = 0; i < settings.tiles.size(); ++i) {
    if (auto same = check_tile_memory(board, "tile memory after h2d", settings.tiles[i], settings.address, data[i]);
        !same) {
      return same;
    }
  }
  progress.line(fmt::format("tile memory of {} tile(s) holds what the host wrote", settings.tiles.size()));
  return {};
}

Checked<void> initialized_d2h(Board& board, const HostSettings& settings, const Progress& progress) {
  if (auto done = initialise_on_device(board, progress, settings.tiles, settings.address, settings.bytes); !done) {
    return done;
  }
  progress.line(kivu_runtime::describe(board.sync()));
  std::vector<std::vector<std::byte>> expected;
  for (const std::uint16_t tile : settings.tiles) {
    expected.push_back(kivu_runner::pattern(device_data_salt, tile, settings.bytes));
  }
  return d2h_into_host_ranges(board, progress, settings.tiles, settings.address, settings.bytes, expected);
}

Checked<void> relay(Board& board, const HostSettings& settings, const Progress& progress) {
  const std::uint16_t source = settings.tiles.front();
  const std::uint16_t target = relay_partner(source);
  const std::uint32_t address = settings.address;
  std::vector<std::byte> data;
  if (settings.initialized_relay) {
    if (auto done = initialise_on_device(board, progress, {source}, address, settings.bytes); !done) return done;
    data = kivu_runner::pattern(device_data_salt, source, settings.bytes);
  } else {
    data = kivu_runner::pattern(host_data_salt, source, settings.bytes);
    if (auto done = h2d(board, progress, source, address, data); !done) return done;
  }
  // The source's data is checked before it is sent, so that a value the
  // source corrupted is found on the source, not on the tile it reached.
  if (auto same = check_tile_memory(board, "relay source before the relay", source, address, data); !same) {
    return same;
  }

  kivu_runtime::ExchangePhase phase{.operation = "relay",
                                    .transfers = {{.source = source,
                                                   .source_address = address,
                                                   .size = settings.bytes,
                                                   .receivers = {{.tile = target, .address = address}}}}};
  const auto started = std::chrono::steady_clock::now();
  KIVU_ASSIGN_OR_RETURN(
      const auto report,
      kivu_runner::run_checked(progress, fmt::format("relay {} -> {}", where(source, board), where(target, board)),
                               board.exchange(phase)));
  progress.line(kivu_runtime::describe(board.sync()));
  const auto elapsed = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - started);
  progress.line(fmt::format("timed relay: {} bytes in {} cycles ({:.3f} us at {} MHz), host wall time {:.0f} us",
                            settings.bytes, report.cycles(),
                            static_cast<double>(report.cycles()) * 1e6 / static_cast<double>(kivu_runtime::clock_hz),
                            kivu_runtime::clock_hz / 1'000'000, elapsed.count()));

  if (auto done = d2h_into_host_ranges(board, progress, {target}, address, settings.bytes, {data}); !done) return done;
  return check_tile_memory(board, "relay source after the relay", source, address, data);
}

Checked<void> compute_relay(Board& board, const HostSettings& settings, const Progress& progress) {
  const std::uint16_t source = settings.tiles.front();
  const std::uint16_t target = relay_partner(source);
  const std::uint32_t address = settings.address;
  const std::uint32_t size = settings.bytes;
  const std::vector<std::byte> input = kivu_runner::pattern(host_data_salt, source, size);
  if (auto done = h2d(board, progress, source, address, input); !done) return done;
  // As in the relay: the source's input is checked before it is used.
  if (auto same = check_tile_memory(board, "relay source's input before the relay", source, address, input); !same) {
    return same;
  }

  const auto transform = [&](std::string_view name, std::uint16_t tile, auto function) -> Checked<void> {
    kivu_runtime::ComputeStep step{.operation = std::string(name),
                                   .kernel = "bytes",
                                   .tiles = {tile},
                                   .cycles = std::uint64_t{size} * cycles_per_byte};
    auto report = kivu_runner::run_checked(
        progress, fmt::format("{} on {}", name, where(tile, board)),
        board.compute(step,
                      [&](kivu_runtime::TileContext& context) -> std::expected<void, kivu_exchange::ExchangeError> {
                        KIVU_ASSIGN_OR_RETURN(const auto bytes, context.bytes(address, size));
                        for (std::size_t i = 0; i < bytes.size(); ++i)
                          bytes[i] = function(bytes[i], i, context.logical());
                        return {};
                      }));
    if (!report) return std::unexpected(report.error());
    return {};
  };

  const auto first = [](std::byte value, std::uint64_t offset, std::uint16_t) {
    return first_transform(value, offset);
  };
  const auto second = [](std::byte value, std::uint64_t offset, std::uint16_t tile) {
    return second_transform(value, offset, tile);
  };
  if (auto done = transform("first compute", source, first); !done) return done;
  kivu_runtime::ExchangePhase phase{.operation = "relay",
                                    .transfers = {{.source = source,
                                                   .source_address = address,
                                                   .size = size,
                                                   .receivers = {{.tile = target, .address = address}}}}};
  KIVU_RETURN_IF_ERROR(kivu_runner::run_checked(
      progress, fmt::format("relay {} -> {}", where(source, board), where(target, board)), board.exchange(phase)));
  if (auto done = transform("second compute", target, second); !done) return done;
  progress.line(kivu_runtime::describe(board.sync()));

  std::vector<std::byte> after_first(size);
  std::vector<std::byte> expected(size);
  for (std::size_t i = 0; i < size; ++i) {
    after_first[i] = first_transform(input[i], i);
    expected[i] = second_transform(after_first[i], i, target);
  }
  if (auto done = d2h_into_host_ranges(board, progress, {target}, address, size, {expected}); !done) return done;
  return check_tile_memory(board, "first compute's result on the relay source", source, address, after_first);
}

}  // namespace

Checked<void> run_scenario(Board& board, const HostSettings& settings, const Progress& progress) {
  switch (settings.scenario) {
    case Scenario::RoundTrip: return round_trip(board, settings, progress);
    case Scenario::InitializedD2H: return initialized_d2h(board, settings, progress);
    case Scenario::Relay: return relay(board, settings, progress);
    case Scenario::ComputeRelay: return compute_relay(board, settings, progress);
  }
  return std::unexpected(kivu_runner::RunError::failed("unknown scenario"));
}

}  // namespace kivu_host_e2e
