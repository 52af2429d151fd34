// The segmented-arena add compiler: tensors span arena boundaries but stay
// inside arenas, allocations never overlap, the exchange and the add runs
// cover every element exactly once, and impossible problems are errors.
#include "segmented_compiler.hpp"

#include <map>
#include <vector>

#include <gtest/gtest.h>

namespace kivu_runner::testing {
namespace {

using kivu_hardware_e2e::AddProblem;
using kivu_hardware_e2e::Arena;
using kivu_hardware_e2e::compile_elementwise_add;
using kivu_hardware_e2e::element_bytes;
using kivu_hardware_e2e::Program;
using kivu_hardware_e2e::Segment;
using kivu_hardware_e2e::SramLayout;
using kivu_hardware_e2e::TensorPlacement;

AddProblem problem(std::uint32_t elements, std::uint16_t tiles, std::uint16_t offset) {
  return AddProblem{
      .elements = elements, .tiles = tiles, .b_tile_offset = offset, .layout = kivu_hardware_e2e::segmented_layout()};
}

bool inside_an_arena(const SramLayout& layout, const Segment& segment) {
  for (const Arena& arena : layout.arenas) {
    if (segment.address >= arena.base &&
        std::uint64_t{segment.address} + std::uint64_t{segment.elements} * element_bytes <=
            std::uint64_t{arena.base} + arena.size) {
      return true;
    }
  }
  return false;
}

// Element i of the tensor -> (tile, address), checking every element once.
std::vector<std::pair<std::uint16_t, std::uint32_t>> element_homes(const TensorPlacement& tensor) {
  std::vector<std::pair<std::uint16_t, std::uint32_t>> homes;
  for (const Segment& segment : tensor.segments) {
    EXPECT_EQ(segment.first_element, homes.size()) << tensor.name;
    for (std::uint32_t i = 0; i < segment.elements; ++i) {
      homes.emplace_back(segment.tile, segment.address + i * element_bytes);
    }
  }
  EXPECT_EQ(homes.size(), tensor.elements) << tensor.name;
  return homes;
}

TEST(SegmentedCompiler, ShardsOfEveryTensorSpanArenaBoundaries) {
  auto program = compile_elementwise_add(problem(1472 * 100 - 37, 1472, 736));
  ASSERT_TRUE(program) << program.error().message;
  for (const TensorPlacement* tensor : {&program->a, &program->b, &program->staged_b, &program->out}) {
    EXPECT_EQ(tensor->shards, 1472u) << tensor->name;
    EXPECT_GT(tensor->shards_spanning_arenas, 1400u) << tensor->name;
    EXPECT_GT(tensor->segments.size(), tensor->shards) << tensor->name;
  }
}

TEST(SegmentedCompiler, SegmentsStayInsideArenasAndNeverShareAByte) {
  const AddProblem add = problem(40 * 100 - 3, 40, 7);
  auto program = compile_elementwise_add(add);
  ASSERT_TRUE(program) << program.error().message;
  std::map<std::pair<std::uint16_t, std::uint32_t>, std::string> owner;
  for (const TensorPlacement* tensor : {&program->a, &program->b, &program->staged_b, &program->out}) {
    for (const Segment& segment : tensor->segments) {
      EXPECT_TRUE(inside_an_arena(add.layout, segment)) << tensor->name << " at " << segment.address;
    }
    for (const auto& home : element_homes(*tensor)) {
      const auto [it, fresh] = owner.emplace(home, tensor->name);
      EXPECT_TRUE(fresh) << tensor->name << " shares tile " << home.first << " address " << home.second << " with "
                         << it->second;
    }
  }
}

TEST(SegmentedCompiler, ExchangeMovesEveryElementOfBToItsStagingPlace) {
  auto program = compile_elementwise_add(problem(12 * 100, 12, 5));
  ASSERT_TRUE(program) << program.error().message;
  ASSERT_EQ(program->exchanges.size(), 1u);
  const auto from = element_homes(program->b);
  const auto to = element_homes(program->staged_b);
  std::map<std::pair<std::uint16_t, std::uint32_t>, std::pair<std::uint16_t, std::uint32_t>> moved;
  for (const auto& transfer : program->exchanges[0].transfers) {
    ASSERT_EQ(transfer.receivers.size(), 1u);
    for (std::uint32_t byte = 0; byte < transfer.size; byte += element_bytes) {
      moved[{transfer.source, transfer.source_address + byte}] = {transfer.receivers[0].tile,
                                                                  transfer.receivers[0].address + byte};
    }
  }
  ASSERT_EQ(moved.size(), from.size());
  for (std::size_t i = 0; i < from.size(); ++i) EXPECT_EQ(moved[from[i]], to[i]) << "element " << i;
}

TEST(SegmentedCompiler, AddRunsPairEveryElementOfAAndStagedBWithOut) {
  auto program = compile_elementwise_add(problem(9 * 100 - 50, 9, 4));
  ASSERT_TRUE(program) << program.error().message;
  const auto a = element_homes(program->a);
  const auto b = element_homes(program->staged_b);
  const auto out = element_homes(program->out);
  std::map<std::pair<std::uint16_t, std::uint32_t>, std::pair<std::uint32_t, std::uint32_t>> run_of_out;
  for (const auto& [tile, runs] : program->runs) {
    for (const auto& run : runs) {
      for (std::uint32_t i = 0; i < run.elements; ++i) {
        run_of_out[{tile, run.out + i * element_bytes}] = {run.a + i * element_bytes, run.b + i * element_bytes};
      }
    }
  }
  ASSERT_EQ(run_of_out.size(), out.size());
  for (std::size_t i = 0; i < out.size(); ++i) {
    ASSERT_EQ(a[i].first, out[i].first) << "element " << i;
    ASSERT_EQ(b[i].first, out[i].first) << "element " << i;
    EXPECT_EQ(run_of_out[out[i]], std::make_pair(a[i].second, b[i].second)) << "element " << i;
  }
}

TEST(SegmentedCompiler, BOnTheSameTileNeedsNoExchange) {
  auto program = compile_elementwise_add(problem(300, 3, 0));
  ASSERT_TRUE(program) << program.error().message;
  EXPECT_TRUE(program->exchanges.empty());
  EXPECT_TRUE(program->staged_b.segments.empty());
}

TEST(SegmentedCompiler, ATileOutOfArenaSpaceIsAnError) {
  auto program = compile_elementwise_add(problem(4 * 1000, 4, 1));
  ASSERT_FALSE(program);
  EXPECT_NE(program.error().message.find("out of arena space"), std::string::npos) << program.error().message;
}

TEST(SegmentedCompiler, OverlappingOrMisalignedArenasAreRejected) {
  AddProblem overlapping = problem(10, 1, 0);
  overlapping.layout.arenas = {{0x1000, 0x100}, {0x1080, 0x100}};
  EXPECT_FALSE(compile_elementwise_add(overlapping));
  AddProblem misaligned = problem(10, 1, 0);
  misaligned.layout.arenas = {{0x1002, 0x100}};
  EXPECT_FALSE(compile_elementwise_add(misaligned));
  AddProblem outside = problem(10, 1, 0);
  outside.layout.arenas = {{0x9bf00, 0x200}};
  EXPECT_FALSE(compile_elementwise_add(outside));
}

TEST(SegmentedCompiler, EmptyProblemsAreRejected) {
  EXPECT_FALSE(compile_elementwise_add(problem(0, 4, 0)));
  EXPECT_FALSE(compile_elementwise_add(problem(10, 0, 0)));
}

}  // namespace
}  // namespace kivu_runner::testing
