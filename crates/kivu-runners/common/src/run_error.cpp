#include "kivu_runner/run_error.hpp"

#include <sstream>

#include <fmt/core.h>

#include "kivu_exchange.hpp"

namespace kivu_runner {

RunError::RunError(const kivu_host::EnvironmentError& error) : status_(exit_bad_input), message_(error.message()) {}

RunError RunError::missing(std::string_view variable, std::string_view expected) {
  return RunError(exit_bad_input, "missing " + std::string(variable) + ": expected " + std::string(expected));
}

RunError RunError::failed(std::string message) { return RunError(exit_failed, std::move(message)); }

RunError RunError::mismatch(std::string message, MismatchLocation location) {
  RunError error(exit_failed, std::move(message));
  error.location_ = location;
  return error;
}

namespace {

std::string value_hex(std::uint64_t value, unsigned width) { return fmt::format("{:#0{}x}", value, 2 + 2 * width); }

}  // namespace

std::string describe(const MismatchLocation& location) {
  return fmt::format("on board {}, tile {} (physical {}: {}) at {}: got {}, expected {}", location.board, location.tile,
                     location.physical_tile,
                     kivu_exchange::to_string(kivu_exchange::tile_place(location.physical_tile)),
                     fmt::format("{:#x}", location.address), value_hex(location.actual, location.width),
                     value_hex(location.expected, location.width));
}

std::string location_line(const MismatchLocation& location) {
  const auto place = kivu_exchange::tile_place(location.physical_tile);
  return fmt::format(
      "location board={} tile={} physical_tile={} row={} position={} address={:#x} expected={} "
      "actual={} values={} tiles={}",
      location.board, location.tile, location.physical_tile, place.row, place.position, location.address,
      value_hex(location.expected, location.width), value_hex(location.actual, location.width), location.values,
      location.tiles);
}

std::string error_text(const kivu_exchange::ExchangeError& error) {
  std::ostringstream out;
  out << error;
  return out.str();
}

}  // namespace kivu_runner
