#include "kivu_base/utc_time.hpp"

#include <ctime>

namespace kivu_base {

std::string utc_now_text() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  gmtime_r(&now, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

}  // namespace kivu_base
