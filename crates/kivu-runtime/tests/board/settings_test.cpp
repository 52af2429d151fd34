#include <bit>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <thread>

#include <gtest/gtest.h>

#include "board_test_support.hpp"
#include "kivu_runtime.hpp"

namespace {

using kivu_exchange::ExchangeError;
using namespace kivu_runtime;
using kivu_host::BoardIdentity;
using kivu_host::environment_value;
using kivu_runtime::testing::pattern;

// =============================================================================
// Environment

TEST(Environment, ParsesJitterWithDefaultsForUnsetVariables) {
  EXPECT_EQ(parse_host_write_jitter(std::nullopt, std::nullopt), (HostWriteJitter{0, default_host_write_jitter_seed}));
  EXPECT_EQ(parse_host_write_jitter("250", "18446744073709551615"), (HostWriteJitter{250, UINT64_MAX}));
  EXPECT_EQ(parse_host_write_jitter("1000000", std::nullopt)->max_us, 1'000'000u);
}

TEST(Environment, NamesTheVariableAndValueOfABadNumber) {
  const auto max = parse_host_write_jitter("12us", "7");
  ASSERT_FALSE(max);
  EXPECT_EQ(max.error().variable, "KIVU_HOST_WRITE_JITTER_MAX_US");
  EXPECT_EQ(max.error().message(),
            "invalid KIVU_HOST_WRITE_JITTER_MAX_US value \"12us\": expected an unsigned decimal number no larger "
            "than 1000000");
  for (const char* bad : {"", "-1", "+1", " 1", "0x10", "1000001"}) {
    EXPECT_FALSE(parse_host_write_jitter(bad, std::nullopt)) << '"' << bad << '"';
  }
  const auto seed = parse_host_write_jitter("1", "18446744073709551616");
  ASSERT_FALSE(seed);
  EXPECT_EQ(seed.error().variable, "KIVU_HOST_WRITE_JITTER_SEED");
}

TEST(Environment, KeepsAnErrorMessageOnOneLine) {
  const auto error = parse_host_write_jitter("1\n2\"", std::nullopt).error();
  EXPECT_EQ(error.message().find('\n'), std::string::npos);
  EXPECT_NE(error.message().find("\"1\\n2\\\"\""), std::string::npos);
}

TEST(Environment, AcceptsOnlyZeroOrOneForTheFaultSwitch) {
  EXPECT_EQ(parse_sim_fault(std::nullopt), false);
  EXPECT_EQ(parse_sim_fault("0"), false);
  EXPECT_EQ(parse_sim_fault("1"), true);
  const auto bad = parse_sim_fault("yes");
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().message(), "invalid KIVU_SIM_FAULT value \"yes\": expected \"0\" or \"1\"");
}

TEST(Environment, PutsTheFaultOnEveryBoardOrOnTheOneNamed) {
  const BoardIdentity board_2{2, 4};
  const BoardIdentity board_1{1, 4};
  EXPECT_EQ(parse_sim_fault_on_board(std::nullopt, "2", board_2), true);
  EXPECT_EQ(parse_sim_fault_on_board(std::nullopt, "2", board_1), false);
  EXPECT_EQ(parse_sim_fault_on_board("0", "2", board_2), true);
  EXPECT_EQ(parse_sim_fault_on_board("1", "2", board_1), true);
  EXPECT_EQ(parse_sim_fault_on_board("1", std::nullopt, board_1), true);
  EXPECT_EQ(parse_sim_fault_on_board(std::nullopt, std::nullopt, board_2), false);
  EXPECT_EQ(parse_sim_fault_on_board(std::nullopt, "4", board_2).error().variable, "KIVU_SIM_FAULT_BOARD");
  EXPECT_EQ(parse_sim_fault_on_board("yes", "2", board_2).error().variable, "KIVU_SIM_FAULT");
}

// Sets variables for one test and restores what was there before.
class ScopedVariables {
public:
  explicit ScopedVariables(std::vector<std::pair<std::string, std::string>> variables) {
    for (auto& [name, value] : variables) {
      saved_.emplace_back(name, environment_value(name.c_str()));
      ::setenv(name.c_str(), value.c_str(), 1);
    }
  }
  ~ScopedVariables() {
    for (const auto& [name, value] : saved_) {
      if (value)
        ::setenv(name.c_str(), value->c_str(), 1);
      else
        ::unsetenv(name.c_str());
    }
  }
  ScopedVariables(const ScopedVariables&) = delete;
  ScopedVariables& operator=(const ScopedVariables&) = delete;

private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST(Environment, TakesTheBoardsVariablesSetButEmptyAsUnset) {
  const ScopedVariables empty({{"KIVU_HOST_WRITE_JITTER_MAX_US", ""},
                               {"KIVU_HOST_WRITE_JITTER_SEED", ""},
                               {"KIVU_SIM_FAULT", ""},
                               {"KIVU_SIM_FAULT_BOARD", ""},
                               {"KIVU_SIM_BOARDS", ""},
                               {"KIVU_BOARD", ""}});
  const auto options = BoardOptions::from_environment();
  ASSERT_TRUE(options) << options.error().message();
  EXPECT_EQ(options->jitter, HostWriteJitter{});
  EXPECT_EQ(options->identity, BoardIdentity{});
  EXPECT_FALSE(options->fault_injection);
}

// =============================================================================
// Host-write jitter

// Writes 64 KiB to each of eight tiles, relays them with an exchange and
// reads everything back: what a run with jitter must reproduce exactly.
std::vector<std::byte> jittered_run(HostWriteJitter jitter) {
  Board board(BoardOptions{.jitter = jitter});
  ExchangePhase relay;
  for (std::uint16_t tile = 0; tile < 8; ++tile) {
    const auto logical = static_cast<std::uint16_t>(tile * 181);
    EXPECT_TRUE(board.h2d(logical, 0x60000, pattern(65536, tile)));
    // An overlapping rewrite of part of it must land after the first write.
    EXPECT_TRUE(board.h2d(logical, 0x60100, pattern(300, tile + 100)));
    relay.transfers.push_back(Transfer{logical, 0x60000, 1024, {{static_cast<std::uint16_t>(logical + 1), 0}}});
  }
  EXPECT_TRUE(board.exchange(relay));
  std::vector<std::byte> all;
  for (std::uint16_t tile = 0; tile < 8; ++tile) {
    const auto logical = static_cast<std::uint16_t>(tile * 181);
    const auto data = board.d2h(logical, 0x60000, 65536).value();
    const auto relayed = board.d2h(static_cast<std::uint16_t>(logical + 1), 0, 1024).value();
    all.insert(all.end(), data.begin(), data.end());
    all.insert(all.end(), relayed.begin(), relayed.end());
  }
  return all;
}

TEST(HostWriteJitter, DoesNotChangeResultsWhateverTheSeed) {
  const auto reference = jittered_run({});
  EXPECT_EQ(jittered_run({.max_us = 20, .seed = 1}), reference);
  EXPECT_EQ(jittered_run({.max_us = 20, .seed = 99}), reference);
}

TEST(HostWriteJitter, LetsAComputeStepSeeEveryWriteBeforeIt) {
  Board board(BoardOptions{.jitter = {.max_us = 50, .seed = 3}});
  for (std::uint16_t tile = 0; tile < 16; ++tile) ASSERT_TRUE(board.h2d(tile, 0, pattern(512, tile)));
  std::vector<std::uint16_t> tiles(16);
  std::iota(tiles.begin(), tiles.end(), std::uint16_t{0});
  bool all_landed = true;
  ASSERT_TRUE(board.compute(ComputeStep{.tiles = tiles}, infallible([&](TileContext& tile) {
                              const auto bytes = tile.bytes(0, 512).value();
                              const auto expected = pattern(512, tile.logical());
                              all_landed = all_landed && std::equal(bytes.begin(), bytes.end(), expected.begin());
                            })));
  EXPECT_TRUE(all_landed);
}

TEST(HostWriteJitter, KeepsTheBoardUsableFromSeveralThreads) {
  Board board(BoardOptions{.jitter = {.max_us = 10, .seed = 5}});
  std::vector<std::thread> threads;
  std::vector<int> mismatches(4, 0);
  for (unsigned t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (unsigned round = 0; round < 20; ++round) {
        const auto tile = static_cast<std::uint16_t>(t * 300 + round);
        const auto data = pattern(700, t * 100 + round);
        if (!board.h2d(tile, 0x100, data) || board.d2h(tile, 0x100, 700) != data) ++mismatches[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
  EXPECT_EQ(board.counters().host_writes, 80u);
}

// =============================================================================
// Fault injection

unsigned bits_differing(const std::vector<std::byte>& a, const std::vector<std::byte>& b) {
  unsigned bits = 0;
  for (std::size_t i = 0; i < a.size(); ++i) bits += std::popcount(std::to_integer<unsigned>(a[i] ^ b[i]));
  return bits;
}

TEST(FaultInjection, FlipsExactlyOneBitOfTheFirstReadback) {
  Board board(BoardOptions{.fault_injection = true});
  const auto data = pattern(2048);
  ASSERT_TRUE(board.h2d(1471, 0, data));
  const auto first = board.d2h(1471, 0, 2048).value();
  EXPECT_EQ(bits_differing(first, data), 1u);
  EXPECT_EQ(first[3], data[3] ^ std::byte{0x40});
  EXPECT_EQ(board.injected_fault(), (FaultRecord{1471, 63, 3, 6}));
  // The flip persists in tile memory; nothing else is corrupted.
  EXPECT_EQ(board.d2h(1471, 0, 2048), first);
  ASSERT_TRUE(board.h2d(2, 0, data));
  EXPECT_EQ(board.d2h(2, 0, 2048), data);
}

TEST(FaultInjection, ChangesAFloatResultFarBeyondAnyTolerance) {
  Board board(BoardOptions{.fault_injection = true});
  const float values[2] = {0.75f, 1.0f};
  ASSERT_TRUE(board.h2d(0, 0, std::as_bytes(std::span(values))));
  const auto readback = board.read_tile_memory(0, 0, 8).value();
  float seen[2];
  std::memcpy(seen, readback.data(), 8);
  EXPECT_GT(std::abs(seen[0] - values[0]), 1e30f);
  EXPECT_EQ(seen[1], values[1]);
}

TEST(FaultInjection, FlipsTheLastByteOfAShortReadback) {
  Board board(BoardOptions{.fault_injection = true});
  EXPECT_EQ(board.d2h(7, 0x10, 2), (std::vector<std::byte>{std::byte{0}, std::byte{0x40}}));
  EXPECT_EQ(board.injected_fault()->address, 0x11u);
}

TEST(FaultInjection, IsOffByDefault) {
  Board board;
  ASSERT_TRUE(board.h2d(0, 0, pattern(16)));
  EXPECT_EQ(board.d2h(0, 0, 16), pattern(16));
  EXPECT_EQ(board.injected_fault(), std::nullopt);
}

}  // namespace
