// Host routes to tiles whose physical numbers together use every value of
// each field of a physical tile number: all 64 positions of row 0, then
// position 17 of each of the rows 1 to 22. The runner takes logical numbers,
// so each physical tile is translated back through the halcyon topology.
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "cases.hpp"
#include "frame.hpp"
#include <kivu_exchange.hpp>

namespace kivu_e2e {

namespace {

// The logical tile whose physical number is `physical`.
std::uint16_t logical_tile(const kivu_exchange::Topology& topology, std::uint16_t physical) {
  const auto found = topology.logical(physical);
  if (!found) {
    std::ostringstream debug;
    debug << found.error();
    fail_unwrap(debug.str());
  }
  return *found;
}

}  // namespace

void host_routes_cover_every_endpoint_field() {
  const auto _device = device();
  const auto topology = kivu_exchange::Topology::halcyon();

  std::vector<std::uint16_t> physical_tiles;
  for (std::uint16_t position = 0; position < kivu_exchange::halcyon_row_length; ++position) {
    physical_tiles.push_back(kivu_exchange::physical_at({0, position}));
  }
  for (std::uint16_t row = 1; row < kivu_exchange::halcyon_row_count; ++row) {
    physical_tiles.push_back(kivu_exchange::physical_at({row, 17}));
  }

  std::string logical_tiles;
  for (const std::uint16_t physical : physical_tiles) {
    if (!logical_tiles.empty()) logical_tiles += ',';
    logical_tiles += std::to_string(logical_tile(topology, physical));
  }

  const auto status = host_test({{"KIVU_HOST_TEST_TILES", logical_tiles}, {"KIVU_HOST_TEST_BYTES", "64"}});
  require_success("host routes spanning every endpoint field", status);
}

}  // namespace kivu_e2e
