// kivu_exchange: how the tiles of the accelerator board are numbered.
//
// Programs and scenarios name tiles by logical number, 0 .. N-1 without gaps.
// The hardware's routes and endpoints use physical numbers, laid out by rows
// of the chip: on the halcyon board (1472 tiles) physical tile p lies in row
// p / 64 (0 .. 22) at position p % 64 (0 .. 63).
//
// The halcyon numbering pairs consecutive logical tiles (lane 0 and 1 of a
// pair, two positions apart in one row) and walks the pairs in blocks of 23,
// serpentine over the rows: even blocks climb from row 0 to row 22, odd
// blocks come back down. Blocks 2k and 2k+1 share column group k.
//
// Nothing here throws, aborts or prints: failures are returned as
// ExchangeError values.
#pragma once

#include <cstdint>
#include <expected>
#include <iosfwd>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kivu_exchange {

// =============================================================================
// Errors

// The library's error: a tagged union whose alternatives follow in tag order.
// Equal errors compare equal; operator<< writes the debug form, e.g.
// Tile(1472), DuplicateTile, Count(3), Schedule("overlap"), Address(4096).
class ExchangeError {
public:
  // A tile number outside the board.
  struct Tile {
    std::uint16_t tile;
    bool operator==(const Tile&) const = default;
  };
  // A tile named twice where it may appear once.
  struct DuplicateTile {
    bool operator==(const DuplicateTile&) const = default;
  };
  // A count that does not fit.
  struct Count {
    std::uint32_t count;
    bool operator==(const Count&) const = default;
  };
  // An empty set of receivers.
  struct ReceiverSet {
    bool operator==(const ReceiverSet&) const = default;
  };
  // A schedule that cannot run; the text points at static storage.
  struct Schedule {
    std::string_view reason;
    bool operator==(const Schedule&) const = default;
  };
  // A tile-memory address outside SRAM.
  struct Address {
    std::uint32_t address;
    bool operator==(const Address&) const = default;
  };
  // A malformed host packet.
  struct HostPacket {
    bool operator==(const HostPacket&) const = default;
  };

  using Variant = std::variant<Tile, DuplicateTile, Count, ReceiverSet, Schedule, Address, HostPacket>;

  // Implicit from any alternative: `return ExchangeError::Tile{n};`.
  template <typename Alternative>
    requires std::is_constructible_v<Variant, Alternative>
  constexpr ExchangeError(Alternative alternative) : value_(std::move(alternative)) {}

  // The alternative held.
  [[nodiscard]] constexpr const Variant& variant() const noexcept { return value_; }
  // The tag, 0 (Tile) .. 6 (HostPacket).
  [[nodiscard]] constexpr std::size_t tag() const noexcept { return value_.index(); }
  // True when the error holds alternative T.
  template <typename T>
  [[nodiscard]] constexpr bool is() const noexcept {
    return std::holds_alternative<T>(value_);
  }

  bool operator==(const ExchangeError&) const = default;

private:
  Variant value_;
};

// Writes the debug form: the variant name, with its payload in parentheses
// when it has one (numbers in decimal, texts quoted and escaped).
std::ostream& operator<<(std::ostream& out, const ExchangeError& error);

// =============================================================================
// Tile numbering

// Number of tiles of the halcyon board.
inline constexpr std::uint16_t halcyon_tile_count = 1472;
// SRAM of one halcyon tile: 624 KiB, addresses 0 .. 0x9BFFF.
inline constexpr std::uint32_t halcyon_tile_sram_bytes = 0x9C000;
// Positions in one row of the halcyon board's physical grid.
inline constexpr std::uint16_t halcyon_row_length = 64;
// Rows of the halcyon board's physical grid.
inline constexpr std::uint16_t halcyon_row_count = 23;

// Where a physical tile lies on the halcyon board's grid.
struct TilePlace {
  std::uint16_t row = 0;       // physical / halcyon_row_length
  std::uint16_t position = 0;  // physical % halcyon_row_length, 0 .. 63

  bool operator==(const TilePlace&) const = default;
};

// The row and position of physical tile `physical`. Pure arithmetic with no
// range check: numbers from 1472 on give rows past the board's last (22).
[[nodiscard]] constexpr TilePlace tile_place(std::uint16_t physical) noexcept {
  return TilePlace{static_cast<std::uint16_t>(physical / halcyon_row_length),
                   static_cast<std::uint16_t>(physical % halcyon_row_length)};
}

// The physical tile number at `place`: row * 64 + position. The inverse of
// tile_place for positions below 64; no range check either.
[[nodiscard]] constexpr std::uint16_t physical_at(TilePlace place) noexcept {
  return static_cast<std::uint16_t>(place.row * halcyon_row_length + place.position);
}

// How tools and runners show a place: "row 2, position 2".
[[nodiscard]] std::string to_string(TilePlace place);

// The physical tile number of logical tile `logical` on the halcyon board.
// Pure arithmetic with no range check: only logical 0 .. 1471 give tiles of
// the board; larger inputs still return a value (at most 4255).
[[nodiscard]] constexpr std::uint16_t halcyon_logical_to_physical(std::uint16_t logical) noexcept {
  const unsigned pair = logical / 2u;
  const unsigned lane = logical % 2u;
  const unsigned block = pair / halcyon_row_count;
  unsigned row = pair % halcyon_row_count;
  if (block % 2u == 1u) row = halcyon_row_count - 1u - row;
  const unsigned column = (block / 2u) * 4u + block % 2u;
  return physical_at(TilePlace{static_cast<std::uint16_t>(row), static_cast<std::uint16_t>(column + lane * 2u)});
}

// One board's table from logical to physical tile number. Immutable once
// built, so one value may be read from several threads.
class Topology {
public:
  // The halcyon board: 1472 entries, entry i = halcyon_logical_to_physical(i).
  [[nodiscard]] static Topology halcyon();

  // A topology over an explicit table (entry i is logical tile i's physical
  // number). The table is taken as given; its inverse is built once here.
  explicit Topology(std::vector<std::uint16_t> logical_to_physical);

  // Physical number of `logical`, or Tile(logical) when the table has no
  // such entry.
  [[nodiscard]] std::expected<std::uint16_t, ExchangeError> physical(std::uint16_t logical) const noexcept;

  // Logical number of `physical`, or Tile(physical) when no logical tile
  // lies there. Should a table name one physical tile twice, the lower
  // logical number is the one returned.
  [[nodiscard]] std::expected<std::uint16_t, ExchangeError> logical(std::uint16_t physical) const noexcept;

  // The whole table, indexed by logical tile number.
  [[nodiscard]] const std::vector<std::uint16_t>& logical_to_physical() const noexcept { return logical_to_physical_; }

  // Number of logical tiles.
  [[nodiscard]] std::size_t tile_count() const noexcept { return logical_to_physical_.size(); }

private:
  std::vector<std::uint16_t> logical_to_physical_;
  // The inverse, indexed by physical number up to the largest in the table;
  // an entry is the logical number plus one, 0 where no logical tile lies.
  std::vector<std::uint32_t> physical_to_logical_;
};

}  // namespace kivu_exchange
