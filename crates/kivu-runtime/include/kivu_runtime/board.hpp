// The simulated accelerator board.
//
// A Board is the device as a runner sees it: 1472 tiles with their own SRAM
// (kivu_runtime/board_constants.hpp), reached from the host through packets
// on the host link (kivu_runtime/host_packet.hpp) and programmed in
// bulk-synchronous steps: compute steps (compute_step.hpp), exchange phases
// (exchange_phase.hpp) and synchronisations, timed by the cycle accounting
// of cycle_accounting.hpp. Runners name tiles by logical number; the board
// maps them to physical tiles with the halcyon topology, and the host link
// routes by the physical number's row and position.
//
// SRAM is allocated lazily: a tile's memory is mapped when something first
// writes to it (reading an untouched tile gives zeros and maps nothing), and
// the operating system backs only the pages actually touched.
//
// Host writes (h2d) may complete asynchronously when host-write jitter is
// on; every other operation that touches tile memory first waits for them,
// so jitter never changes results. Errors are checked before the write is
// queued, so h2d reports them itself.
//
// All public operations are serialised by an internal lock, so a Board may
// be shared between threads; a compute function must not call back into
// the board. Nothing here throws, aborts or prints.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "kivu_exchange.hpp"
#include "kivu_host/board_identity.hpp"
#include "kivu_package.hpp"
#include "kivu_runtime/board_constants.hpp"
#include "kivu_runtime/compute_step.hpp"
#include "kivu_runtime/cycle_accounting.hpp"
#include "kivu_runtime/environment.hpp"
#include "kivu_runtime/exchange_phase.hpp"
#include "kivu_runtime/fault_injection.hpp"
#include "kivu_runtime/host_write_jitter.hpp"

namespace kivu_runtime {

// =============================================================================
// Options and counters

struct BoardOptions {
  HostWriteJitter jitter;             // no jitter by default
  bool fault_injection = false;       // see fault_injection.hpp
  TileFaults tile_faults;             // intermittently bad tiles, none by default
  bool profile = false;               // record per-tile samples
  kivu_host::BoardIdentity identity;  // board 0 of a host with one board

  // The board and its settings from the environment: the identity from
  // KIVU_SIM_BOARDS and KIVU_BOARD, jitter from KIVU_HOST_WRITE_JITTER_MAX_US
  // and KIVU_HOST_WRITE_JITTER_SEED, fault injection when KIVU_SIM_FAULT=1
  // or KIVU_SIM_FAULT_BOARD names this board, the bad tiles of
  // KIVU_SIM_FAULT_TILE drawn with KIVU_SIM_FAULT_SEED; profiling off. Empty values
  // count as unset.
  [[nodiscard]] static std::expected<BoardOptions, kivu_host::EnvironmentError> from_environment();
};

// Running totals of what the board did.
struct BoardCounters {
  std::uint64_t host_writes = 0;   // h2d calls
  std::uint64_t host_reads = 0;    // d2h calls
  std::uint64_t host_packets = 0;  // packets delivered, both directions
  std::uint64_t h2d_bytes = 0;
  std::uint64_t d2h_bytes = 0;
  std::uint32_t compute_steps = 0;
  std::uint32_t exchange_phases = 0;
  std::uint32_t syncs = 0;            // also the current epoch
  std::uint64_t exchanged_bytes = 0;  // bytes written to receivers

  // Steps run so far: the phase number of the next step.
  [[nodiscard]] std::uint32_t phases() const noexcept { return compute_steps + exchange_phases + syncs; }
  bool operator==(const BoardCounters&) const = default;
};

// =============================================================================
// Board

class Board {
public:
  explicit Board(BoardOptions options = {});
  ~Board();  // waits for host writes in flight
  Board(Board&&) noexcept;
  Board& operator=(Board&&) noexcept;
  Board(const Board&) = delete;
  Board& operator=(const Board&) = delete;

  [[nodiscard]] const BoardOptions& options() const noexcept;
  [[nodiscard]] const kivu_exchange::Topology& topology() const noexcept;
  // Physical number of a logical tile, or Tile(logical).
  [[nodiscard]] std::expected<std::uint16_t, kivu_exchange::ExchangeError> physical(std::uint16_t logical) const;
  // Logical number of a physical tile, or Tile(physical).
  [[nodiscard]] std::expected<std::uint16_t, kivu_exchange::ExchangeError> logical(std::uint16_t physical) const;

  // ---------------------------------------------------------------------------
  // Host link. Tiles are logical; errors: Tile, Count(0) for nothing to move
  // (Count(4294967295) beyond 32 bits), Address(address) for a range outside
  // SRAM.

  // Writes `data` to the tile's SRAM at `address`, in packets. May return
  // before the data has landed (jitter); later operations wait for it.
  [[nodiscard]] std::expected<void, kivu_exchange::ExchangeError> h2d(std::uint16_t tile, std::uint32_t address,
                                                                      std::span<const std::byte> data);

  // Reads `size` bytes of the tile's SRAM from `address`, in packets.
  [[nodiscard]] std::expected<std::vector<std::byte>, kivu_exchange::ExchangeError> d2h(std::uint16_t tile,
                                                                                        std::uint32_t address,
                                                                                        std::uint32_t size);

  // Reads destination.size() bytes from `address` into `destination`, a
  // range of a host buffer. Nothing is written to it on error.
  [[nodiscard]] std::expected<void, kivu_exchange::ExchangeError> d2h_into(std::uint16_t tile, std::uint32_t address,
                                                                           std::span<std::byte> destination);

  // Delivers one raw packet (host_packet.hpp) as the device receives it,
  // routed by its own route field. A write returns no bytes; a read returns
  // the bytes read. Errors: HostPacket when malformed, Address when the
  // range leaves SRAM.
  [[nodiscard]] std::expected<std::vector<std::byte>, kivu_exchange::ExchangeError> deliver_packet(
      std::span<const std::byte> packet);

  // Waits until every host write has landed.
  void wait_host_writes();

  // ---------------------------------------------------------------------------
  // Bulk-synchronous steps (see compute_step.hpp and exchange_phase.hpp for
  // the checks). Each returns what the step did. A compute step with an
  // empty function only spends its cycles.

  [[nodiscard]] std::expected<StepReport, kivu_exchange::ExchangeError> compute(const ComputeStep& step,
                                                                                const ComputeFunction& function);
  [[nodiscard]] std::expected<StepReport, kivu_exchange::ExchangeError> exchange(const ExchangePhase& phase);
  // Synchronises all tiles, ending the current epoch. Cannot fail.
  StepReport sync(std::string operation = "sync");

  // ---------------------------------------------------------------------------
  // Verification

  // Reads the tile's SRAM directly, bypassing the host link (for checking
  // tile memory byte for byte). Subject to fault injection like d2h.
  [[nodiscard]] std::expected<std::vector<std::byte>, kivu_exchange::ExchangeError> read_tile_memory(
      std::uint16_t tile, std::uint32_t address, std::uint32_t size);

  // Tiles whose SRAM has been mapped, and the bytes reserved for them.
  [[nodiscard]] std::size_t allocated_tiles() const;
  [[nodiscard]] std::size_t allocated_bytes() const;
  // Whether the logical tile's SRAM has been mapped (false for a bad tile).
  [[nodiscard]] bool is_allocated(std::uint16_t tile) const;

  // Where the injected fault went, once it has been injected (the first,
  // when bad tiles flipped bits too).
  [[nodiscard]] std::optional<FaultRecord> injected_fault() const;
  // Every bit flipped so far, in order: the KIVU_SIM_FAULT one and one per
  // bad tile of tile_faults.flipping that something passed through.
  [[nodiscard]] std::vector<FaultRecord> injected_faults() const;

  // ---------------------------------------------------------------------------
  // Accounting

  // The global cycle counter: the end of the last step.
  [[nodiscard]] std::uint64_t cycle() const;
  [[nodiscard]] BoardCounters counters() const;
  // Cycles of a logical tile by kind; Tile(logical) for a bad tile.
  [[nodiscard]] std::expected<kivu_package::KindCycles, kivu_exchange::ExchangeError> tile_cycles(
      std::uint16_t tile) const;
  // The steps run so far, in order (index = phase).
  [[nodiscard]] std::vector<StepRecord> steps() const;
  // The samples of a logical tile (empty unless profiling is on).
  [[nodiscard]] std::expected<std::vector<TileSample>, kivu_exchange::ExchangeError> samples(std::uint16_t tile) const;

  // The run's cycle profile: every tile in physical order with its samples,
  // the clock in hertz. Each sample's metadata holds the step's metadata,
  // then "logical_tile" and, for exchange samples, "bytes". Errors:
  // Schedule("cycle profiling is off") when the board was built without
  // profiling, Count(4294967295) when the run's cycles exceed 32 bits.
  [[nodiscard]] std::expected<kivu_package::ProfileReport, kivu_exchange::ExchangeError> to_profile_report() const;

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Text of the Schedule error of to_profile_report on a board without
// profiling.
inline constexpr const char* profiling_off_reason = "cycle profiling is off";

}  // namespace kivu_runtime
