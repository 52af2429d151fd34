// Host-write jitter: random delays on the host link's writes.
//
// With jitter on, every host write (the packets of one H2D transfer, or one
// raw write packet) is delayed by a random 0 .. max_us microseconds before
// it lands in tile memory, and up to host_write_workers writes are in
// flight at once, so writes land out of order. The delays are drawn from a
// generator seeded with `seed`, in the order the writes were sent. Writes in flight never overlap one another,
// and every read of tile memory (D2H, compute, exchange, readback) waits for
// them, so results do not depend on the jitter.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string_view>

#include "kivu_runtime/environment.hpp"

namespace kivu_runtime {

// Names of the variables read by host_write_jitter_from_environment.
inline constexpr const char* host_write_jitter_max_us_variable = "KIVU_HOST_WRITE_JITTER_MAX_US";
inline constexpr const char* host_write_jitter_seed_variable = "KIVU_HOST_WRITE_JITTER_SEED";

// Seed used when KIVU_HOST_WRITE_JITTER_SEED is unset.
inline constexpr std::uint64_t default_host_write_jitter_seed = 0x6b697675;
// Largest accepted delay bound: one second.
inline constexpr std::uint32_t max_host_write_jitter_us = 1'000'000;
// Host writes in flight at once when jitter is on.
inline constexpr unsigned host_write_workers = 4;

// Jitter settings. max_us == 0 means no jitter: writes land at once, in order.
struct HostWriteJitter {
  std::uint32_t max_us = 0;
  std::uint64_t seed = default_host_write_jitter_seed;

  bool operator==(const HostWriteJitter&) const = default;
};

// Settings from the two variables' values (absent when unset): max_us an
// unsigned decimal up to max_host_write_jitter_us (default 0), seed an
// unsigned 64-bit decimal (default default_host_write_jitter_seed).
[[nodiscard]] std::expected<HostWriteJitter, kivu_host::EnvironmentError> parse_host_write_jitter(
    std::optional<std::string_view> max_us, std::optional<std::string_view> seed);

// Settings from the process environment.
[[nodiscard]] std::expected<HostWriteJitter, kivu_host::EnvironmentError> host_write_jitter_from_environment();

}  // namespace kivu_runtime
