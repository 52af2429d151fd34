// FP16 FlashAttention: the online softmax on the tiles against the host's
// double-precision attention, the runner's shapes, and the runner itself.
#include <cmath>
#include <set>

#include <gtest/gtest.h>

#include "attention_scenario.hpp"
#include "kivu_testing/child_process.hpp"

namespace {

using namespace kivu_attention;
using kivu_runtime::Board;
using kivu_runtime::BoardOptions;
using kivu_testing::run_child;

const ProgressSink quiet = [](std::string_view) {};

// Inputs whose scores grow (or shrink) by `step` per key block, so that the
// running maximum changes from round to round: Q is all ones and the K rows
// of key block j are all j * step / sqrt(d), giving scores of j * step.
AttentionInputs graded_inputs(const AttentionShape& shape, float step) {
  AttentionInputs inputs = random_inputs(shape, 5);
  const float per_value = step / std::sqrt(static_cast<float>(shape.head_dim)) / static_cast<float>(shape.head_dim);
  for (half& x : inputs.q) x = static_cast<half>(1.0f);
  for (std::size_t i = 0; i < inputs.k.size(); ++i) {
    const std::size_t position = (i / shape.head_dim) % shape.sequence;
    const auto block = static_cast<float>(position / key_block);
    inputs.k[i] = static_cast<half>(per_value * block * static_cast<float>(shape.head_dim));
  }
  return inputs;
}

double worst_error(const AttentionShape& shape, const AttentionInputs& inputs, BoardOptions options = {}) {
  Board board(options);
  const auto output = run_attention(board, shape, inputs, quiet);
  EXPECT_TRUE(output) << output.error().message();
  if (!output) return INFINITY;
  return compare_output(*output, reference_attention(shape, inputs)).worst;
}

TEST(AttentionReference, AveragesTheValuesWhenAllScoresAreEqual) {
  const AttentionShape shape{1, 1, 64, 8};
  AttentionInputs inputs = random_inputs(shape, 3);
  for (half& x : inputs.k) x = static_cast<half>(0.0f);
  const auto out = reference_attention(shape, inputs);
  for (std::size_t x = 0; x < shape.head_dim; ++x) {
    double mean = 0;
    for (std::size_t c = 0; c < shape.sequence; ++c) mean += static_cast<double>(inputs.v[c * shape.head_dim + x]);
    mean /= shape.sequence;
    EXPECT_NEAR(out[5 * shape.head_dim + x], mean, 1e-12);
  }
}

TEST(AttentionOnTiles, MatchesTheHostSoftmaxOnRandomInputs) {
  const AttentionShape shape{2, 3, 96, 48};
  EXPECT_LE(worst_error(shape, random_inputs(shape, 11)), attention_tolerance);
}

TEST(AttentionOnTiles, RescalesEarlierKeyBlocksWhenALaterBlockRaisesTheMaximum) {
  const AttentionShape shape{1, 2, 128, 32};
  // Scores 0, 12, 24, 36: each round's maximum dwarfs what came before.
  EXPECT_LE(worst_error(shape, graded_inputs(shape, 12.0f)), attention_tolerance);
  // Scores 0, -12, ...: the first round's maximum holds throughout.
  EXPECT_LE(worst_error(shape, graded_inputs(shape, -12.0f)), attention_tolerance);
}

TEST(AttentionOnTiles, ACorruptedFirstReadbackExceedsTheTolerance) {
  const AttentionShape shape{1, 1, 32, 32};
  EXPECT_GT(worst_error(shape, random_inputs(shape, 2), BoardOptions{.fault_injection = true}),
            100 * attention_tolerance);
}

TEST(AttentionShapes, CoverHeadDimensions32To128AndBatchSizes1To8AndAllFitTheBoard) {
  std::set<std::uint32_t> dims;
  std::set<std::uint32_t> batches;
  for (const auto& shape : encoder_shapes()) {
    EXPECT_TRUE(check_shape(shape)) << shape.describe();
    EXPECT_GT(shape.heads, 1u);
    dims.insert(shape.head_dim);
    batches.insert(shape.batch);
  }
  EXPECT_EQ(dims, (std::set<std::uint32_t>{32, 64, 128}));
  EXPECT_EQ(batches, (std::set<std::uint32_t>{1, 2, 8}));
}

TEST(AttentionShapes, RejectShapesTheTileLayoutCannotHold) {
  EXPECT_FALSE(check_shape({1, 1, 128, 129}));   // head dim beyond the buffers
  EXPECT_FALSE(check_shape({1, 1, 48, 32}));     // not whole query blocks
  EXPECT_FALSE(check_shape({100, 4, 128, 32}));  // 1600 work items
  Board board;
  const AttentionShape too_wide{1, 1, 32, 256};
  const auto output = run_attention(board, too_wide, random_inputs(too_wide, 1), quiet);
  ASSERT_FALSE(output);
  EXPECT_EQ(output.error().exit_status(), kivu_runner::exit_failed);
}

TEST(AttentionRunner, PassesAndPrintsTheWorstErrorOfEveryShapeWhenVerbose) {
  const auto result = run_child(KIVU_ATTENTION_RUNNER, {{"KIVU_RUNNER_VERBOSE", "1"}});
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  for (const auto& shape : encoder_shapes()) {
    EXPECT_NE(result.out.find(shape.describe() + ": worst abs error"), std::string::npos) << shape.describe();
  }
}

TEST(AttentionRunner, FailsWithStatusOneUnderFaultInjection) {
  const auto result = run_child(KIVU_ATTENTION_RUNNER, {{"KIVU_SIM_FAULT", "1"}});
  EXPECT_EQ(result.exit_code, 1) << result.out << result.err;
  EXPECT_NE(result.err.find("differ from the host softmax"), std::string::npos) << result.err;
}

TEST(AttentionRunner, PassesWithHostWriteJitter) {
  const auto result = run_child(KIVU_ATTENTION_RUNNER,
                                {{"KIVU_HOST_WRITE_JITTER_MAX_US", "100"}, {"KIVU_HOST_WRITE_JITTER_SEED", "9"}});
  EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
}

}  // namespace
