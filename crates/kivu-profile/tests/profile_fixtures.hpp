// Profiles built in code for the tool's tests, and a scratch directory to
// write them into.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kivu_package.hpp"
#include "kivu_testing/child_process.hpp"
#include "kivu_testing/files.hpp"

namespace kivu_profile::testing {

using kivu_package::CycleSample;
using kivu_package::ProfileMetadata;
using kivu_package::ProfileReport;
using kivu_package::ProfileStepKind;
using kivu_package::TileProfile;

// A sample of `kind` from `start` to `end`.
inline CycleSample sample(ProfileStepKind kind, std::uint32_t start, std::uint32_t end,
                          std::string operation = "gemm_block", std::string kernel = "gemm_f32",
                          std::vector<ProfileMetadata> metadata = {}) {
  CycleSample s;
  s.step.kind = kind;
  s.step.operation = std::move(operation);
  s.step.kernel = std::move(kernel);
  s.step.metadata = std::move(metadata);
  s.start_cycle = start;
  s.end_cycle = end;
  return s;
}

// A profile shaped like a blocked GEMM: every board tile exchanges, computes
// for a tile-dependent time, synchronises and idles until cycle 1000, in
// `epochs` epochs of 1000 cycles each.
inline ProfileReport gemm_like_profile(std::uint32_t tile_count = 1472, std::uint32_t epochs = 1) {
  ProfileReport report;
  report.clock_hz = 1'000'000'000;
  for (std::uint32_t tile = 0; tile < tile_count; ++tile) {
    TileProfile profile{tile, {}};
    for (std::uint32_t epoch = 0; epoch < epochs; ++epoch) {
      const std::uint32_t base = epoch * 1000;
      const std::uint32_t compute_end = 200 + tile % 500;
      auto add = [&](ProfileStepKind kind, std::uint32_t start, std::uint32_t end, const char* op) {
        auto s = sample(kind, base + start, base + end, op, "gemm_f32", {{"block", std::to_string(tile % 7)}});
        s.step.epoch = epoch;
        s.step.phase = static_cast<std::uint32_t>(profile.samples.size() % 4);
        s.step.local_index = static_cast<std::uint32_t>(profile.samples.size());
        profile.samples.push_back(std::move(s));
      };
      add(ProfileStepKind::Exchange, 0, 100, "load_a_b");
      add(ProfileStepKind::Compute, 100, compute_end, "multiply_accumulate");
      add(ProfileStepKind::Synchronization, compute_end, compute_end + 50, "sync");
      add(ProfileStepKind::Idle, compute_end + 50, 1000, "idle");
    }
    report.tiles.push_back(std::move(profile));
  }
  return report;
}

// A fresh directory for one test (the workspace's scratch directory), with
// the profile tests' conveniences.
class ScratchDirectory {
public:
  [[nodiscard]] std::filesystem::path path() const { return directory_.path(); }
  [[nodiscard]] std::filesystem::path operator/(const std::string& name) const { return path() / name; }

  // Writes `report` as a profile file named `name` and returns its path.
  [[nodiscard]] std::filesystem::path write_profile(const ProfileReport& report,
                                                    const std::string& name = "profile.capnp") const {
    const auto path = this->path() / name;
    const auto written = kivu_package::write_profile_file(report, path);
    EXPECT_TRUE(written.has_value()) << "cannot write the test profile";
    return path;
  }

  // Names of the files in the directory.
  [[nodiscard]] std::vector<std::string> entries() const { return kivu_testing::directory_entries(path()); }

private:
  kivu_testing::ScratchDirectory directory_;
};

}  // namespace kivu_profile::testing
