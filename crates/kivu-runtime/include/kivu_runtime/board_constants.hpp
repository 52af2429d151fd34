// The fixed dimensions and costs of the simulated halcyon board.
//
// Every tile owns tile_sram_bytes of SRAM, addressed from 0. The host link
// carries at most host_packet_max_payload bytes of data per packet, so a
// large transfer travels as many packets. Device time is counted in cycles
// of a clock running at clock_hz; the cycle costs below are what the model
// charges for exchange and synchronisation (compute costs are given by each
// compute step).
#pragma once

#include <cstddef>
#include <cstdint>

#include "kivu_exchange.hpp"

namespace kivu_runtime {

// =============================================================================
// Shape

// Number of tiles on the board (logical and physical numbers 0 .. 1471).
inline constexpr std::uint16_t tile_count = kivu_exchange::halcyon_tile_count;

// SRAM of one tile: 624 KiB, addresses 0 .. 0x9BFFF.
inline constexpr std::uint32_t tile_sram_bytes = kivu_exchange::halcyon_tile_sram_bytes;

// Largest data payload of one host packet.
inline constexpr std::uint32_t host_packet_max_payload = 256;

// =============================================================================
// Time

// The model's device clock: 1.85 GHz.
inline constexpr std::uint64_t clock_hz = 1'850'000'000;

// Fixed cost, per participating tile, of starting an exchange phase.
inline constexpr std::uint64_t exchange_latency_cycles = 32;
// Bytes a tile moves per cycle on the exchange fabric (sent plus received).
inline constexpr std::uint64_t exchange_bytes_per_cycle = 8;
// Cost of one synchronisation across all tiles.
inline constexpr std::uint64_t sync_cycles = 150;

}  // namespace kivu_runtime
