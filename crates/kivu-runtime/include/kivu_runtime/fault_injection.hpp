// Fault injection: one corrupted bit that the scenario must notice.
//
// With fault injection on, the board corrupts the data of the first readback
// of the run: the first D2H transfer, raw read packet or tile-memory
// readback, whichever comes first. It inverts bit fault_bit of the byte at
// offset min(fault_byte_offset, size - 1) of the data read, both in the
// returned bytes and in the tile's SRAM, so the fault also persists for
// later reads of that byte. Exactly one bit of the run is corrupted.
//
// The byte and bit are chosen so that the flip changes a checked value by
// far more than any sensible tolerance: for 32-bit words (integers or
// floats, little-endian) it is bit 30, the top exponent bit of a float; for
// 16-bit halves it is the top exponent bit of the second half; for bytes it
// is a plain bit of the fourth byte (or the last of a shorter read).
//
// A runner that checks each readback against a reference computed on the
// host therefore always fails under fault injection. A check that compares
// two readbacks with each other is still caught, because only one of them
// carries the flip, as long as its first readback is one that it checks.
//
// Intermittently bad tiles: KIVU_SIM_FAULT_TILE=BOARD:TILE:PROBABILITY[,...]
// names logical tiles of given boards that go bad now and then, the way a
// tile with a weak SRAM cell or exchange path does. At the start of each run
// a seeded draw decides, for each entry of the run's board, whether the tile
// fails this run (with the entry's probability). A tile that fails flips one
// bit of the first value that passes through it: data written to its SRAM
// (a host write), read back from it (D2H, a read packet or a tile-memory
// readback) or sent or received in an exchange, whichever comes first. The
// bit is chosen as above (offset min(fault_byte_offset, size - 1), bit
// fault_bit), so the value changes by far more than any tolerance. A run
// that never touches the tile does not notice it. The draw's seed is
// KIVU_SIM_FAULT_SEED when set, fresh randomness otherwise; the runners show
// the seed, so that a failing run can be replayed.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string_view>
#include <vector>

#include "kivu_host/board_identity.hpp"
#include "kivu_runtime/environment.hpp"

namespace kivu_runtime {

// Names of the variables read by sim_fault_from_environment: KIVU_SIM_FAULT=1
// puts the fault on every board of the host, KIVU_SIM_FAULT_BOARD=N on board
// N (see kivu_host/board_identity.hpp) alone. Either is enough: a run gets the fault
// when KIVU_SIM_FAULT is 1 or KIVU_SIM_FAULT_BOARD names its board.
inline constexpr const char* sim_fault_variable = "KIVU_SIM_FAULT";
inline constexpr const char* sim_fault_board_variable = "KIVU_SIM_FAULT_BOARD";
// Names of the variables of the intermittently bad tiles.
inline constexpr const char* sim_fault_tile_variable = "KIVU_SIM_FAULT_TILE";
inline constexpr const char* sim_fault_seed_variable = "KIVU_SIM_FAULT_SEED";

// Offset, within the first readback, of the byte whose bit is flipped (or
// the readback's last byte when it is shorter).
inline constexpr std::uint32_t fault_byte_offset = 3;
// The bit flipped in that byte.
inline constexpr unsigned fault_bit = 6;

// Where the fault went.
struct FaultRecord {
  std::uint16_t logical_tile = 0;
  std::uint16_t physical_tile = 0;
  std::uint32_t address = 0;  // tile-memory address of the corrupted byte
  unsigned bit = fault_bit;

  bool operator==(const FaultRecord&) const = default;
};

// One entry of KIVU_SIM_FAULT_TILE: logical tile `tile` of board `board`
// fails a run with probability `probability` (0 to 1).
struct FaultyTile {
  std::uint32_t board = 0;
  std::uint16_t tile = 0;
  double probability = 0;

  bool operator==(const FaultyTile&) const = default;
};

// The intermittently bad tiles of a run.
struct TileFaults {
  std::vector<FaultyTile> entries;      // every board's, as given
  std::uint64_t seed = 0;               // the seed of this run's draw
  std::vector<std::uint16_t> flipping;  // the run's board's logical tiles that fail this run

  bool operator==(const TileFaults&) const = default;
};

// The entries of KIVU_SIM_FAULT_TILE: "BOARD:TILE:PROBABILITY" separated by
// ",", BOARD a board of the host, TILE a logical tile below 1472,
// PROBABILITY digits with an optional fraction ("0", "0.25", "1", "1.0"),
// at most 1. Unset gives none. An empty entry, a bad field or the same
// board and tile twice is an error naming the variable, its value and what
// is wrong.
[[nodiscard]] std::expected<std::vector<FaultyTile>, kivu_host::EnvironmentError> parse_sim_fault_tiles(
    std::optional<std::string_view> value, const kivu_host::BoardIdentity& identity);

// The logical tiles of `board` that fail the run drawn with `seed`: each of
// that board's entries, in order, with its probability (1 always, 0 never).
// The same entries and seed give the same tiles.
[[nodiscard]] std::vector<std::uint16_t> draw_faulty_tiles(const std::vector<FaultyTile>& entries, std::uint32_t board,
                                                           std::uint64_t seed);

// The run's bad tiles from KIVU_SIM_FAULT_TILE and KIVU_SIM_FAULT_SEED (an
// unsigned decimal; unset: a seed from std::random_device). Without entries
// the seed is read (and checked) all the same.
[[nodiscard]] std::expected<TileFaults, kivu_host::EnvironmentError> tile_faults_from_environment(
    const kivu_host::BoardIdentity& identity);

// Whether fault injection is on, from the variable's value: absent or "0"
// is off, "1" is on; anything else is an error.
[[nodiscard]] std::expected<bool, kivu_host::EnvironmentError> parse_sim_fault(std::optional<std::string_view> value);

// Whether a run on `identity`'s board gets the fault, from the values of
// KIVU_SIM_FAULT and KIVU_SIM_FAULT_BOARD (a board of the host when set).
[[nodiscard]] std::expected<bool, kivu_host::EnvironmentError> parse_sim_fault_on_board(
    std::optional<std::string_view> fault, std::optional<std::string_view> fault_board,
    const kivu_host::BoardIdentity& identity);

// The same from the process environment (empty values count as unset).
[[nodiscard]] std::expected<bool, kivu_host::EnvironmentError> sim_fault_from_environment(
    const kivu_host::BoardIdentity& identity);

}  // namespace kivu_runtime
