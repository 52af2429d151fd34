// Fuzz target: ProfileReport::read on arbitrary bytes.
//
// The reader must return a report or an error for any input: no crash, no
// hang, no leak, and no memory far beyond the size of the input. Built with
// libFuzzer under the fuzz preset; the same entry point is linked into
// profile_read_replay, which runs a corpus as a regression test.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "kivu_package.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  auto report = kivu_package::ProfileReport::read(std::istringstream(std::move(bytes)));
  if (report) {
    // Touch the decoded values so the conversion cannot be optimised away.
    std::size_t samples = 0;
    for (const auto& tile : report->tiles) samples += tile.samples.size();
    asm volatile("" : : "r"(samples) : "memory");
  }
  return 0;
}
