// The GEMM runner's settings, layout and host reference, in-process.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include <gtest/gtest.h>

#include "gemm_scenario.hpp"
#include "kivu_runner/random.hpp"
#include "kivu_testing/child_process.hpp"

namespace {

using namespace kivu_gemm;

// The error message for the given values, or "" when they parse.
std::string rejection(std::optional<std::string_view> dimension, std::optional<std::string_view> check_block,
                      std::optional<std::string_view> profile = std::nullopt) {
  auto settings = parse_gemm_settings(dimension, check_block, profile);
  return settings ? "" : settings.error().message();
}

TEST(GemmSettings, DefaultToDimension128CheckBlockZeroZeroAndNoProfile) {
  const auto settings = parse_gemm_settings(std::nullopt, std::nullopt, std::nullopt).value();
  EXPECT_EQ(settings.dimension, 128u);
  EXPECT_EQ(settings.grid(), 4u);
  EXPECT_EQ(settings.check_block, (BlockIndex{0, 0}));
  EXPECT_FALSE(settings.profile_output);
}

TEST(GemmSettings, AcceptAnyDimensionUpToTheLargestGridRoundingUpToWholeBlocks) {
  EXPECT_EQ(parse_gemm_settings("1", std::nullopt, std::nullopt)->grid(), 1u);
  EXPECT_EQ(parse_gemm_settings("100", std::nullopt, std::nullopt)->grid(), 4u);
  EXPECT_EQ(parse_gemm_settings("1216", "37,37", std::nullopt)->grid(), 38u);
  EXPECT_EQ(parse_gemm_settings("128", "1,1", "/tmp/p.capnp")->check_block, (BlockIndex{1, 1}));
}

TEST(GemmSettings, RejectDimensionsOutsideOneTo1216WithTheVariableAndValue) {
  const std::string expected = ": expected a matrix dimension from 1 to 1216";
  EXPECT_EQ(rejection("0", std::nullopt), "invalid KIVU_GEMM_DIMENSION value \"0\"" + expected);
  EXPECT_EQ(rejection("1217", std::nullopt), "invalid KIVU_GEMM_DIMENSION value \"1217\"" + expected);
  for (const char* bad : {"", "12x", "-1", " 128", "0x80", "99999999999999999999"}) {
    EXPECT_NE(rejection(bad, std::nullopt), "") << bad;
  }
}

TEST(GemmSettings, RejectCheckBlocksThatAreMalformedOrOutsideTheGrid) {
  EXPECT_EQ(rejection("128", "4,0"),
            "invalid KIVU_GEMM_SRAM_CHECK_BLOCK value \"4,0\": expected a block \"row,column\" of the 4 x 4 block "
            "grid, both numbers below 4");
  // Single digits above a small grid: the case a digit-by-digit bound misses.
  for (const char* bad : {"0,4", "9,0", "1", "1,", ",1", "1,1,", "1;1", "a,b", "1, 1", "0,0,0"}) {
    EXPECT_NE(rejection("128", bad), "") << bad;
  }
  EXPECT_NE(rejection("32", "0,1"), "");
  EXPECT_EQ(rejection("1216", "37,0"), "");
}

TEST(GemmSettings, RejectAnEmptyProfilePath) {
  EXPECT_EQ(rejection(std::nullopt, std::nullopt, ""), "invalid KIVU_PROFILE_OUTPUT value \"\": expected a file path");
}

TEST(GemmSettings, RejectAProfilePathThatCannotBeWrittenWithTheReasonAndCreateNothing) {
  const kivu_testing::ScratchDirectory dir;
  std::ofstream(dir.file("file")) << "x";
  const auto line = [](const std::string& value, const std::string& reason) {
    return "invalid KIVU_PROFILE_OUTPUT value \"" + value + "\": expected a file path that can be written (" + reason +
           ")";
  };
  EXPECT_EQ(rejection(std::nullopt, std::nullopt, dir.path()), line(dir.path(), "Is a directory"));
  EXPECT_EQ(rejection(std::nullopt, std::nullopt, dir.file("missing/p")),
            line(dir.file("missing/p"), "No such file or directory"));
  EXPECT_EQ(rejection(std::nullopt, std::nullopt, dir.file("file/p")), line(dir.file("file/p"), "Not a directory"));
  const std::string long_name = dir.file(std::string(256, 'p'));
  EXPECT_EQ(rejection(std::nullopt, std::nullopt, long_name), line(long_name, "File name too long"));
  EXPECT_EQ(rejection(std::nullopt, std::nullopt, dir.file(std::string(255, 'p'))), "");
  // The kernel's own file systems take no profile; as root, their
  // directories would pass the permission check.
  for (const std::string kernel : {"/proc/x", "/sys/x", "/proc/self/comm"}) {
    EXPECT_EQ(rejection(std::nullopt, std::nullopt, kernel),
              line(kernel, "refusing to write into a kernel file system such as /proc or /sys"));
  }
  EXPECT_EQ(rejection(std::nullopt, std::nullopt, dir.file("p")), "");
  EXPECT_EQ(rejection(std::nullopt, std::nullopt, dir.file("file")), "");
  EXPECT_EQ(rejection(std::nullopt, std::nullopt, "/dev/null"), "");
  EXPECT_FALSE(std::filesystem::exists(dir.file("p")));
}

TEST(GemmSettings, RejectAProfilePathInADirectoryTheUserMayNotWriteAlsoWhenRunAsRoot) {
  // Root may write into a read-only directory, so the check runs as an
  // unprivileged user.
  const kivu_testing::ScratchDirectory dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  std::filesystem::create_directory(dir.file("read-only"));
  ASSERT_EQ(::chmod(dir.file("read-only").c_str(), 0555), 0);
  const auto refused = kivu_testing::run_unprivileged(
      [&] { return rejection(std::nullopt, std::nullopt, dir.file("read-only/p")); });
  if (!refused) GTEST_SKIP() << refused.error();
  EXPECT_EQ(*refused, "invalid KIVU_PROFILE_OUTPUT value \"" + dir.file("read-only/p") +
                          "\": expected a file path that can be written (Permission denied)");
}

TEST(GemmSettings, ChooseTheExchangeScheduleBroadcastByDefault) {
  EXPECT_EQ(parse_gemm_settings(std::nullopt, std::nullopt, std::nullopt)->schedule, Schedule::Broadcast);
  EXPECT_EQ(parse_gemm_settings(std::nullopt, std::nullopt, std::nullopt, "broadcast")->schedule, Schedule::Broadcast);
  EXPECT_EQ(parse_gemm_settings(std::nullopt, std::nullopt, std::nullopt, "ring")->schedule, Schedule::Ring);
  for (const char* bad : {"", "Ring", "ring ", "mesh"}) {
    const auto settings = parse_gemm_settings(std::nullopt, std::nullopt, std::nullopt, bad);
    ASSERT_FALSE(settings) << bad;
    EXPECT_EQ(settings.error().message(),
              "invalid KIVU_GEMM_SCHEDULE value \"" + std::string(bad) + "\": expected broadcast or ring");
  }
}

TEST(GemmLayout, GivesEveryOutputBlockItsOwnTileOnTheBoard) {
  for (const std::uint32_t grid : {1u, 4u, 38u}) {
    std::set<std::uint16_t> tiles;
    for (std::uint32_t r = 0; r < grid; ++r) {
      for (std::uint32_t c = 0; c < grid; ++c) tiles.insert(block_tile(grid, {r, c}));
    }
    EXPECT_EQ(tiles.size(), std::size_t{grid} * grid);
    EXPECT_LT(*tiles.rbegin(), kivu_runtime::tile_count);
  }
}

TEST(GemmReference, MultipliesAKnownPairExactly) {
  const Operands operands{2, {1, 2, 3, 4}, {5, 6, 7, 8}};
  EXPECT_EQ(reference_product(operands), (std::vector<float>{19, 22, 43, 50}));
}

TEST(GemmReference, PadsEdgeBlocksWithZeros) {
  const Operands operands = make_operands(33, 1);
  const auto corner = extract_block(operands.a, 33, {1, 1});
  EXPECT_EQ(corner[0], operands.a[33 * 33 - 1]);
  for (std::size_t i = 1; i < corner.size(); ++i) ASSERT_EQ(corner[i], 0.0f) << i;
}

TEST(GemmReference, DrawsSmallIntegersSoThatEverySumIsExactInFloat) {
  const Operands operands = make_operands(64, 7);
  for (const float x : operands.a) ASSERT_TRUE(x == static_cast<int>(x) && x >= -8 && x <= 8) << x;
  std::set<float> distinct(operands.b.begin(), operands.b.end());
  EXPECT_EQ(distinct.size(), 17u);
}

TEST(WorkloadRandom, IsSplitmix64SoThatOperandsAreTheSameOnEveryMachine) {
  std::uint64_t state = 0;
  EXPECT_EQ(kivu_runner::next_random(state), 0xe220a8397b1dcdafull);
  EXPECT_EQ(kivu_runner::next_random(state), 0x6e789e6aa1b965f4ull);
  EXPECT_EQ(kivu_runner::next_random(state), 0x06c45d188009454full);
  EXPECT_EQ(state, 3 * 0x9e3779b97f4a7c15ull);
}

}  // namespace
