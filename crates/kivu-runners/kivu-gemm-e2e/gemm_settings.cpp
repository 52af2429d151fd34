// The GEMM runner's settings (see gemm_settings.hpp).
#include "gemm_settings.hpp"

#include <unistd.h>

#include <string>

#include <fmt/core.h>

#include "kivu_base/expected.hpp"
#include "kivu_host/settings.hpp"
#include "kivu_output_file/output_file.hpp"

namespace kivu_gemm {

using kivu_host::EnvironmentError;
using kivu_runner::Checked;

std::expected<GemmSettings, EnvironmentError> parse_gemm_settings(std::optional<std::string_view> dimension,
                                                                  std::optional<std::string_view> check_block,
                                                                  std::optional<std::string_view> profile_output,
                                                                  std::optional<std::string_view> schedule) {
  GemmSettings settings;
  if (dimension) {
    auto parsed = kivu_host::parse_unsigned_decimal(dimension_variable, *dimension, UINT32_MAX);
    if (!parsed || *parsed == 0 || *parsed > max_dimension) {
      return std::unexpected(EnvironmentError{dimension_variable, std::string(*dimension),
                                              fmt::format("a matrix dimension from 1 to {}", max_dimension)});
    }
    settings.dimension = static_cast<std::uint32_t>(*parsed);
  }

  if (check_block) {
    const std::uint32_t grid = settings.grid();
    const auto bad = [&] {
      return std::unexpected(EnvironmentError{
          check_block_variable, std::string(*check_block),
          fmt::format("a block \"row,column\" of the {0} x {0} block grid, both numbers below {0}", grid)});
    };
    const std::size_t comma = check_block->find(',');
    if (comma == std::string_view::npos) return bad();
    auto row = kivu_host::parse_unsigned_decimal(check_block_variable, check_block->substr(0, comma), grid - 1);
    auto column = kivu_host::parse_unsigned_decimal(check_block_variable, check_block->substr(comma + 1), grid - 1);
    if (!row || !column) return bad();
    settings.check_block = {static_cast<std::uint32_t>(*row), static_cast<std::uint32_t>(*column)};
  }

  if (profile_output) {
    if (profile_output->empty()) {
      return std::unexpected(EnvironmentError{profile_output_variable, "", "a file path"});
    }
    // A path the profile cannot be written to fails now, not after the whole
    // multiplication.
    std::filesystem::path path(*profile_output);
    if (auto usable = kivu_output_file::check_output_path(path); !usable) {
      return std::unexpected(EnvironmentError{profile_output_variable, std::string(*profile_output),
                                              fmt::format("a file path that can be written ({})",
                                                          kivu_output_file::output_failure_reason(usable.error()))});
    }
    settings.profile_on_standard_output = kivu_output_file::leads_to_open_file(path, STDOUT_FILENO);
    settings.profile_output = std::move(path);
  }

  if (schedule) {
    if (*schedule == "ring") {
      settings.schedule = Schedule::Ring;
    } else if (*schedule != "broadcast") {
      return std::unexpected(EnvironmentError{schedule_variable, std::string(*schedule), "broadcast or ring"});
    }
  }
  return settings;
}

Checked<GemmSettings> gemm_settings_from_environment() {
  const auto dimension = kivu_host::environment_value(dimension_variable);
  const auto check_block = kivu_host::environment_value(check_block_variable);
  const auto profile_output = kivu_host::environment_value(profile_output_variable);
  const auto schedule = kivu_host::environment_value(schedule_variable);
  KIVU_ASSIGN_OR_RETURN(
      auto settings, parse_gemm_settings(kivu_host::setting_view(dimension), kivu_host::setting_view(check_block),
                                         kivu_host::setting_view(profile_output), kivu_host::setting_view(schedule)));
  return settings;
}

}  // namespace kivu_gemm
