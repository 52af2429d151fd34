// The simulated board's host link: H2D and D2H cut into host packets, and
// the device side that decodes each packet and routes it to a tile's SRAM,
// reads at once and writes through the host writer.
#include <algorithm>
#include <string>

#include "board_impl.hpp"
#include "kivu_base/expected.hpp"
#include "kivu_runtime/host_packet.hpp"

namespace kivu_runtime {

using kivu_exchange::ExchangeError;

namespace {

// Count error for a size that does not fit the board's 32-bit counts.
std::expected<std::uint32_t, ExchangeError> transfer_size(std::size_t size) {
  if (size == 0) return std::unexpected(ExchangeError::Count{0});
  if (size > UINT32_MAX) return std::unexpected(ExchangeError::Count{UINT32_MAX});
  return static_cast<std::uint32_t>(size);
}

}  // namespace

// =============================================================================
// Device side

std::expected<void, ExchangeError> Board::Impl::receive(std::vector<std::byte> packet, std::vector<std::byte>& read_out,
                                                        std::vector<detail::HostWriter::Piece>& write_out) {
  KIVU_ASSIGN_OR_RETURN(const auto decoded, decode_host_packet(packet));
  const HostPacketHeader header = decoded.header;
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
  if (base == nullptr) return std::unexpected(ExchangeError::Schedule{detail::unmappable_reason});
  // A bad tile stores a flipped bit of the first write that reaches it.
  (void)flip_passing(physical, header.address, std::span(packet).subspan(host_packet_header_bytes, header.length));
  write_out.push_back({base + header.address, std::move(packet), host_packet_header_bytes, header.length});
  return {};
}

// =============================================================================
// Host side

std::expected<void, ExchangeError> Board::Impl::d2h_into(std::uint16_t logical, std::uint32_t address,
                                                         std::span<std::byte> out) {
  KIVU_ASSIGN_OR_RETURN(const std::uint32_t size, transfer_size(out.size()));
  KIVU_ASSIGN_OR_RETURN(const std::uint16_t physical, locate(logical, address, size));
  KIVU_ASSIGN_OR_RETURN(const auto route, route_to(physical));
  std::vector<std::byte> data;
  data.reserve(out.size());
  std::vector<detail::HostWriter::Piece> no_writes;
  for (std::uint32_t offset = 0; offset < size; offset += host_packet_max_payload) {
    const auto length = static_cast<std::uint16_t>(std::min(host_packet_max_payload, size - offset));
    KIVU_ASSIGN_OR_RETURN(auto packet, encode_host_packet({HostPacketKind::Read, route, address + offset, length}));
    KIVU_RETURN_IF_ERROR(receive(std::move(packet), data, no_writes));
  }
  readback(physical, address, data);
  std::ranges::copy(data, out.begin());
  ++counters.host_reads;
  counters.d2h_bytes += size;
  return {};
}

std::expected<void, ExchangeError> Board::h2d(std::uint16_t tile, std::uint32_t address,
                                              std::span<const std::byte> data) {
  std::lock_guard lock(impl_->mutex);
  KIVU_ASSIGN_OR_RETURN(const std::uint32_t size, transfer_size(data.size()));
  KIVU_ASSIGN_OR_RETURN(const std::uint16_t physical, impl_->locate(tile, address, size));
  KIVU_ASSIGN_OR_RETURN(const auto route, route_to(physical));
  std::vector<std::byte> no_reads;
  std::vector<detail::HostWriter::Piece> pieces;
  pieces.reserve((size + host_packet_max_payload - 1) / host_packet_max_payload);
  for (std::uint32_t offset = 0; offset < size; offset += host_packet_max_payload) {
    const auto length = static_cast<std::uint16_t>(std::min(host_packet_max_payload, size - offset));
    KIVU_ASSIGN_OR_RETURN(auto packet, encode_host_packet({HostPacketKind::Write, route, address + offset, length},
                                                          data.subspan(offset, length)));
    KIVU_RETURN_IF_ERROR(impl_->receive(std::move(packet), no_reads, pieces));
  }
  impl_->writer.submit(physical, address, size, std::move(pieces));
  ++impl_->counters.host_writes;
  impl_->counters.h2d_bytes += size;
  return {};
}

std::expected<std::vector<std::byte>, ExchangeError> Board::d2h(std::uint16_t tile, std::uint32_t address,
                                                                std::uint32_t size) {
  std::lock_guard lock(impl_->mutex);
  if (size == 0) return std::unexpected(ExchangeError::Count{0});
  // Checked before allocating, so a huge bad size costs nothing.
  KIVU_RETURN_IF_ERROR(impl_->locate(tile, address, size));
  std::vector<std::byte> data(size);
  KIVU_RETURN_IF_ERROR(impl_->d2h_into(tile, address, data));
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
  KIVU_RETURN_IF_ERROR(impl_->receive(std::vector<std::byte>(packet.begin(), packet.end()), read, write));
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

}  // namespace kivu_runtime
