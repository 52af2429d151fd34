// kivu_base/os_error.hpp: how an operating-system error (an errno
// value) shows inside a message, in its two forms:
//
//   display  No such file or directory (os error 2)
//   debug    Os { code: 2, message: "No such file or directory" }
//
// The description is the system's own text for the number (strerror), so
// the forms read the same wherever the workspace reports such an error.
// Header-only; nothing thrown but bad_alloc.
#pragma once

#include <string>
#include <string_view>
#include <system_error>

#include "kivu_base/debug_form.hpp"

namespace kivu_base {

// The display form of errno value `code`: its description, then
// "(os error N)".
[[nodiscard]] inline std::string os_error_display(int code) {
  return std::system_category().message(code) + " (os error " + std::to_string(code) + ")";
}

// The debug form of an operating-system error numbered `code` whose
// description is `message`: Os { code: N, message: "<message, quoted>" }.
[[nodiscard]] inline std::string os_error_debug(int code, std::string_view message) {
  return "Os { code: " + std::to_string(code) + ", message: " + debug_quoted(message) + " }";
}

// The debug form of errno value `code`, with the system's description.
[[nodiscard]] inline std::string os_error_debug(int code) {
  return os_error_debug(code, std::system_category().message(code));
}

}  // namespace kivu_base
