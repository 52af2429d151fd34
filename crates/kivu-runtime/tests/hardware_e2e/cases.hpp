// The suite's 20 cases, by the file that holds them. Each is a plain
// function: it passes by returning and fails by throwing CaseFailure. The
// registry (registry.cpp) lists them in ascending order of name.
#pragma once

namespace kivu_e2e {

// host_transfer_cases.cpp: fixed scenarios of the host-transfer runner.
void distinct_sources_can_write_disjoint_host_ranges();
void h2d_compute_d2d_compute_d2h_works();
void high_address_large_h2d_and_d2h_work();
void initialized_d2d_relay_and_d2h_work();
void initialized_local_tile_d2h_works();
void initialized_remote_tile_d2h_works();
void large_h2d_timed_relay_and_d2h_composition_works();
void local_h2d_and_d2h_round_trip_works();
void remote_tile_h2d_and_d2h_work();

// exchange_graph_cases.cpp: the graph runner's named graphs and FlashAttention.
void all_tile_permutation_works();
void all_tile_reduction_works();
void compiler_segmented_allocation_executes_on_hardware();
void direct_multicast_works();
void multicast_receiver_can_send_in_same_phase();
void sparse_compute_to_dense_exchange_works();
void flash_attention_matches_host_softmax_across_encoder_shapes();

// randomized_cases.cpp: seeded random graphs and host round trips.
void randomized_static_d2d_graphs_work();
void randomized_multi_tile_host_round_trips_work();

// host_route_case.cpp: host routes to every row and every position of a row.
void host_routes_cover_every_endpoint_field();

// gemm_profile_case.cpp: blocked GEMM whose cycle profile is read back.
void blocked_gemm_with_cycle_profile_works();

}  // namespace kivu_e2e
