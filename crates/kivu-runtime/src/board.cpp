// The simulated board: host link, bulk-synchronous steps, accounting.
#include "kivu_runtime/board.hpp"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

#include "cycle_recorder.hpp"
#include "host_writer.hpp"
#include "kivu_runtime/host_packet.hpp"
#include "tile_memory.hpp"

namespace kivu_runtime {

using kivu_exchange::ExchangeError;

namespace {

// Returned when the operating system refuses to map a tile's SRAM.
constexpr const char* unmappable_reason = "tile memory could not be mapped";

// Count error for a size that does not fit the board's 32-bit counts.
std::expected<std::uint32_t, ExchangeError> transfer_size(std::size_t size) {
  if (size == 0) return std::unexpected(ExchangeError::Count{0});
  if (size > UINT32_MAX) return std::unexpected(ExchangeError::Count{UINT32_MAX});
  return static_cast<std::uint32_t>(size);
}

std::uint64_t exchange_cost(std::uint64_t bytes) {
  return exchange_latency_cycles + (bytes + exchange_bytes_per_cycle - 1) / exchange_bytes_per_cycle;
}

}  // namespace

// =============================================================================
// State

struct Board::Impl {
  explicit Impl(BoardOptions board_options)
      : options(board_options),
        topology(kivu_exchange::Topology::halcyon()),
        memory(tile_count),
        writer(board_options.jitter),
        recorder(tile_count, board_options.profile) {}

  // Maps a logical tile, checking the range [address, address + size).
  std::expected<std::uint16_t, ExchangeError> locate(std::uint16_t logical, std::uint32_t address,
                                                     std::uint64_t size) const {
    auto physical = topology.physical(logical);
    if (!physical) return physical;
    if (!detail::in_sram(address, size)) return std::unexpected(ExchangeError::Address{address});
    return *physical;
  }

  // The device side of the host link: decodes a packet and checks its
  // range. A read appends the bytes read to `read_out`; a write adds the
  // packet to `write_out`, to be submitted to the host writer.
  std::expected<void, ExchangeError> receive(std::vector<std::byte> packet, std::vector<std::byte>& read_out,
                                             std::vector<detail::HostWriter::Piece>& write_out) {
    auto decoded = decode_host_packet(packet);
    if (!decoded) return std::unexpected(decoded.error());
    const HostPacketHeader header = decoded->header;
    const std::uint16_t physical = physical_tile(header.route);
    if (!detail::in_sram(header.address, header.length)) {
      return std::unexpected(ExchangeError::Address{header.address});
    }
    ++counters.host_packets;
    if (header.kind == HostPacketKind::Read) {
      writer.drain();
      const std::size_t at = read_out.size();
      read_out.resize(at + header.length);
      memory.read(physical, header.address, std::span(read_out).subspan(at));
      return {};
    }
    std::byte* base = memory.map(physical);
    if (base == nullptr) return std::unexpected(ExchangeError::Schedule{unmappable_reason});
    write_out.push_back({base + header.address, std::move(packet), host_packet_header_bytes, header.length});
    return {};
  }

  // Applies fault injection to a readback of `physical` at `address`.
  void readback(std::uint16_t physical, std::uint32_t address, std::span<std::byte> data) {
    if (!options.fault_injection || fault || data.empty()) return;
    const std::uint32_t offset = std::min<std::uint32_t>(fault_byte_offset,
                                                         static_cast<std::uint32_t>(data.size() - 1));
    const auto mask = static_cast<std::byte>(1u << fault_bit);
    data[offset] ^= mask;
    if (std::byte* base = memory.map(physical)) base[address + offset] = data[offset];
    fault = FaultRecord{topology.logical(physical).value_or(0), physical, address + offset, fault_bit};
  }

  // Host-side D2H: read packets for [address, address + out.size()).
  std::expected<void, ExchangeError> d2h_into(std::uint16_t logical, std::uint32_t address, std::span<std::byte> out) {
    auto size = transfer_size(out.size());
    if (!size) return std::unexpected(size.error());
    auto physical = locate(logical, address, *size);
    if (!physical) return std::unexpected(physical.error());
    auto route = route_to(*physical);
    if (!route) return std::unexpected(route.error());
    std::vector<std::byte> data;
    data.reserve(out.size());
    std::vector<detail::HostWriter::Piece> no_writes;
    for (std::uint32_t offset = 0; offset < *size; offset += host_packet_max_payload) {
      const auto length = static_cast<std::uint16_t>(std::min(host_packet_max_payload, *size - offset));
      auto packet = encode_host_packet({HostPacketKind::Read, *route, address + offset, length});
      if (!packet) return std::unexpected(packet.error());
      if (auto done = receive(std::move(*packet), data, no_writes); !done) return done;
    }
    readback(*physical, address, data);
    std::ranges::copy(data, out.begin());
    ++counters.host_reads;
    counters.d2h_bytes += *size;
    return {};
  }

  BoardOptions options;
  kivu_exchange::Topology topology;
  mutable std::mutex mutex;
  detail::TileMemory memory;
  detail::HostWriter writer;
  detail::CycleRecorder recorder;
  BoardCounters counters;
  std::optional<FaultRecord> fault;
};

// =============================================================================
// Construction

std::expected<BoardOptions, EnvironmentError> BoardOptions::from_environment() {
  BoardOptions options;
  auto identity = kivu_host::board_identity_from_environment();
  if (!identity) return std::unexpected(identity.error());
  options.identity = *identity;
  auto jitter = host_write_jitter_from_environment();
  if (!jitter) return std::unexpected(jitter.error());
  options.jitter = *jitter;
  auto fault = sim_fault_from_environment(options.identity);
  if (!fault) return std::unexpected(fault.error());
  options.fault_injection = *fault;
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
// Host link

std::expected<void, ExchangeError> Board::h2d(std::uint16_t tile, std::uint32_t address,
                                              std::span<const std::byte> data) {
  std::lock_guard lock(impl_->mutex);
  auto size = transfer_size(data.size());
  if (!size) return std::unexpected(size.error());
  auto physical = impl_->locate(tile, address, *size);
  if (!physical) return std::unexpected(physical.error());
  auto route = route_to(*physical);
  if (!route) return std::unexpected(route.error());
  std::vector<std::byte> no_reads;
  std::vector<detail::HostWriter::Piece> pieces;
  pieces.reserve((*size + host_packet_max_payload - 1) / host_packet_max_payload);
  for (std::uint32_t offset = 0; offset < *size; offset += host_packet_max_payload) {
    const auto length = static_cast<std::uint16_t>(std::min(host_packet_max_payload, *size - offset));
    auto packet = encode_host_packet({HostPacketKind::Write, *route, address + offset, length},
                                     data.subspan(offset, length));
    if (!packet) return std::unexpected(packet.error());
    if (auto done = impl_->receive(std::move(*packet), no_reads, pieces); !done) return done;
  }
  impl_->writer.submit(*physical, address, *size, std::move(pieces));
  ++impl_->counters.host_writes;
  impl_->counters.h2d_bytes += *size;
  return {};
}

std::expected<std::vector<std::byte>, ExchangeError> Board::d2h(std::uint16_t tile, std::uint32_t address,
                                                                std::uint32_t size) {
  std::lock_guard lock(impl_->mutex);
  if (size == 0) return std::unexpected(ExchangeError::Count{0});
  // Checked before allocating, so a huge bad size costs nothing.
  if (auto located = impl_->locate(tile, address, size); !located) return std::unexpected(located.error());
  std::vector<std::byte> data(size);
  if (auto done = impl_->d2h_into(tile, address, data); !done) return std::unexpected(done.error());
  return data;
}

std::expected<void, ExchangeError> Board::d2h_into(std::uint16_t tile, std::uint32_t address,
                                                   std::span<std::byte> destination) {
  std::lock_guard lock(impl_->mutex);
  return impl_->d2h_into(tile, address, destination);
}

std::expected<std::vector<std::byte>, ExchangeError> Board::deliver_packet(std::span<const std::byte> packet) {
  std::lock_guard lock(impl_->mutex);
  std::vector<std::byte> read;
  std::vector<detail::HostWriter::Piece> write;
  if (auto done = impl_->receive(std::vector<std::byte>(packet.begin(), packet.end()), read, write); !done) {
    return std::unexpected(done.error());
  }
  // The packet decoded above, so its route and range are good.
  const auto header = decode_host_packet(packet)->header;
  if (!write.empty()) {
    impl_->writer.submit(physical_tile(header.route), header.address, header.length, std::move(write));
  } else {
    impl_->readback(physical_tile(header.route), header.address, read);
  }
  return read;
}

void Board::wait_host_writes() {
  std::lock_guard lock(impl_->mutex);
  impl_->writer.drain();
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
    auto mapped = board.topology.physical(step.tiles[i]);
    if (!mapped) return std::unexpected(mapped.error());
    if (seen[*mapped]) return std::unexpected(ExchangeError::DuplicateTile{});
    seen[*mapped] = true;
    physical[i] = *mapped;
  }
  board.writer.drain();

  std::vector<std::uint64_t> busy(tile_count, 0);
  std::uint64_t duration = 1;
  for (std::size_t i = 0; i < step.tiles.size(); ++i) {
    std::byte* sram = board.memory.map(physical[i]);
    if (sram == nullptr) return std::unexpected(ExchangeError::Schedule{unmappable_reason});
    TileContext context(step.tiles[i], physical[i], sram, step.cycles);
    if (function) {
      if (auto done = function(context); !done) return std::unexpected(done.error());
    }
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
    auto source = board.topology.physical(transfer.source);
    if (!source) return std::unexpected(source.error());
    if (transfer.size == 0) return std::unexpected(ExchangeError::Count{0});
    if (!detail::in_sram(transfer.source_address, transfer.size)) {
      return std::unexpected(ExchangeError::Address{transfer.source_address});
    }
    if (transfer.receivers.empty()) return std::unexpected(ExchangeError::ReceiverSet{});
    receivers.clear();
    for (const Receiver& receiver : transfer.receivers) {
      auto target = board.locate(receiver.tile, receiver.address, transfer.size);
      if (!target) return std::unexpected(target.error());
      receivers.push_back(*target);
      writes.push_back(Write{*target, receiver.address, std::uint64_t{receiver.address} + transfer.size});
    }
    std::ranges::sort(receivers);
    if (std::ranges::adjacent_find(receivers) != receivers.end()) {
      return std::unexpected(ExchangeError::DuplicateTile{});
    }
    sources[t] = *source;
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
      return std::unexpected(ExchangeError::Schedule{unmappable_reason});
    }
  }

  // Snapshot every source first, so that each reads what it held when the
  // phase began, then deliver.
  board.writer.drain();
  std::vector<std::byte> stage(staged);
  std::size_t at = 0;
  for (std::size_t t = 0; t < phase.transfers.size(); ++t) {
    const Transfer& transfer = phase.transfers[t];
    board.memory.read(sources[t], transfer.source_address, std::span(stage).subspan(at, transfer.size));
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
      std::memcpy(board.memory.map(target) + receiver.address, stage.data() + at, transfer.size);
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
  auto physical = impl_->locate(tile, address, size);
  if (!physical) return std::unexpected(physical.error());
  impl_->writer.drain();
  std::vector<std::byte> data(size);
  impl_->memory.read(*physical, address, data);
  impl_->readback(*physical, address, data);
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
  return impl_->fault;
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

std::expected<TileCycles, ExchangeError> Board::tile_cycles(std::uint16_t tile) const {
  std::lock_guard lock(impl_->mutex);
  auto physical = impl_->topology.physical(tile);
  if (!physical) return std::unexpected(physical.error());
  return impl_->recorder.totals(*physical);
}

std::vector<StepRecord> Board::steps() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->recorder.steps();
}

std::expected<std::vector<TileSample>, ExchangeError> Board::samples(std::uint16_t tile) const {
  std::lock_guard lock(impl_->mutex);
  auto physical = impl_->topology.physical(tile);
  if (!physical) return std::unexpected(physical.error());
  if (!impl_->recorder.profiling()) return std::vector<TileSample>{};
  return impl_->recorder.samples(*physical);
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
