// The check that the fuzz target and the corpus replay apply to one input:
// ProfileReport::read gives either a report or an error, a report encodes
// (kivu_package::encode_profile) and decodes back to itself, and a walk of
// the same bytes through kivu_package::ProfileFile agrees with read.
#pragma once

#include <string>

namespace kivu_fuzz {

// What one input gave.
struct InputOutcome {
  enum class Kind {
    Report,     // read, and survived the round trip
    Error,      // refused with an error
    RoundTrip,  // read, but re-encoding failed or did not decode to the same report,
                // or the view disagreed with read
  };
  Kind kind = Kind::Error;
  std::string detail;  // the reader's error, or what went wrong in the round trip
};

// Reads `bytes` as a profile and checks the round trip of a report.
[[nodiscard]] InputOutcome check_profile_input(std::string bytes);

}  // namespace kivu_fuzz
