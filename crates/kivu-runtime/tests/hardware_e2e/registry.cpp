#include "registry.hpp"

#include <gtest/gtest.h>

#include "cases.hpp"
#include "failure.hpp"

namespace kivu_e2e {

const std::array<CaseEntry, 20> case_registry = {{
    {"all_tile_permutation_works", all_tile_permutation_works},
    {"all_tile_reduction_works", all_tile_reduction_works},
    {"blocked_gemm_with_cycle_profile_works", blocked_gemm_with_cycle_profile_works},
    {"compiler_segmented_allocation_executes_on_hardware", compiler_segmented_allocation_executes_on_hardware},
    {"direct_multicast_works", direct_multicast_works},
    {"distinct_sources_can_write_disjoint_host_ranges", distinct_sources_can_write_disjoint_host_ranges},
    {"flash_attention_matches_host_softmax_across_encoder_shapes",
     flash_attention_matches_host_softmax_across_encoder_shapes},
    {"h2d_compute_d2d_compute_d2h_works", h2d_compute_d2d_compute_d2h_works},
    {"high_address_large_h2d_and_d2h_work", high_address_large_h2d_and_d2h_work},
    {"host_routes_cover_every_endpoint_field", host_routes_cover_every_endpoint_field},
    {"initialized_d2d_relay_and_d2h_work", initialized_d2d_relay_and_d2h_work},
    {"initialized_local_tile_d2h_works", initialized_local_tile_d2h_works},
    {"initialized_remote_tile_d2h_works", initialized_remote_tile_d2h_works},
    {"large_h2d_timed_relay_and_d2h_composition_works", large_h2d_timed_relay_and_d2h_composition_works},
    {"local_h2d_and_d2h_round_trip_works", local_h2d_and_d2h_round_trip_works},
    {"multicast_receiver_can_send_in_same_phase", multicast_receiver_can_send_in_same_phase},
    {"randomized_multi_tile_host_round_trips_work", randomized_multi_tile_host_round_trips_work},
    {"randomized_static_d2d_graphs_work", randomized_static_d2d_graphs_work},
    {"remote_tile_h2d_and_d2h_work", remote_tile_h2d_and_d2h_work},
    {"sparse_compute_to_dense_exchange_works", sparse_compute_to_dense_exchange_works},
}};

namespace {

// Runs one case; a CaseFailure becomes the test's failure, reported at the
// place in the case sources that failed, with the case's exact message.
class CaseTest : public testing::Test {
public:
  explicit CaseTest(void (*function)()) : function_(function) {}

  void TestBody() override {
    try {
      function_();
    } catch (const CaseFailure& failure) {
      // Reported as the message alone (ADD_FAILURE would put "Failed" before it).
      GTEST_MESSAGE_AT_(failure.where().file_name(), static_cast<int>(failure.where().line()),
                        failure.message().c_str(), testing::TestPartResult::kFatalFailure);
    }
  }

private:
  void (*function_)();
};

}  // namespace

void register_cases() {
  for (const CaseEntry& entry : case_registry) {
    testing::RegisterTest("hardware_e2e", entry.name, nullptr, nullptr, __FILE__, __LINE__,
                          [function = entry.function]() -> testing::Test* { return new CaseTest(function); });
  }
}

}  // namespace kivu_e2e
