#include "failure.hpp"

#include <cstdio>

#include "kivu_base/debug_form.hpp"

namespace kivu_e2e {

// =============================================================================
// The failure

void fail(std::string message, std::source_location where) { throw CaseFailure(std::move(message), where); }

void fail_unwrap(std::string_view debug_form, std::source_location where) {
  std::string message = "called `Result::unwrap()` on an `Err` value: ";
  message += debug_form;
  throw CaseFailure(std::move(message), where);
}

// =============================================================================
// Renderings

std::string debug_quote(std::string_view text) { return kivu_base::debug_quoted(text); }

}  // namespace kivu_e2e
