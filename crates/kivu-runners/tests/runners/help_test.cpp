// A runner's --help: exit status 0, nothing on standard error, nothing run
// on the board, and every environment variable the runner reads named with
// its values and default. What it reads is taken from the sources: every
// "KIVU_..." literal in the runner's folder, in what all runners share
// (crates/kivu-runners/common/src) and in the board's settings
// (kivu_runtime's headers, kivu_host/board_identity.hpp); a variable added
// there without its help line fails here.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kivu_testing/child_process.hpp"

namespace kivu_runner::testing {
namespace {

namespace fs = std::filesystem;
using kivu_testing::ChildResult;

// The "KIVU_..." string literals in the C++ files at `place` (a file, or a
// folder searched recursively).
std::set<std::string> variables_named_in(const fs::path& place) {
  std::vector<fs::path> files;
  if (fs::is_regular_file(place)) {
    files.push_back(place);
  } else {
    for (const auto& entry : fs::recursive_directory_iterator(place)) {
      const auto extension = entry.path().extension();
      if (entry.is_regular_file() && (extension == ".cpp" || extension == ".hpp")) files.push_back(entry.path());
    }
  }
  std::set<std::string> names;
  const std::regex literal("\"(KIVU_[A-Z0-9_]+)\"");
  for (const auto& file : files) {
    std::ifstream in(file);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (auto it = std::sregex_iterator(text.begin(), text.end(), literal); it != std::sregex_iterator(); ++it) {
      names.insert((*it)[1].str());
    }
  }
  return names;
}

struct Runner {
  std::string program;
  std::string folder;  // under crates/kivu-runners
};

TEST(RunnerHelp, ListsEveryVariableTheRunnerReadsAndExitsZero) {
  const fs::path sources = KIVU_SOURCE_DIR;
  const fs::path runners = sources / "crates/kivu-runners";
  std::set<std::string> shared = variables_named_in(runners / "common/src");
  shared.merge(variables_named_in(sources / "crates/kivu-runtime/include/kivu_runtime"));
  shared.merge(variables_named_in(sources / "crates/kivu-host/include/kivu_host/board_identity.hpp"));
  ASSERT_TRUE(shared.contains("KIVU_BOARD") && shared.contains("KIVU_RUNNER_VERBOSE")) << "the sources were found";

  for (const Runner& runner :
       {Runner{KIVU_HOST_E2E, "kivu-host-e2e"}, Runner{KIVU_HARDWARE_E2E, "kivu-hardware-e2e"},
        Runner{KIVU_RANDOMIZED_E2E, "kivu-randomized-e2e"}, Runner{KIVU_GEMM_E2E, "kivu-gemm-e2e"},
        Runner{KIVU_ATTENTION_E2E, "kivu-attention-f16-e2e"}}) {
    // A bad board setting would stop a run: --help does not touch the board.
    for (const char* flag : {"--help", "-h"}) {
      const ChildResult help = kivu_testing::run_child(
          {.program = runner.program, .arguments = {flag}, .environment = {{"KIVU_BOARD", "9"}}});
      ASSERT_TRUE(help.exited && help.exit_code == 0) << help.describe();
      EXPECT_EQ(help.err, "") << runner.folder;
      EXPECT_EQ(help.out.rfind("usage: " + runner.folder + " [--help | --version]\n", 0), 0u) << help.out;
      EXPECT_EQ(help.out.find(runner.folder + ": passed"), std::string::npos) << "nothing ran";
      std::set<std::string> read = variables_named_in(runners / runner.folder);
      read.insert(shared.begin(), shared.end());
      for (const std::string& variable : read) {
        // Each variable on a line of its own, then what it accepts and its
        // default ("required" for one without), then what it sets.
        const auto at = help.out.find("\n  " + variable + "\n      ");
        ASSERT_NE(at, std::string::npos) << runner.folder << " --help does not list " << variable << ":\n" << help.out;
        const std::string values = help.out.substr(at, help.out.find('\n', at + variable.size() + 4) - at);
        EXPECT_TRUE(values.find("default") != std::string::npos || values.find("required") != std::string::npos)
            << values;
      }
    }
  }
}

}  // namespace
}  // namespace kivu_runner::testing
