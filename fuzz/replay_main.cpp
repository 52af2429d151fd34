// Replays fuzz inputs without libFuzzer: every file named on the command line
// (directories are walked) goes through the fuzz target's check once. Each
// input must give either a report that survives the round trip or an error;
// and at least one must give a report, so that the corpus keeps exercising
// the round trip. Prints the counts; exits 0 when all held, 1 otherwise.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "profile_read_check.hpp"

int main(int argc, char** argv) {
  std::vector<std::filesystem::path> files;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path arg(argv[i]);
    std::error_code ec;
    if (std::filesystem::is_directory(arg, ec)) {
      for (const auto& entry : std::filesystem::recursive_directory_iterator(arg)) {
        if (entry.is_regular_file() && entry.path().filename() != "README.md") files.push_back(entry.path());
      }
    } else {
      files.push_back(arg);
    }
  }
  if (files.empty()) {
    std::fprintf(stderr, "usage: %s FILE_OR_DIRECTORY...\n", argv[0]);
    return 2;
  }

  std::size_t reports = 0;
  std::size_t errors = 0;
  std::size_t failures = 0;
  for (const auto& file : files) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "cannot open %s\n", file.c_str());
      return 1;
    }
    const auto outcome = kivu_fuzz::check_profile_input({std::istreambuf_iterator<char>(in), {}});
    switch (outcome.kind) {
      case kivu_fuzz::InputOutcome::Kind::Report: ++reports; break;
      case kivu_fuzz::InputOutcome::Kind::Error: ++errors; break;
      case kivu_fuzz::InputOutcome::Kind::RoundTrip:
        ++failures;
        std::fprintf(stderr, "%s: %s\n", file.c_str(), outcome.detail.c_str());
        break;
    }
  }
  std::printf("replayed %zu inputs: %zu reports, %zu errors, %zu failed round trips\n", files.size(), reports, errors,
              failures);
  if (reports == 0) std::fprintf(stderr, "no input gave a report, so the round trip was never checked\n");
  return failures == 0 && reports > 0 ? 0 : 1;
}
