#include "host_settings.hpp"

#include <array>
#include <string>

#include <fmt/core.h>

#include "kivu_base/expected.hpp"
#include "kivu_runner/environment.hpp"
#include "kivu_runner/progress.hpp"
#include "kivu_runner/runner_help.hpp"
#include "kivu_runtime/board_constants.hpp"

namespace kivu_host_e2e {

using kivu_runner::Checked;

namespace {

constexpr const char* tile_variable = "KIVU_HOST_TEST_TILE";
constexpr const char* tiles_variable = "KIVU_HOST_TEST_TILES";
constexpr const char* bytes_variable = "KIVU_HOST_TEST_BYTES";
constexpr const char* address_variable = "KIVU_HOST_TEST_ADDRESS";
constexpr const char* d2h_only_variable = "KIVU_HOST_TEST_D2H_ONLY";
constexpr const char* remote_d2h_variable = "KIVU_HOST_TEST_REMOTE_D2H";
constexpr const char* exchange_variable = "KIVU_HOST_TEST_EXCHANGE";
constexpr const char* initialized_exchange_variable = "KIVU_HOST_TEST_INITIALIZED_EXCHANGE";
constexpr const char* compute_relay_variable = "KIVU_HOST_TEST_COMPUTE_RELAY";

// The scenario flags, at most one of them, and whether the relay starts
// from data the tile initialized: the scenario chosen in `settings`, and the
// variable that chose it (nullptr for the default).
Checked<const char*> read_scenario(HostSettings& settings) {
  struct ScenarioFlag {
    const char* variable;
    Scenario scenario;
  };
  constexpr std::array flags{
      ScenarioFlag{d2h_only_variable, Scenario::InitializedD2H},
      ScenarioFlag{remote_d2h_variable, Scenario::InitializedD2H},
      ScenarioFlag{exchange_variable, Scenario::Relay},
      ScenarioFlag{compute_relay_variable, Scenario::ComputeRelay},
  };
  const char* chosen = nullptr;
  for (const ScenarioFlag& candidate : flags) {
    KIVU_ASSIGN_OR_RETURN(const bool on, kivu_runner::flag(candidate.variable));
    if (!on) continue;
    if (chosen != nullptr) {
      return std::unexpected(
          kivu_runner::bad_value(candidate.variable, std::string("\"0\" or unset together with ") + chosen + "=1"));
    }
    chosen = candidate.variable;
    settings.scenario = candidate.scenario;
  }
  KIVU_ASSIGN_OR_RETURN(const bool initialized, kivu_runner::flag(initialized_exchange_variable));
  if (initialized) {
    if (settings.scenario != Scenario::Relay) {
      return std::unexpected(kivu_runner::bad_value(initialized_exchange_variable,
                                                    std::string("\"0\" or unset unless ") + exchange_variable + "=1"));
    }
    settings.initialized_relay = true;
  }
  return chosen;
}

// The tiles: one (TILE) or a list (TILES); a remote read defaults to a
// tile of its own.
Checked<void> read_tiles(HostSettings& settings, bool remote) {
  KIVU_ASSIGN_OR_RETURN(auto list, kivu_runner::tile_list(tiles_variable));
  if (list) {
    if (kivu_host::environment_value(tile_variable)) {
      return std::unexpected(
          kivu_runner::bad_value(tiles_variable, std::string("unset when ") + tile_variable + " is set"));
    }
    if (settings.scenario == Scenario::Relay || settings.scenario == Scenario::ComputeRelay) {
      return std::unexpected(kivu_runner::bad_value(
          tiles_variable, std::string("unset for a relay, which takes one tile from ") + tile_variable));
    }
    settings.tiles = std::move(*list);
  } else {
    KIVU_ASSIGN_OR_RETURN(const std::uint16_t tile,
                          kivu_runner::tile_or(tile_variable, remote ? default_remote_tile : default_tile));
    settings.tiles = {tile};
  }
  return {};
}

// Where and how much: an address in SRAM and a byte count that fits from it.
Checked<void> read_extent(HostSettings& settings) {
  KIVU_ASSIGN_OR_RETURN(settings.address,
                        kivu_runner::hex_address_or(address_variable, default_address, kivu_runtime::tile_sram_bytes));
  KIVU_ASSIGN_OR_RETURN(const std::uint64_t bytes,
                        kivu_runner::decimal_or(bytes_variable, default_bytes, kivu_runtime::tile_sram_bytes));
  const std::uint64_t room = kivu_runtime::tile_sram_bytes - settings.address;
  if (bytes == 0 || bytes > room) {
    return std::unexpected(kivu_runner::bad_value(bytes_variable, "a byte count from 1 to " + std::to_string(room) +
                                                                      ", which fits in SRAM from address " +
                                                                      kivu_runner::hex(settings.address)));
  }
  settings.bytes = static_cast<std::uint32_t>(bytes);
  return {};
}

}  // namespace

Checked<HostSettings> read_host_settings() {
  HostSettings settings;
  KIVU_ASSIGN_OR_RETURN(const char* chosen, read_scenario(settings));
  const bool remote = chosen != nullptr && std::string_view(chosen) == remote_d2h_variable;
  KIVU_RETURN_IF_ERROR(read_tiles(settings, remote));
  KIVU_RETURN_IF_ERROR(read_extent(settings));
  return settings;
}

std::vector<kivu_runner::HelpVariable> host_help_variables() {
  const std::string tiles = fmt::format("0 to {}", kivu_runtime::tile_count - 1);
  return {
      {tile_variable,
       fmt::format("{}; default {} ({} with {})", tiles, default_tile, default_remote_tile, remote_d2h_variable),
       "the tile addressed"},
      {tiles_variable, fmt::format("a list \"a,b,c\" of tiles {}; default unset", tiles),
       fmt::format("several tiles instead of {}, each with its own data (not for a relay)", tile_variable)},
      {bytes_variable, fmt::format("1 to the SRAM left above the address; default {}", default_bytes),
       "bytes per transfer"},
      {address_variable,
       fmt::format("hexadecimal \"0x...\" below {:#x}; default {:#x}", kivu_runtime::tile_sram_bytes, default_address),
       "the tile-memory address"},
      {d2h_only_variable, "0 or 1; default 0", "with 1, D2H of data the device initialised"},
      {remote_d2h_variable, "0 or 1; default 0", "with 1, the same on a remote tile"},
      {exchange_variable, "0 or 1; default 0", "with 1, H2D, a timed D2D relay to another tile, D2H"},
      {initialized_exchange_variable, "0 or 1; default 0",
       fmt::format("with 1, the relayed data is initialised by the device (with {}=1)", exchange_variable)},
      {compute_relay_variable, "0 or 1; default 0", "with 1, H2D, compute, D2D, compute, D2H"},
  };
}

std::string_view scenario_name(const HostSettings& settings) {
  switch (settings.scenario) {
    case Scenario::RoundTrip: return "H2D and D2H round trip";
    case Scenario::InitializedD2H: return "D2H of device-initialised data";
    case Scenario::Relay:
      return settings.initialized_relay ? "initialised D2D relay and D2H" : "H2D, timed D2D relay and D2H";
    case Scenario::ComputeRelay: return "H2D, compute, D2D, compute and D2H";
  }
  return "unknown";
}

}  // namespace kivu_host_e2e
