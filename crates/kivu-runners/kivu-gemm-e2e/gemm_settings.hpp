// The settings of kivu-gemm-e2e: the matrix dimension, the block whose tile
// memory is checked, the exchange schedule and where the cycle profile goes,
// read from the runner's variables and checked before the board does
// anything (the scenario itself is in gemm_scenario.hpp).
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string_view>

#include "kivu_runner/run_error.hpp"
#include "kivu_runtime/environment.hpp"

namespace kivu_gemm {

inline constexpr const char* dimension_variable = "KIVU_GEMM_DIMENSION";
inline constexpr const char* check_block_variable = "KIVU_GEMM_SRAM_CHECK_BLOCK";
inline constexpr const char* profile_output_variable = "KIVU_PROFILE_OUTPUT";
inline constexpr const char* schedule_variable = "KIVU_GEMM_SCHEDULE";

// Side of one block, in elements.
inline constexpr std::uint32_t block_size = 32;
// Largest grid of blocks per side: grid * grid output blocks need as many
// tiles (38 * 38 = 1444 of the board's 1472).
inline constexpr std::uint32_t max_grid = 38;
// Largest accepted dimension.
inline constexpr std::uint32_t max_dimension = block_size * max_grid;
inline constexpr std::uint32_t default_dimension = 128;

// A block of the output, by block row and block column.
struct BlockIndex {
  std::uint32_t row = 0;
  std::uint32_t column = 0;
  bool operator==(const BlockIndex&) const = default;
};

// How the A and B blocks reach the tiles in each round (see gemm_scenario.hpp).
enum class Schedule { Broadcast, Ring };

struct GemmSettings {
  std::uint32_t dimension = default_dimension;          // 1 .. max_dimension
  BlockIndex check_block;                               // read from tile memory too
  std::optional<std::filesystem::path> profile_output;  // profiling when set
  bool profile_on_standard_output = false;              // it leads to this process's stdout
  std::uint64_t seed = 0x6765'6d6d;                     // operand generator
  Schedule schedule = Schedule::Broadcast;

  // Blocks per side: dimension / block_size, rounded up.
  [[nodiscard]] std::uint32_t grid() const noexcept { return (dimension + block_size - 1) / block_size; }
};

// Settings from the variables' values (absent when unset):
//   dimension      unsigned decimal 1 .. max_dimension, default 128
//   check block    "row,column", each an unsigned decimal below grid(),
//                  default "0,0"
//   profile output a non-empty path; unset means no profile. It is checked
//                  now (kivu_output_file::check_output_path): its directory
//                  exists and is writable, it is not a directory, the name
//                  fits; the reason is part of the error. Whether it leads
//                  to standard output (/dev/stdout, or the file stdout goes
//                  to) is noted
//   schedule       "broadcast" (the default) or "ring"
// The first unacceptable value, in that order, is the error.
[[nodiscard]] std::expected<GemmSettings, kivu_host::EnvironmentError> parse_gemm_settings(
    std::optional<std::string_view> dimension, std::optional<std::string_view> check_block,
    std::optional<std::string_view> profile_output, std::optional<std::string_view> schedule = std::nullopt);

// The same from the process environment; an error is bad input.
[[nodiscard]] kivu_runner::Checked<GemmSettings> gemm_settings_from_environment();

}  // namespace kivu_gemm
