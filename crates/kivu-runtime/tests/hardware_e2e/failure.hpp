// How a case of the suite fails.
//
// A case aborts by throwing CaseFailure with the exact text it reports; the
// registry's wrapper (registry.cpp) catches it and hands the text to the test
// harness as the case's failure, so the harness goes on with the next case.
// Everything a case holds (the device lock above all) is released by scope
// exit on the way out.
//
// The helpers here also render errors the way the failure texts show them:
// strings in their quoted debug form, system errors in their display form
// ("No such file or directory (os error 2)") or debug form
// (Os { code: 2, message: "No such file or directory" }).
#pragma once

#include <exception>
#include <source_location>
#include <string>
#include <string_view>

#include "kivu_base/os_error.hpp"

namespace kivu_e2e {

// =============================================================================
// The failure

// Aborts the running case. `message()` is the exact text reported for the
// case; `where()` is the place in the case sources that failed.
class CaseFailure : public std::exception {
public:
  CaseFailure(std::string message, std::source_location where) noexcept : message_(std::move(message)), where_(where) {}

  [[nodiscard]] const std::string& message() const noexcept { return message_; }
  [[nodiscard]] const std::source_location& where() const noexcept { return where_; }
  [[nodiscard]] const char* what() const noexcept override { return message_.c_str(); }

private:
  std::string message_;
  std::source_location where_;
};

// Fails the running case with `message`.
[[noreturn]] void fail(std::string message, std::source_location where = std::source_location::current());

// Fails the running case the way an unwrapped error does:
// "called `Result::unwrap()` on an `Err` value: " followed by `debug_form`.
[[noreturn]] void fail_unwrap(std::string_view debug_form,
                              std::source_location where = std::source_location::current());

// =============================================================================
// Renderings

// `text` between double quotes, with double quotes, backslashes and control
// characters escaped (\", \\, \t, \r, \n, \0, other controls as \u{1b}).
[[nodiscard]] std::string debug_quote(std::string_view text);

// The display form of a system error: its description and "(os error N)".
using kivu_base::os_error_display;

// The debug form of a system error: Os { code: N, message: "<description>" }.
using kivu_base::os_error_debug;

}  // namespace kivu_e2e
