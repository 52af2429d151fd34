// Named device-to-device exchange graphs of the graph runner
// kivu-hardware-e2e, selected by KIVU_GRAPH_TEST, and FP16 FlashAttention on
// its own runner. None of these forwards the host-write jitter settings.
#include "cases.hpp"
#include "frame.hpp"

namespace kivu_e2e {

namespace {

// Runs the graph runner on `graph` and requires success.
void graph_case(std::string_view graph, std::string_view launch_message, std::string_view description,
                std::source_location where = std::source_location::current()) {
  const auto _device = device();
  Command command(runner_path("kivu-hardware-e2e"));
  command.env("KIVU_GRAPH_TEST", graph);
  require_success(description, run(command, launch_message, where), where);
}

}  // namespace

void all_tile_permutation_works() {
  graph_case("permutation", "launch permutation hardware test runner", "all-tile permutation graph");
}

void all_tile_reduction_works() {
  graph_case("reduction", "launch reduction hardware test runner", "all-tile reduction graph");
}

void compiler_segmented_allocation_executes_on_hardware() {
  // The compiler-generated program runs on the graph runner, not on a runner of its own.
  graph_case("compiler-segmented-add", "launch compiler allocation hardware test runner",
             "compiler-generated add spanning segmented SRAM arenas");
}

void direct_multicast_works() {
  // The single-source multicast is the runner's "fanout" graph.
  graph_case("fanout", "launch direct multicast hardware test runner", "single-source multicast graph");
}

void multicast_receiver_can_send_in_same_phase() {
  graph_case("multicast", "launch multicast hardware test runner",
             "multicast graph with a receiver that sends in the same phase");
}

void sparse_compute_to_dense_exchange_works() {
  graph_case("reduction-permutation", "launch compute-to-exchange hardware test runner",
             "sparse compute followed by an all-tile exchange");
}

void flash_attention_matches_host_softmax_across_encoder_shapes() {
  const auto _device = device();
  // No variables: the runner chooses the encoder shapes itself.
  const Command command(runner_path("kivu-attention-f16-e2e"));
  require_success("FP16 FlashAttention for encoder head dimensions and batch sizes",
                  run(command, "launch FlashAttention hardware test runner"));
}

}  // namespace kivu_e2e
