// Uses both libraries the way a consumer would: the board topology, and a
// profile written to a file and read back from the file and from memory.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "kivu_exchange.hpp"
#include "kivu_package.hpp"

int main() {
  const auto topology = kivu_exchange::Topology::halcyon();
  const auto physical = topology.physical(1471);
  if (!physical) return 1;

  kivu_package::ProfileReport report;
  report.clock_hz = 1'000'000;
  report.tiles.push_back({.physical_tile = *physical, .samples = {}});

  const std::filesystem::path path = std::filesystem::temp_directory_path() /
                                     ("kivu-consumer-" + std::to_string(::getpid()) + ".capnp");
  if (!kivu_package::write_profile_file(report, path)) return 1;
  const auto bytes = kivu_package::encode_profile(report);
  if (!bytes) return 1;

  auto a = kivu_package::ProfileReport::read(std::ifstream(path, std::ios::binary));
  auto b = kivu_package::ProfileReport::read(std::istringstream(*bytes));
  std::filesystem::remove(path);

  if (!a || !b) {
    std::cerr << "read failed: " << (a ? b.error() : a.error()) << '\n';
    return 1;
  }
  return *a == report && *b == report ? 0 : 1;
}
