// Fuzz target: ProfileReport::read on arbitrary bytes.
//
// The reader must return a report or an error for any input: no crash, no
// hang, no leak, and no memory far beyond the size of the input. A report it
// returns must encode and decode back to itself, or the reader accepted
// something the writer cannot produce (or lost part of it); the target
// aborts then, which libFuzzer reports like a crash. Built with libFuzzer
// under the fuzz preset; check_profile_input is also linked into
// profile_read_replay, which runs a corpus as a regression test.
#include "profile_read_check.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "kivu_package.hpp"

namespace profile_fuzz {

InputOutcome check_profile_input(std::string bytes) {
  auto report = kivu_package::ProfileReport::read(std::istringstream(std::move(bytes)));
  if (!report) return {InputOutcome::Kind::Error, kivu_package::debug_string(report.error())};
  const auto encoded = kivu_package::encode_profile(*report);
  if (!encoded) {
    return {InputOutcome::Kind::RoundTrip, "a read report does not encode: " + debug_string(encoded.error())};
  }
  const auto decoded = kivu_package::ProfileReport::read(std::istringstream(*encoded));
  if (!decoded) {
    return {InputOutcome::Kind::RoundTrip, "a re-encoded report does not decode: " + debug_string(decoded.error())};
  }
  if (*decoded != *report) return {InputOutcome::Kind::RoundTrip, "a re-encoded report decodes to another report"};
  return {InputOutcome::Kind::Report, {}};
}

}  // namespace profile_fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto outcome = profile_fuzz::check_profile_input(std::string(reinterpret_cast<const char*>(data), size));
  if (outcome.kind == profile_fuzz::InputOutcome::Kind::RoundTrip) {
    std::fprintf(stderr, "profile round trip failed: %s\n", outcome.detail.c_str());
    std::abort();
  }
  return 0;
}
