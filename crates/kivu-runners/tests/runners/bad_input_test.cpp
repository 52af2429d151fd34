// Bad input to any runner gets exit status 2 and exactly one line on
// stderr that names the variable and shows its value (or says it is
// missing); nothing runs on the board.
#include <filesystem>
#include <optional>
#include <ostream>

#include <gtest/gtest.h>

#include "kivu_testing/child_process.hpp"
#include "kivu_version.hpp"

namespace kivu_runner::testing {

using kivu_testing::ChildResult;
using kivu_testing::Environment;
using kivu_testing::run_child;
namespace {

struct BadInput {
  std::string name;
  std::string runner;
  Environment environment;
  std::string variable;              // the variable the message must name
  std::optional<std::string> value;  // the value it must quote; nothing: "missing"
};

// Shown by GoogleTest (and CTest) in place of the parameter's raw bytes.
void PrintTo(const BadInput& input, std::ostream* out) { *out << input.name; }

std::vector<BadInput> bad_inputs() {
  const std::string host = KIVU_HOST_E2E;
  const std::string graph = KIVU_HARDWARE_E2E;
  const std::string random = KIVU_RANDOMIZED_E2E;
  return {
      {"verbosity_that_is_not_a_flag", graph, {{"KIVU_RUNNER_VERBOSE", "yes"}}, "KIVU_RUNNER_VERBOSE", "yes"},
      {"tile_that_is_not_a_number", host, {{"KIVU_HOST_TEST_TILE", "twelve"}}, "KIVU_HOST_TEST_TILE", "twelve"},
      {"tile_beyond_the_board", host, {{"KIVU_HOST_TEST_TILE", "1472"}}, "KIVU_HOST_TEST_TILE", "1472"},
      {"tile_with_a_sign", host, {{"KIVU_HOST_TEST_TILE", "-1"}}, "KIVU_HOST_TEST_TILE", "-1"},
      {"tile_list_with_an_empty_entry",
       host,
       {{"KIVU_HOST_TEST_TILES", "1471,,274"}},
       "KIVU_HOST_TEST_TILES",
       "1471,,274"},
      {"tile_list_with_a_trailing_comma", host, {{"KIVU_HOST_TEST_TILES", "1471,"}}, "KIVU_HOST_TEST_TILES", "1471,"},
      {"tile_list_with_a_blank", host, {{"KIVU_HOST_TEST_TILES", "1471, 274"}}, "KIVU_HOST_TEST_TILES", "1471, 274"},
      {"tile_list_beyond_the_board", host, {{"KIVU_HOST_TEST_TILES", "5,1472"}}, "KIVU_HOST_TEST_TILES", "5,1472"},
      {"tile_list_naming_a_tile_twice", host, {{"KIVU_HOST_TEST_TILES", "7,7"}}, "KIVU_HOST_TEST_TILES", "7,7"},
      {"byte_count_that_is_not_a_number", host, {{"KIVU_HOST_TEST_BYTES", "64k"}}, "KIVU_HOST_TEST_BYTES", "64k"},
      {"byte_count_of_zero", host, {{"KIVU_HOST_TEST_BYTES", "0"}}, "KIVU_HOST_TEST_BYTES", "0"},
      {"byte_count_beyond_sram",
       host,
       {{"KIVU_HOST_TEST_BYTES", "18446744073709551616"}},
       "KIVU_HOST_TEST_BYTES",
       "18446744073709551616"},
      {"address_beyond_sram", host, {{"KIVU_HOST_TEST_ADDRESS", "0x9c000"}}, "KIVU_HOST_TEST_ADDRESS", "0x9c000"},
      {"address_without_its_prefix", host, {{"KIVU_HOST_TEST_ADDRESS", "60000"}}, "KIVU_HOST_TEST_ADDRESS", "60000"},
      {"address_that_is_not_hexadecimal",
       host,
       {{"KIVU_HOST_TEST_ADDRESS", "0x6g000"}},
       "KIVU_HOST_TEST_ADDRESS",
       "0x6g000"},
      {"transfer_running_past_the_end_of_sram",
       host,
       {{"KIVU_HOST_TEST_ADDRESS", "0x9b000"}, {"KIVU_HOST_TEST_BYTES", "65536"}},
       "KIVU_HOST_TEST_BYTES",
       "65536"},
      {"flag_that_is_not_one_or_zero", host, {{"KIVU_HOST_TEST_EXCHANGE", "yes"}}, "KIVU_HOST_TEST_EXCHANGE", "yes"},
      {"two_scenario_flags_at_once",
       host,
       {{"KIVU_HOST_TEST_D2H_ONLY", "1"}, {"KIVU_HOST_TEST_COMPUTE_RELAY", "1"}},
       "KIVU_HOST_TEST_COMPUTE_RELAY",
       "1"},
      {"initialized_exchange_without_an_exchange",
       host,
       {{"KIVU_HOST_TEST_INITIALIZED_EXCHANGE", "1"}},
       "KIVU_HOST_TEST_INITIALIZED_EXCHANGE",
       "1"},
      {"host_jitter_bound_that_is_not_a_number",
       host,
       {{"KIVU_HOST_WRITE_JITTER_MAX_US", "fast"}},
       "KIVU_HOST_WRITE_JITTER_MAX_US",
       "fast"},
      {"host_jitter_seed_that_is_not_a_number",
       host,
       {{"KIVU_HOST_WRITE_JITTER_SEED", "seven"}},
       "KIVU_HOST_WRITE_JITTER_SEED",
       "seven"},
      {"graph_jitter_bound_that_is_not_a_number",
       graph,
       {{"KIVU_GRAPH_TEST", "fanout"}, {"KIVU_HOST_WRITE_JITTER_MAX_US", "1.5"}},
       "KIVU_HOST_WRITE_JITTER_MAX_US",
       "1.5"},
      {"unknown_graph_name", graph, {{"KIVU_GRAPH_TEST", "butterfly"}}, "KIVU_GRAPH_TEST", "butterfly"},
      {"graph_name_in_the_wrong_case", graph, {{"KIVU_GRAPH_TEST", "Fanout"}}, "KIVU_GRAPH_TEST", "Fanout"},
      {"missing_graph_name", graph, {}, "KIVU_GRAPH_TEST", std::nullopt},
      {"missing_seed", random, {}, "KIVU_RANDOM_SEED", std::nullopt},
      {"empty_seed", random, {{"KIVU_RANDOM_SEED", ""}}, "KIVU_RANDOM_SEED", ""},
      {"hexadecimal_seed",
       random,
       {{"KIVU_RANDOM_SEED", "0x434f5256414e452d"}},
       "KIVU_RANDOM_SEED",
       "0x434f5256414e452d"},
      {"seed_beyond_64_bits",
       random,
       {{"KIVU_RANDOM_SEED", "18446744073709551616"}},
       "KIVU_RANDOM_SEED",
       "18446744073709551616"},
      {"random_jitter_seed_that_is_not_a_number",
       random,
       {{"KIVU_RANDOM_SEED", "1"}, {"KIVU_HOST_WRITE_JITTER_SEED", "-7"}},
       "KIVU_HOST_WRITE_JITTER_SEED",
       "-7"},
      {"board_the_host_does_not_have", host, {{"KIVU_BOARD", "1"}}, "KIVU_BOARD", "1"},
      {"board_past_the_simulated_boards",
       graph,
       {{"KIVU_GRAPH_TEST", "fanout"}, {"KIVU_SIM_BOARDS", "4"}, {"KIVU_BOARD", "4"}},
       "KIVU_BOARD",
       "4"},
      {"no_simulated_boards", random, {{"KIVU_RANDOM_SEED", "1"}, {"KIVU_SIM_BOARDS", "0"}}, "KIVU_SIM_BOARDS", "0"},
      {"fault_on_a_board_the_host_does_not_have",
       host,
       {{"KIVU_SIM_BOARDS", "2"}, {"KIVU_SIM_FAULT_BOARD", "2"}},
       "KIVU_SIM_FAULT_BOARD",
       "2"},
      {"faulty_tile_beyond_the_board", host, {{"KIVU_SIM_FAULT_TILE", "0:1472:1"}}, "KIVU_SIM_FAULT_TILE", "0:1472:1"},
      {"faulty_tile_on_a_board_the_host_lacks",
       graph,
       {{"KIVU_GRAPH_TEST", "fanout"}, {"KIVU_SIM_BOARDS", "2"}, {"KIVU_SIM_FAULT_TILE", "2:7:1"}},
       "KIVU_SIM_FAULT_TILE",
       "2:7:1"},
      {"faulty_tile_probability_above_one",
       host,
       {{"KIVU_SIM_FAULT_TILE", "0:7:1.5"}},
       "KIVU_SIM_FAULT_TILE",
       "0:7:1.5"},
      {"faulty_tile_probability_below_zero",
       host,
       {{"KIVU_SIM_FAULT_TILE", "0:7:-0.5"}},
       "KIVU_SIM_FAULT_TILE",
       "0:7:-0.5"},
      {"faulty_tile_garbage",
       random,
       {{"KIVU_RANDOM_SEED", "1"}, {"KIVU_SIM_FAULT_TILE", "tile 7"}},
       "KIVU_SIM_FAULT_TILE",
       "tile 7"},
      {"faulty_tile_named_twice",
       host,
       {{"KIVU_SIM_FAULT_TILE", "0:7:1,0:7:0.5"}},
       "KIVU_SIM_FAULT_TILE",
       "0:7:1,0:7:0.5"},
      {"fault_seed_that_is_not_a_number", host, {{"KIVU_SIM_FAULT_SEED", "0x10"}}, "KIVU_SIM_FAULT_SEED", "0x10"},
  };
}

class RunnerInput : public ::testing::TestWithParam<BadInput> {};

TEST_P(RunnerInput, IsRejectedWithExitTwoAndOneLineNamingTheVariable) {
  const BadInput& input = GetParam();
  const ChildResult result = run_child(input.runner, input.environment);
  ASSERT_TRUE(result.exited && result.exit_code == 2) << result.describe();
  const auto lines = result.error_lines();
  ASSERT_EQ(lines.size(), 1u) << result.describe();
  EXPECT_NE(lines[0].find(input.variable), std::string::npos) << lines[0];
  if (input.value) {
    EXPECT_NE(lines[0].find("\"" + *input.value + "\""), std::string::npos) << lines[0];
  } else {
    EXPECT_NE(lines[0].find("missing " + input.variable), std::string::npos) << lines[0];
  }
  EXPECT_EQ(result.out.find(": passed"), std::string::npos) << result.describe();
}

INSTANTIATE_TEST_SUITE_P(Runners, RunnerInput, ::testing::ValuesIn(bad_inputs()),
                         [](const ::testing::TestParamInfo<BadInput>& input) { return input.param.name; });

// A runner takes no arguments but --version, which answers without a board
// (a bad board setting does not stop it); any other argument is bad input.
TEST(RunnerArguments, VersionIsPrintedAndAnyOtherArgumentIsBadInput) {
  for (const std::string runner :
       {KIVU_HOST_E2E, KIVU_HARDWARE_E2E, KIVU_RANDOMIZED_E2E, KIVU_GEMM_E2E, KIVU_ATTENTION_E2E}) {
    const std::string name = std::filesystem::path(runner).filename().string();
    const ChildResult version = kivu_testing::run_child(
        {.program = runner, .arguments = {"--version"}, .environment = {{"KIVU_BOARD", "9"}}});
    ASSERT_TRUE(version.exited && version.exit_code == 0) << version.describe();
    EXPECT_EQ(version.out, name + " " + std::string(kivu::workspace_version) + "\n");
    EXPECT_EQ(version.err, "");

    const std::pair<std::vector<std::string>, std::string> bad_arguments[] = {
        {{"--verbose"}, "\"--verbose\""},
        {{"--version", "extra"}, "\"extra\""},
        {{"line\nbreak"}, "\"line\\nbreak\""},
        // The workspace's one quoting: control bytes as \u{hex}, a byte
        // outside valid UTF-8 as \xNN, valid UTF-8 kept.
        {{"a\x01\x80\xc3\xa9"}, "\"a\\u{1}\\x80\xc3\xa9\""}};
    for (const auto& [arguments, quoted] : bad_arguments) {
      const ChildResult bad = kivu_testing::run_child({.program = runner, .arguments = arguments});
      ASSERT_TRUE(bad.exited && bad.exit_code == 2) << bad.describe();
      const auto lines = bad.error_lines();
      ASSERT_EQ(lines.size(), 1u) << bad.describe();
      EXPECT_EQ(lines[0].rfind(name + ": unexpected argument " + quoted + ": ", 0), 0u) << lines[0];
      EXPECT_EQ(bad.out, "") << "nothing ran";
    }

    // A version that cannot be written is a failure that says why.
    const ChildResult full = kivu_testing::run_child(
        {.program = "/bin/sh", .arguments = {"-c", "exec \"$0\" --version >/dev/full", runner}});
    ASSERT_TRUE(full.exited && full.exit_code == 1) << full.describe();
    EXPECT_EQ(full.err, name + ": cannot write to standard output: No space left on device\n");
  }
}

}  // namespace
}  // namespace kivu_runner::testing
