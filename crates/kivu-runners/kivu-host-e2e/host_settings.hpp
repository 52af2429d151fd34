// What kivu-host-e2e runs, from its environment variables.
//
//   KIVU_HOST_TEST_TILE      the tile addressed (decimal, default 0; 1471
//                            for a remote D2H)
//   KIVU_HOST_TEST_TILES     several tiles, "a,b,c" (instead of TILE), each
//                            with its own data and its own host range
//   KIVU_HOST_TEST_BYTES     bytes per transfer (decimal, default 256)
//   KIVU_HOST_TEST_ADDRESS   tile-memory address ("0x..", default 0x1000)
//   KIVU_HOST_TEST_D2H_ONLY  "1": D2H of data initialised by the device
//   KIVU_HOST_TEST_REMOTE_D2H "1": the same on a remote tile
//   KIVU_HOST_TEST_EXCHANGE  "1": H2D, a timed D2D relay to another tile, D2H
//   KIVU_HOST_TEST_INITIALIZED_EXCHANGE "1": the relayed data is initialised
//                            by the device instead of written by the host
//   KIVU_HOST_TEST_COMPUTE_RELAY "1": H2D, compute, D2D, compute, D2H
// With none of the flags, each tile gets an H2D and D2H round trip. At most
// one of D2H_ONLY, REMOTE_D2H, EXCHANGE and COMPUTE_RELAY may be set, and a
// relay works on one tile (TILE); the rest is bad input.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "kivu_runner/run_error.hpp"
#include "kivu_runner/runner_help.hpp"

namespace kivu_host_e2e {

enum class Scenario {
  RoundTrip,       // H2D then D2H, per tile
  InitializedD2H,  // device-initialised data, D2H, per tile
  Relay,           // H2D or device init, D2D relay, D2H
  ComputeRelay,    // H2D, compute, D2D, compute, D2H
};

struct HostSettings {
  Scenario scenario = Scenario::RoundTrip;
  bool initialized_relay = false;    // Relay: the device writes the data
  std::vector<std::uint16_t> tiles;  // at least one
  std::uint32_t bytes = 0;
  std::uint32_t address = 0;
};

inline constexpr std::uint16_t default_tile = 0;
inline constexpr std::uint16_t default_remote_tile = 1471;
inline constexpr std::uint32_t default_bytes = 256;
inline constexpr std::uint32_t default_address = 0x1000;

// Reads and checks the variables; bad input names the variable at fault.
[[nodiscard]] kivu_runner::Checked<HostSettings> read_host_settings();

// The variables above for --help, with the values each accepts and its
// default, taken from the constants read_host_settings checks against.
[[nodiscard]] std::vector<kivu_runner::HelpVariable> host_help_variables();

// A short name of the scenario for progress lines.
[[nodiscard]] std::string_view scenario_name(const HostSettings& settings);

}  // namespace kivu_host_e2e
