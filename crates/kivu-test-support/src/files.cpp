#include "kivu_testing/files.hpp"

#include <algorithm>
#include <fstream>
#include <sstream>

namespace kivu_testing {

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  // Copying the buffer whole, rather than iterating over it, turns a read
  // error (a directory, an I/O fault) into a short result instead of an
  // exception that would end the test with a less useful message.
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::vector<std::string> directory_entries(const std::filesystem::path& path) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(path)) names.push_back(entry.path().filename());
  std::ranges::sort(names);
  return names;
}

}  // namespace kivu_testing
