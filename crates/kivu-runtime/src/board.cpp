// The simulated board: state, bulk-synchronous steps, verification and
// accounting (the host link is in host_link.cpp).
#include "kivu_runtime/board.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "board_impl.hpp"
#include "kivu_base/expected.hpp"

namespace kivu_runtime {

using kivu_exchange::ExchangeError;

namespace {

std::uint64_t exchange_cost(std::uint64_t bytes) {
  return exchange_latency_cycles + (bytes + exchange_bytes_per_cycle - 1) / exchange_bytes_per_cycle;
}

}  // namespace

// =============================================================================
// State

std::expected<std::uint16_t, ExchangeError> Board::Impl::locate(std::uint16_t logical, std::uint32_t address,
                                                                std::uint64_t size) const {
  KIVU_ASSIGN_OR_RETURN(const std::uint16_t physical, topology.physical(logical));
  if (!detail::in_sram(address, size)) return std::unexpected(ExchangeError::Address{address});
  return physical;
}

namespace {

// The byte of a value of `size` bytes whose fault_bit flips.
std::size_t flip_offset(std::size_t size) { return std::min<std::size_t>(fault_byte_offset, size - 1); }

constexpr auto flip_mask = static_cast<std::byte>(1u << fault_bit);

}  // namespace

std::optional<std::size_t> Board::Impl::flip_passing(std::uint16_t physical, std::uint32_t address,
                                                     std::span<std::byte> data) {
  if (data.empty() || !flip_pending[physical]) return std::nullopt;
  flip_pending[physical] = false;
  const std::size_t offset = flip_offset(data.size());
  data[offset] ^= flip_mask;
  faults.push_back(FaultRecord{topology.logical(physical).value_or(0), physical,
                               address + static_cast<std::uint32_t>(offset), fault_bit});
  return offset;
}

void Board::Impl::readback(std::uint16_t physical, std::uint32_t address, std::span<std::byte> data) {
  if (data.empty()) return;
  std::optional<std::size_t> offset;
  if (options.fault_injection && !sim_fault_done) {
    sim_fault_done = true;
    offset = flip_offset(data.size());
    data[*offset] ^= flip_mask;
    faults.push_back(FaultRecord{topology.logical(physical).value_or(0), physical,
                                 address + static_cast<std::uint32_t>(*offset), fault_bit});
  } else {
    offset = flip_passing(physical, address, data);
  }
  // A cell that reads back flipped holds the flip: later reads see it too.
  if (!offset) return;
  if (std::byte* base = memory.map(physical)) base[address + *offset] = data[*offset];
}

// =============================================================================
// Construction

std::expected<BoardOptions, kivu_host::EnvironmentError> BoardOptions::from_environment() {
  BoardOptions options;
  KIVU_ASSIGN_OR_RETURN(options.identity, kivu_host::board_identity_from_environment());
  KIVU_ASSIGN_OR_RETURN(options.jitter, host_write_jitter_from_environment());
  KIVU_ASSIGN_OR_RETURN(options.fault_injection, sim_fault_from_environment(options.identity));
  KIVU_ASSIGN_OR_RETURN(options.tile_faults, tile_faults_from_environment(options.identity));
  return options;
}

Board::Board(BoardOptions options) : impl_(std::make_unique<Impl>(options)) {}
Board::~Board() = default;
Board::Board(Board&&) noexcept = default;
Board& Board::operator=(Board&&) noexcept = default;

const BoardOptions& Board::options() const noexcept { return impl_->options; }
const kivu_exchange::Topology& Board::topology() const noexcept { return impl_->topology; }

std::expected<std::uint16_t, ExchangeError> Board::physical(std::uint16_t logical) const {
  return impl_->topology.physical(logical);
}

std::expected<std::uint16_t, ExchangeError> Board::logical(std::uint16_t physical) const {
  return impl_->topology.logical(physical);
}

// =============================================================================
// Bulk-synchronous steps

std::expected<StepReport, ExchangeError> Board::compute(const ComputeStep& step, const ComputeFunction& function) {
  std::lock_guard lock(impl_->mutex);
  Impl& board = *impl_;
  if (step.tiles.empty()) return std::unexpected(ExchangeError::Count{0});
  std::vector<std::uint16_t> physical(step.tiles.size());
  std::vector<bool> seen(tile_count, false);
  for (std::size_t i = 0; i < step.tiles.size(); ++i) {
    KIVU_ASSIGN_OR_RETURN(const std::uint16_t mapped, board.topology.physical(step.tiles[i]));
    if (seen[mapped]) return std::unexpected(ExchangeError::DuplicateTile{});
    seen[mapped] = true;
    physical[i] = mapped;
  }
  board.writer.drain();

  std::vector<std::uint64_t> busy(tile_count, 0);
  std::uint64_t duration = 1;
  for (std::size_t i = 0; i < step.tiles.size(); ++i) {
    std::byte* sram = board.memory.map(physical[i]);
    if (sram == nullptr) return std::unexpected(ExchangeError::Schedule{detail::unmappable_reason});
    TileContext context(step.tiles[i], physical[i], sram, step.cycles);
    if (function) KIVU_RETURN_IF_ERROR(function(context));
    busy[physical[i]] = std::max<std::uint64_t>(context.cycles, 1);
    duration = std::max(duration, busy[physical[i]]);
  }

  ++board.counters.compute_steps;
  return board.recorder.record(
      StepRecord{ProfileStepKind::Compute, 0, 0, 0, 0, step.operation, step.kernel, step.metadata}, busy, {}, duration,
      static_cast<std::uint32_t>(step.tiles.size()), 0);
}

std::expected<StepReport, ExchangeError> Board::exchange(const ExchangePhase& phase) {
  std::lock_guard lock(impl_->mutex);
  Impl& board = *impl_;
  if (phase.transfers.empty()) return std::unexpected(ExchangeError::Count{0});

  // Check the whole phase before anything moves.
  struct Write {
    std::uint16_t physical;
    std::uint32_t address;
    std::uint64_t end;
  };
  std::vector<Write> writes;
  std::vector<std::uint16_t> sources(phase.transfers.size());
  std::vector<std::uint16_t> receivers;
  std::uint64_t staged = 0;
  for (std::size_t t = 0; t < phase.transfers.size(); ++t) {
    const Transfer& transfer = phase.transfers[t];
    KIVU_ASSIGN_OR_RETURN(const std::uint16_t source, board.topology.physical(transfer.source));
    if (transfer.size == 0) return std::unexpected(ExchangeError::Count{0});
    if (!detail::in_sram(transfer.source_address, transfer.size)) {
      return std::unexpected(ExchangeError::Address{transfer.source_address});
    }
    if (transfer.receivers.empty()) return std::unexpected(ExchangeError::ReceiverSet{});
    receivers.clear();
    for (const Receiver& receiver : transfer.receivers) {
      KIVU_ASSIGN_OR_RETURN(const std::uint16_t target, board.locate(receiver.tile, receiver.address, transfer.size));
      receivers.push_back(target);
      writes.push_back(Write{target, receiver.address, std::uint64_t{receiver.address} + transfer.size});
    }
    std::ranges::sort(receivers);
    if (std::ranges::adjacent_find(receivers) != receivers.end()) {
      return std::unexpected(ExchangeError::DuplicateTile{});
    }
    sources[t] = source;
    staged += transfer.size;
  }
  std::ranges::sort(writes, [](const Write& a, const Write& b) {
    return a.physical != b.physical ? a.physical < b.physical : a.address < b.address;
  });
  for (std::size_t i = 1; i < writes.size(); ++i) {
    if (writes[i].physical == writes[i - 1].physical && writes[i].address < writes[i - 1].end) {
      return std::unexpected(ExchangeError::Schedule{overlapping_writes_reason});
    }
  }
  for (const Write& write : writes) {
    if (board.memory.map(write.physical) == nullptr) {
      return std::unexpected(ExchangeError::Schedule{detail::unmappable_reason});
    }
  }

  // Snapshot every source first, so that each reads what it held when the
  // phase began, then deliver.
  board.writer.drain();
  std::vector<std::byte> stage(staged);
  std::size_t at = 0;
  for (std::size_t t = 0; t < phase.transfers.size(); ++t) {
    const Transfer& transfer = phase.transfers[t];
    const auto sent = std::span(stage).subspan(at, transfer.size);
    board.memory.read(sources[t], transfer.source_address, sent);
    // A bad source sends a flipped bit; what it holds stays as it was.
    (void)board.flip_passing(sources[t], transfer.source_address, sent);
    at += transfer.size;
  }
  std::vector<std::uint64_t> bytes(tile_count, 0);
  std::uint64_t moved = 0;
  at = 0;
  for (std::size_t t = 0; t < phase.transfers.size(); ++t) {
    const Transfer& transfer = phase.transfers[t];
    bytes[sources[t]] += transfer.size;
    for (const Receiver& receiver : transfer.receivers) {
      const std::uint16_t target = board.topology.logical_to_physical()[receiver.tile];
      std::byte* received = board.memory.map(target) + receiver.address;
      std::memcpy(received, stage.data() + at, transfer.size);
      // A bad receiver stores a flipped bit.
      (void)board.flip_passing(target, receiver.address, std::span(received, transfer.size));
      bytes[target] += transfer.size;
      moved += transfer.size;
    }
    at += transfer.size;
  }

  std::vector<std::uint64_t> busy(tile_count, 0);
  std::uint64_t duration = 0;
  std::uint32_t taking_part = 0;
  for (std::size_t tile = 0; tile < tile_count; ++tile) {
    if (bytes[tile] == 0) continue;
    busy[tile] = exchange_cost(bytes[tile]);
    duration = std::max(duration, busy[tile]);
    ++taking_part;
  }
  ++board.counters.exchange_phases;
  board.counters.exchanged_bytes += moved;
  return board.recorder.record(
      StepRecord{ProfileStepKind::Exchange, 0, 0, 0, 0, phase.operation, phase.kernel, phase.metadata}, busy, bytes,
      duration, taking_part, moved);
}

StepReport Board::sync(std::string operation) {
  std::lock_guard lock(impl_->mutex);
  const std::vector<std::uint64_t> busy(tile_count, sync_cycles);
  ++impl_->counters.syncs;
  return impl_->recorder.record(StepRecord{ProfileStepKind::Synchronization, 0, 0, 0, 0, std::move(operation), {}, {}},
                                busy, {}, sync_cycles, tile_count, 0);
}

// =============================================================================
// Verification

std::expected<std::vector<std::byte>, ExchangeError> Board::read_tile_memory(std::uint16_t tile, std::uint32_t address,
                                                                             std::uint32_t size) {
  std::lock_guard lock(impl_->mutex);
  if (size == 0) return std::unexpected(ExchangeError::Count{0});
  KIVU_ASSIGN_OR_RETURN(const std::uint16_t physical, impl_->locate(tile, address, size));
  impl_->writer.drain();
  std::vector<std::byte> data(size);
  impl_->memory.read(physical, address, data);
  impl_->readback(physical, address, data);
  return data;
}

std::size_t Board::allocated_tiles() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->memory.mapped_tiles();
}

std::size_t Board::allocated_bytes() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->memory.mapped_tiles() * std::size_t{tile_sram_bytes};
}

bool Board::is_allocated(std::uint16_t tile) const {
  std::lock_guard lock(impl_->mutex);
  auto physical = impl_->topology.physical(tile);
  return physical && impl_->memory.mapped(*physical) != nullptr;
}

std::optional<FaultRecord> Board::injected_fault() const {
  std::lock_guard lock(impl_->mutex);
  if (impl_->faults.empty()) return std::nullopt;
  return impl_->faults.front();
}

std::vector<FaultRecord> Board::injected_faults() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->faults;
}

// =============================================================================
// Accounting

std::uint64_t Board::cycle() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->recorder.cycle();
}

BoardCounters Board::counters() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->counters;
}

std::expected<kivu_package::KindCycles, ExchangeError> Board::tile_cycles(std::uint16_t tile) const {
  std::lock_guard lock(impl_->mutex);
  KIVU_ASSIGN_OR_RETURN(const std::uint16_t physical, impl_->topology.physical(tile));
  return impl_->recorder.totals(physical);
}

std::vector<StepRecord> Board::steps() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->recorder.steps();
}

std::expected<std::vector<TileSample>, ExchangeError> Board::samples(std::uint16_t tile) const {
  std::lock_guard lock(impl_->mutex);
  KIVU_ASSIGN_OR_RETURN(const std::uint16_t physical, impl_->topology.physical(tile));
  if (!impl_->recorder.profiling()) return std::vector<TileSample>{};
  return impl_->recorder.samples(physical);
}

std::expected<kivu_package::ProfileReport, ExchangeError> Board::to_profile_report() const {
  std::lock_guard lock(impl_->mutex);
  const detail::CycleRecorder& recorder = impl_->recorder;
  if (!recorder.profiling()) return std::unexpected(ExchangeError::Schedule{profiling_off_reason});
  if (recorder.cycle() > UINT32_MAX) return std::unexpected(ExchangeError::Count{UINT32_MAX});

  kivu_package::ProfileReport report;
  report.clock_hz = clock_hz;
  report.tiles.reserve(tile_count);
  for (std::uint16_t physical = 0; physical < tile_count; ++physical) {
    kivu_package::TileProfile& tile = report.tiles.emplace_back();
    tile.physical_tile = physical;
    // Every physical tile of the board has its logical tile.
    const std::string logical = std::to_string(impl_->topology.logical(physical).value_or(0));
    for (const TileSample& sample : recorder.samples(physical)) {
      kivu_package::CycleSample& out = tile.samples.emplace_back();
      out.start_cycle = static_cast<std::uint32_t>(sample.start_cycle);
      out.end_cycle = static_cast<std::uint32_t>(sample.end_cycle);
      out.step.local_index = sample.local_index;
      out.step.phase = sample.phase;
      out.step.epoch = sample.epoch;
      out.step.kind = sample.kind;
      if (sample.kind == ProfileStepKind::Idle) {
        out.step.operation = "idle";
      } else {
        const StepRecord& step = recorder.steps()[sample.step];
        out.step.operation = step.operation;
        out.step.kernel = step.kernel;
        out.step.metadata = step.metadata;
      }
      out.step.metadata.push_back({"logical_tile", logical});
      if (sample.kind == ProfileStepKind::Exchange) {
        out.step.metadata.push_back({"bytes", std::to_string(sample.bytes)});
      }
    }
  }
  return report;
}

}  // namespace kivu_runtime
