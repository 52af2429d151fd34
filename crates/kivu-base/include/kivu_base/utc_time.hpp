// kivu_base/utc_time.hpp: the moment now, as the workspace writes it into
// stores, quarantine files and reports: UTC in ISO 8601 to the second,
// "2026-12-09T19:23:40Z".
#pragma once

#include <string>

namespace kivu_base {

// The current time in UTC, "YYYY-MM-DDTHH:MM:SSZ".
[[nodiscard]] std::string utc_now_text();

}  // namespace kivu_base
