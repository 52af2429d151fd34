#include "notice.hpp"

#include <cstdio>
#include <string>

namespace kivu_e2e {

void notice(std::string_view line) {
  std::string whole(line);
  whole += '\n';
  // stdio's stream lock keeps the line whole against other threads' output.
  std::fwrite(whole.data(), 1, whole.size(), stdout);
  std::fflush(stdout);
}

}  // namespace kivu_e2e
