// Fixed host-to-device (H2D), device-to-host (D2H) and device-to-device (D2D)
// relay scenarios of the host-transfer runner kivu-host-e2e. Each case is one
// environment list and one scenario description; the runner does the work
// and reports through its exit status.
#include "cases.hpp"
#include "frame.hpp"

namespace kivu_e2e {

void distinct_sources_can_write_disjoint_host_ranges() {
  const auto _device = device();
  const auto status = host_test({{"KIVU_HOST_TEST_TILES", "1471,274"}, {"KIVU_HOST_TEST_BYTES", "64"}});
  require_success("distinct multi-source D2H", status);
}

void h2d_compute_d2d_compute_d2h_works() {
  const auto _device = device();
  const auto status = host_test({{"KIVU_HOST_TEST_COMPUTE_RELAY", "1"}, {"KIVU_HOST_TEST_BYTES", "4"}});
  require_success("H2D, compute, D2D, compute, and D2H composition", status);
}

void high_address_large_h2d_and_d2h_work() {
  const auto _device = device();
  const auto status = host_test(
      {{"KIVU_HOST_TEST_TILE", "100"}, {"KIVU_HOST_TEST_BYTES", "65536"}, {"KIVU_HOST_TEST_ADDRESS", "0x60000"}});
  require_success("64-KiB high-address H2D and D2H", status);
}

void initialized_d2d_relay_and_d2h_work() {
  const auto _device = device();
  const auto status = host_test({{"KIVU_HOST_TEST_EXCHANGE", "1"}, {"KIVU_HOST_TEST_INITIALIZED_EXCHANGE", "1"}});
  require_success("initialized D2D relay and D2H", status);
}

void initialized_local_tile_d2h_works() {
  const auto _device = device();
  const auto status = host_test({{"KIVU_HOST_TEST_D2H_ONLY", "1"}});
  require_success("initialized tile D2H", status);
}

void initialized_remote_tile_d2h_works() {
  const auto _device = device();
  const auto status = host_test(
      {{"KIVU_HOST_TEST_REMOTE_D2H", "1"}, {"KIVU_HOST_TEST_TILE", "1471"}, {"KIVU_HOST_TEST_BYTES", "8192"}});
  require_success("remote-tile initialized D2H", status);
}

void large_h2d_timed_relay_and_d2h_composition_works() {
  const auto _device = device();
  const auto status = host_test({{"KIVU_HOST_TEST_EXCHANGE", "1"}, {"KIVU_HOST_TEST_BYTES", "2048"}});
  require_success("large H2D, timed D2D relay, and D2H composition", status);
}

void local_h2d_and_d2h_round_trip_works() {
  const auto _device = device();
  // No variables: the runner's defaults choose the tile and the size.
  const auto status = host_test({});
  require_success("local H2D and D2H", status);
}

void remote_tile_h2d_and_d2h_work() {
  const auto _device = device();
  const auto status = host_test({{"KIVU_HOST_TEST_TILE", "1471"}, {"KIVU_HOST_TEST_BYTES", "8192"}});
  require_success("remote-tile H2D and D2H", status);
}

}  // namespace kivu_e2e
