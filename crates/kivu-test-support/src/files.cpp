#include "kivu_testing/files.hpp"

#include <fstream>
#include <iterator>

namespace kivu_testing {

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace kivu_testing
