// The state behind kivu_runtime::Board, shared by the files that implement
// it: board.cpp (construction, bulk-synchronous steps, verification and
// accounting) and host_link.cpp (H2D, D2H and raw packets). Every member
// function is called with `mutex` held.
#pragma once

#include <cstdint>
#include <expected>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "cycle_recorder.hpp"
#include "host_writer.hpp"
#include "kivu_runtime/board.hpp"
#include "tile_memory.hpp"

namespace kivu_runtime {

namespace detail {

// Returned when the operating system refuses to map a tile's SRAM.
inline constexpr const char* unmappable_reason = "tile memory could not be mapped";

}  // namespace detail

struct Board::Impl {
  explicit Impl(BoardOptions board_options)
      : options(board_options),
        topology(kivu_exchange::Topology::halcyon()),
        memory(tile_count),
        writer(board_options.jitter),
        recorder(tile_count, board_options.profile),
        flip_pending(tile_count, false) {
    for (const std::uint16_t logical : board_options.tile_faults.flipping) {
      if (const auto physical = topology.physical(logical)) flip_pending[*physical] = true;
    }
  }

  // Maps a logical tile, checking the range [address, address + size).
  std::expected<std::uint16_t, kivu_exchange::ExchangeError> locate(std::uint16_t logical, std::uint32_t address,
                                                                    std::uint64_t size) const;

  // The device side of the host link: decodes a packet and checks its
  // range. A read appends the bytes read to `read_out`; a write adds the
  // packet to `write_out`, to be submitted to the host writer.
  std::expected<void, kivu_exchange::ExchangeError> receive(std::vector<std::byte> packet,
                                                            std::vector<std::byte>& read_out,
                                                            std::vector<detail::HostWriter::Piece>& write_out);

  // Applies fault injection to a readback of `physical` at `address`: the
  // KIVU_SIM_FAULT flip, or the tile's pending flip. `data` is what the host
  // gets; a flip also lands in SRAM.
  void readback(std::uint16_t physical, std::uint32_t address, std::span<std::byte> data);

  // When `physical` is a bad tile whose flip is still pending, flips the bit
  // of `data` (a value passing through the tile at `address`) and records
  // it. Returns the offset flipped, if any.
  std::optional<std::size_t> flip_passing(std::uint16_t physical, std::uint32_t address, std::span<std::byte> data);

  // Host-side D2H: read packets for [address, address + out.size()).
  std::expected<void, kivu_exchange::ExchangeError> d2h_into(std::uint16_t logical, std::uint32_t address,
                                                             std::span<std::byte> out);

  BoardOptions options;
  kivu_exchange::Topology topology;
  mutable std::mutex mutex;
  detail::TileMemory memory;
  detail::HostWriter writer;
  detail::CycleRecorder recorder;
  BoardCounters counters;
  std::vector<FaultRecord> faults;  // every flip, in order
  bool sim_fault_done = false;      // the KIVU_SIM_FAULT flip happened
  std::vector<bool> flip_pending;   // by physical tile: a bad tile yet to flip
};

}  // namespace kivu_runtime
