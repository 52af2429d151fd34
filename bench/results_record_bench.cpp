// What `kivu-results record` does per run, without starting a process per
// run: each result file of FOLDER read and hashed as record reads and hashes
// it, and stored as one run, all through one open store. Prints the seconds
// of the whole loop (the store's opening included) and the runs stored.
//
//   results_record_bench STORE FOLDER    (FOLDER holds 1.xml, 2.xml, ...; run N gets commit cN)
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "kivu_results/inputs.hpp"
#include "kivu_results/store.hpp"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: results_record_bench STORE FOLDER\n", stderr);
    return 2;
  }
  std::size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(argv[2])) files += entry.is_regular_file() ? 1 : 0;
  const auto start = std::chrono::steady_clock::now();
  auto store = kivu_results::Store::open({kivu_results::StoreAddress::Kind::Sqlite, argv[1]});
  if (!store) {
    std::fprintf(stderr, "results_record_bench: %s\n", store.error().message.c_str());
    return 1;
  }
  std::size_t stored = 0;
  for (std::size_t run = 1; run <= files; ++run) {
    const std::vector<std::string> inputs = {std::string(argv[2]) + "/" + std::to_string(run) + ".xml"};
    const auto content = kivu_results::read_inputs(inputs, "");
    if (!content) {
      std::fprintf(stderr, "results_record_bench: %s\n", content.error().message.c_str());
      return 1;
    }
    kivu_results::Recording recording;
    recording.commit = "c" + std::to_string(run);
    recording.recorded_at = "2026-01-01T00:00:00Z";
    recording.content_hash = kivu_results::content_hash(content->digests, recording.commit, {}, "");
    recording.cases = content->cases;
    const auto outcome = store->record(recording);
    if (!outcome) {
      std::fprintf(stderr, "results_record_bench: %s\n", outcome.error().message.c_str());
      return 1;
    }
    stored += outcome->already_recorded ? 0 : 1;
  }
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  std::printf("%.3f %zu\n", elapsed.count(), stored);
  return 0;
}
