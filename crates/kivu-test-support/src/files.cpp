#include "kivu_testing/files.hpp"

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

}  // namespace kivu_testing
