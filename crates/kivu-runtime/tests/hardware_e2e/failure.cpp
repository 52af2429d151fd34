#include "failure.hpp"

#include <cstdio>
#include <system_error>

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

std::string debug_quote(std::string_view text) {
  std::string quoted;
  quoted.reserve(text.size() + 2);
  quoted += '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"': quoted += "\\\""; break;
      case '\\': quoted += "\\\\"; break;
      case '\t': quoted += "\\t"; break;
      case '\r': quoted += "\\r"; break;
      case '\n': quoted += "\\n"; break;
      case '\0': quoted += "\\0"; break;
      default:
        if (byte < 0x20 || byte == 0x7f) {
          char escape[16];
          std::snprintf(escape, sizeof escape, "\\u{%x}", static_cast<unsigned>(byte));
          quoted += escape;
        } else {
          quoted += c;
        }
    }
  }
  quoted += '"';
  return quoted;
}

std::string os_error_display(int code) {
  return std::system_category().message(code) + " (os error " + std::to_string(code) + ")";
}

std::string os_error_debug(int code) {
  return "Os { code: " + std::to_string(code) + ", message: " + debug_quote(std::system_category().message(code)) +
         " }";
}

}  // namespace kivu_e2e
