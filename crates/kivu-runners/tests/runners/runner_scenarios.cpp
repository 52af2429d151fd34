#include "runner_scenarios.hpp"

#include "kivu_exchange.hpp"

namespace kivu_runner::testing {

namespace {

// The logical tiles at physical positions 0..63 of row 0, then at position
// 17 of rows 1..22: every value of both endpoint fields.
std::string host_route_tiles() {
  const auto topology = kivu_exchange::Topology::halcyon();
  std::string list;
  const auto add = [&](unsigned physical) {
    if (!list.empty()) list += ',';
    list += std::to_string(topology.logical(static_cast<std::uint16_t>(physical)).value());
  };
  for (unsigned position = 0; position < 64; ++position) add(position);
  for (unsigned row = 1; row < 23; ++row) add(64 * row + 17);
  return list;
}

}  // namespace

std::vector<Scenario> suite_scenarios() {
  const std::string host = KIVU_HOST_E2E;
  const std::string graph = KIVU_HARDWARE_E2E;
  const std::string random = KIVU_RANDOMIZED_E2E;
  return {
      {"distinct_sources_write_disjoint_host_ranges",
       host,
       {{"KIVU_HOST_TEST_TILES", "1471,274"}, {"KIVU_HOST_TEST_BYTES", "64"}}},
      {"h2d_compute_d2d_compute_d2h_composes",
       host,
       {{"KIVU_HOST_TEST_COMPUTE_RELAY", "1"}, {"KIVU_HOST_TEST_BYTES", "4"}}},
      {"high_address_large_h2d_and_d2h_round_trip",
       host,
       {{"KIVU_HOST_TEST_TILE", "100"}, {"KIVU_HOST_TEST_BYTES", "65536"}, {"KIVU_HOST_TEST_ADDRESS", "0x60000"}}},
      {"initialized_d2d_relay_reaches_the_host",
       host,
       {{"KIVU_HOST_TEST_EXCHANGE", "1"}, {"KIVU_HOST_TEST_INITIALIZED_EXCHANGE", "1"}}},
      {"initialized_local_tile_reaches_the_host", host, {{"KIVU_HOST_TEST_D2H_ONLY", "1"}}},
      {"initialized_remote_tile_reaches_the_host",
       host,
       {{"KIVU_HOST_TEST_REMOTE_D2H", "1"}, {"KIVU_HOST_TEST_TILE", "1471"}, {"KIVU_HOST_TEST_BYTES", "8192"}}},
      {"large_h2d_timed_relay_and_d2h_compose",
       host,
       {{"KIVU_HOST_TEST_EXCHANGE", "1"}, {"KIVU_HOST_TEST_BYTES", "2048"}}},
      {"local_round_trip_uses_the_defaults", host, {}},
      {"remote_tile_round_trip_works", host, {{"KIVU_HOST_TEST_TILE", "1471"}, {"KIVU_HOST_TEST_BYTES", "8192"}}},
      {"random_trip_one_reaches_eight_tiles",
       host,
       {{"KIVU_HOST_TEST_TILES", "34,71,144,956,1104,1157,1243,1300"}, {"KIVU_HOST_TEST_BYTES", "4"}}},
      {"random_trip_two_reaches_eight_tiles",
       host,
       {{"KIVU_HOST_TEST_TILES", "11,19,108,451,536,647,846,958"}, {"KIVU_HOST_TEST_BYTES", "1024"}}},
      {"random_trip_three_reaches_eight_tiles",
       host,
       {{"KIVU_HOST_TEST_TILES", "19,82,416,602,829,893,1065,1187"}, {"KIVU_HOST_TEST_BYTES", "8192"}}},
      {"host_routes_reach_every_endpoint_field",
       host,
       {{"KIVU_HOST_TEST_TILES", host_route_tiles()}, {"KIVU_HOST_TEST_BYTES", "64"}}},
      {"fanout_graph_reaches_every_tile", graph, {{"KIVU_GRAPH_TEST", "fanout"}}},
      {"reduction_graph_sums_every_tile", graph, {{"KIVU_GRAPH_TEST", "reduction"}}},
      {"permutation_graph_moves_every_tile", graph, {{"KIVU_GRAPH_TEST", "permutation"}}},
      {"sparse_compute_then_all_tile_exchange_works", graph, {{"KIVU_GRAPH_TEST", "reduction-permutation"}}},
      {"multicast_receiver_sends_its_old_data", graph, {{"KIVU_GRAPH_TEST", "multicast"}}},
      {"compiled_add_spans_segmented_arenas", graph, {{"KIVU_GRAPH_TEST", "compiler-segmented-add"}}},
      {"random_graph_of_the_first_seed_runs", random, {{"KIVU_RANDOM_SEED", "4850185854117627181"}}},
      {"random_graph_of_the_second_seed_runs", random, {{"KIVU_RANDOM_SEED", "7640891576956012809"}}},
      {"random_graph_of_the_third_seed_runs", random, {{"KIVU_RANDOM_SEED", "13503953896175478587"}}},
  };
}

}  // namespace kivu_runner::testing
