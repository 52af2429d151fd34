// Parsing of the simulated board's own environment variables (see
// environment.hpp, host_write_jitter.hpp and fault_injection.hpp).
#include "kivu_runtime/environment.hpp"

#include <algorithm>
#include <charconv>
#include <random>

#include "kivu_base/expected.hpp"
#include "kivu_base/number.hpp"
#include "kivu_runtime/board_constants.hpp"
#include "kivu_runtime/fault_injection.hpp"
#include "kivu_runtime/host_write_jitter.hpp"

namespace kivu_runtime {

using kivu_host::board_setting_value;
using kivu_host::setting_view;

// =============================================================================
// Board identity

std::string describe_board(const kivu_host::BoardIdentity& identity) {
  return "board " + std::to_string(identity.board) + " (simulated, " + std::to_string(tile_count) + " tiles)";
}

// =============================================================================
// Host-write jitter

std::expected<HostWriteJitter, kivu_host::EnvironmentError> parse_host_write_jitter(
    std::optional<std::string_view> max_us, std::optional<std::string_view> seed) {
  HostWriteJitter jitter;
  if (max_us) {
    KIVU_ASSIGN_OR_RETURN(const auto parsed, kivu_host::parse_unsigned_decimal(host_write_jitter_max_us_variable,
                                                                               *max_us, max_host_write_jitter_us));
    jitter.max_us = static_cast<std::uint32_t>(parsed);
  }
  if (seed) {
    KIVU_ASSIGN_OR_RETURN(jitter.seed, kivu_host::parse_unsigned_decimal(host_write_jitter_seed_variable, *seed));
  }
  return jitter;
}

std::expected<HostWriteJitter, kivu_host::EnvironmentError> host_write_jitter_from_environment() {
  return parse_host_write_jitter(setting_view(board_setting_value(host_write_jitter_max_us_variable)),
                                 setting_view(board_setting_value(host_write_jitter_seed_variable)));
}

// =============================================================================
// Fault injection

std::expected<bool, kivu_host::EnvironmentError> parse_sim_fault(std::optional<std::string_view> value) {
  if (!value || *value == "0") return false;
  if (*value == "1") return true;
  return std::unexpected(kivu_host::EnvironmentError{sim_fault_variable, std::string(*value), "\"0\" or \"1\""});
}

std::expected<bool, kivu_host::EnvironmentError> parse_sim_fault_on_board(std::optional<std::string_view> fault,
                                                                          std::optional<std::string_view> fault_board,
                                                                          const kivu_host::BoardIdentity& identity) {
  KIVU_ASSIGN_OR_RETURN(const bool everywhere, parse_sim_fault(fault));
  if (!fault_board) return everywhere;
  KIVU_ASSIGN_OR_RETURN(const auto board,
                        kivu_host::parse_board_number(sim_fault_board_variable, fault_board, identity.boards));
  return everywhere || board == identity.board;
}

std::expected<bool, kivu_host::EnvironmentError> sim_fault_from_environment(const kivu_host::BoardIdentity& identity) {
  return parse_sim_fault_on_board(setting_view(board_setting_value(sim_fault_variable)),
                                  setting_view(board_setting_value(sim_fault_board_variable)), identity);
}

// =============================================================================
// Intermittently bad tiles

namespace {

// Digits with an optional fraction, at most 1: "0", "0.25", "1", "1.0".
std::optional<double> parse_probability(std::string_view text) {
  const auto point = text.find('.');
  const std::string_view whole = text.substr(0, point);
  const std::string_view fraction = point == std::string_view::npos ? std::string_view{} : text.substr(point + 1);
  const auto digits = [](std::string_view part) {
    return !part.empty() && std::ranges::all_of(part, [](char c) { return c >= '0' && c <= '9'; });
  };
  if (!digits(whole) || (point != std::string_view::npos && !digits(fraction))) return std::nullopt;
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size() || value > 1.0) return std::nullopt;
  return value;
}

}  // namespace

std::expected<std::vector<FaultyTile>, kivu_host::EnvironmentError> parse_sim_fault_tiles(
    std::optional<std::string_view> value, const kivu_host::BoardIdentity& identity) {
  std::vector<FaultyTile> entries;
  if (!value) return entries;
  const auto bad = [&](std::string_view entry, const std::string& problem) {
    return std::unexpected(kivu_host::EnvironmentError{
        sim_fault_tile_variable, std::string(*value),
        "BOARD:TILE:PROBABILITY entries separated by \",\"; entry \"" + std::string(entry) + "\" " + problem});
  };
  std::string_view rest = *value;
  while (true) {
    const std::size_t comma = rest.find(',');
    const std::string_view entry = rest.substr(0, comma);
    const std::size_t first = entry.find(':');
    const std::size_t second = first == std::string_view::npos ? first : entry.find(':', first + 1);
    if (second == std::string_view::npos || entry.find(':', second + 1) != std::string_view::npos) {
      return bad(entry, "is not three fields separated by \":\"");
    }
    const std::string_view board_text = entry.substr(0, first);
    const std::string_view tile_text = entry.substr(first + 1, second - first - 1);
    const std::string_view probability_text = entry.substr(second + 1);
    const auto board = kivu_base::parse_digits(board_text, 10, UINT32_MAX);
    if (!board) return bad(entry, "has a board that is not an unsigned decimal number");
    if (*board >= identity.boards) {
      return bad(entry, "names a board the host lacks; its boards are " + kivu_host::host_boards_text(identity.boards));
    }
    const auto tile = kivu_base::parse_digits(tile_text, 10);
    if (!tile) return bad(entry, "has a tile that is not an unsigned decimal number");
    if (*tile >= tile_count) return bad(entry, "has a tile not below " + std::to_string(tile_count));
    const auto probability = parse_probability(probability_text);
    if (!probability) return bad(entry, "has a probability that is not a decimal number from 0 to 1");
    const FaultyTile parsed{static_cast<std::uint32_t>(*board), static_cast<std::uint16_t>(*tile), *probability};
    if (std::ranges::any_of(entries,
                            [&](const FaultyTile& e) { return e.board == parsed.board && e.tile == parsed.tile; })) {
      return bad(entry, "repeats a board and tile named before");
    }
    entries.push_back(parsed);
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return entries;
}

std::vector<std::uint16_t> draw_faulty_tiles(const std::vector<FaultyTile>& entries, std::uint32_t board,
                                             std::uint64_t seed) {
  // Drawn with the 64-bit Mersenne twister, whose output the standard fixes,
  // and turned into [0, 1) by hand, so a seed replays on any library.
  std::mt19937_64 generator(seed);
  std::vector<std::uint16_t> tiles;
  for (const FaultyTile& entry : entries) {
    if (entry.board != board) continue;
    const double draw = static_cast<double>(generator() >> 11) * 0x1.0p-53;
    if (draw < entry.probability) tiles.push_back(entry.tile);
  }
  return tiles;
}

std::expected<TileFaults, kivu_host::EnvironmentError> tile_faults_from_environment(
    const kivu_host::BoardIdentity& identity) {
  TileFaults faults;
  const auto seed = board_setting_value(sim_fault_seed_variable);
  if (seed) {
    KIVU_ASSIGN_OR_RETURN(faults.seed, kivu_host::parse_unsigned_decimal(sim_fault_seed_variable, *seed));
  } else {
    std::random_device device;
    faults.seed = (std::uint64_t{device()} << 32) | device();
  }
  KIVU_ASSIGN_OR_RETURN(faults.entries,
                        parse_sim_fault_tiles(setting_view(board_setting_value(sim_fault_tile_variable)), identity));
  faults.flipping = draw_faulty_tiles(faults.entries, identity.board, faults.seed);
  return faults;
}

}  // namespace kivu_runtime
