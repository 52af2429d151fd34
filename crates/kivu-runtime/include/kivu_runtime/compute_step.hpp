// A compute step: the same kind of work run on a set of tiles.
//
// The board calls the step's function once per tile, in the order the tiles
// are listed, with a TileContext that gives the function that tile's SRAM
// and nothing else. Each tile's cost in cycles starts at the step's
// `cycles` and the function may change it (for example to charge per
// element); the step lasts as long as its most expensive tile, at least one
// cycle, and the tiles not listed are idle meanwhile.
//
// Checked before any function runs: an empty tile list (Count(0)), a tile
// beyond the board (Tile), a tile listed twice (DuplicateTile). A function
// that returns an error stops the step there: the tiles before it keep what
// they wrote, the clock does not move and the error is returned.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "kivu_base/expected.hpp"
#include "kivu_exchange.hpp"
#include "kivu_package.hpp"

namespace kivu_runtime {

// =============================================================================
// Tile context

// One tile's view during a compute step. Valid only inside the function.
class TileContext {
public:
  TileContext(std::uint16_t logical, std::uint16_t physical, std::byte* sram, std::uint64_t cost) noexcept
      : cycles(cost), logical_(logical), physical_(physical), sram_(sram) {}

  [[nodiscard]] std::uint16_t logical() const noexcept { return logical_; }
  [[nodiscard]] std::uint16_t physical() const noexcept { return physical_; }

  // The tile's SRAM from `address`, `size` bytes; Address(address) when the
  // range leaves SRAM.
  [[nodiscard]] std::expected<std::span<std::byte>, kivu_exchange::ExchangeError> bytes(std::uint32_t address,
                                                                                        std::uint32_t size) const;

  // `count` values of T from `address`; Address(address) when the range
  // leaves SRAM or the address is not aligned for T.
  template <typename T>
    requires std::is_trivially_copyable_v<T>
  [[nodiscard]] std::expected<std::span<T>, kivu_exchange::ExchangeError> array(std::uint32_t address,
                                                                                std::size_t count) const {
    if (address % alignof(T) != 0 || count > UINT32_MAX / sizeof(T)) {
      return std::unexpected(kivu_exchange::ExchangeError::Address{address});
    }
    KIVU_ASSIGN_OR_RETURN(const auto raw, bytes(address, static_cast<std::uint32_t>(count * sizeof(T))));
    return std::span<T>(reinterpret_cast<T*>(raw.data()), count);
  }

  // This tile's cost for the step, in cycles; preset to the step's cycles.
  std::uint64_t cycles;

private:
  std::uint16_t logical_;
  std::uint16_t physical_;
  std::byte* sram_;
};

// =============================================================================
// Step

// The function run on each tile.
using ComputeFunction = std::function<std::expected<void, kivu_exchange::ExchangeError>(TileContext&)>;

// What runs where, with the names that the cycle profile shows.
struct ComputeStep {
  std::string operation = "compute";
  std::string kernel;
  std::vector<kivu_package::ProfileMetadata> metadata;
  std::vector<std::uint16_t> tiles;  // logical tile numbers, each at most once
  std::uint64_t cycles = 1;          // default cost per tile
};

// Wraps a function that cannot fail as a ComputeFunction.
template <typename F>
  requires std::invocable<F&, TileContext&> && std::is_void_v<std::invoke_result_t<F&, TileContext&>>
[[nodiscard]] ComputeFunction infallible(F function) {
  return
      [function = std::move(function)](TileContext& tile) mutable -> std::expected<void, kivu_exchange::ExchangeError> {
        function(tile);
        return {};
      };
}

}  // namespace kivu_runtime
