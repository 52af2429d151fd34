// kivu_base/expected.hpp: passing a failure up the call chain.
//
// Code in this workspace reports failures as std::expected<T, Error> values
// and never throws. A function that calls another and cannot handle its error
// hands the error to its own caller. These two macros say that in one line:
//
//   std::expected<Route, ExchangeError> route_of(std::uint16_t tile, std::uint32_t address) {
//     KIVU_ASSIGN_OR_RETURN(const auto physical, locate(tile, address));
//     KIVU_RETURN_IF_ERROR(check_alignment(address));
//     return route_to(physical);
//   }
//
// The error is moved into the caller's std::unexpected, so it may also be
// converted there to the caller's own error type (an EnvironmentError into a
// RunError, say) through that type's constructor.
//
// The macros are statements, not expressions: std::expected has no monadic
// operations in the standard library this workspace builds with, and a
// statement needs no compiler extension.
#pragma once

#include <expected>
#include <utility>

// Evaluates `expression`, a std::expected; on failure returns its error from
// the enclosing function, which must return a std::expected whose error type
// can be built from it.
#define KIVU_RETURN_IF_ERROR(expression)                                   \
  do {                                                                     \
    if (auto kivu_expected_result_ = (expression); !kivu_expected_result_) \
      return std::unexpected(std::move(kivu_expected_result_).error());    \
  } while (false)

// Evaluates `expression`, a std::expected holding a value; on failure returns
// its error as KIVU_RETURN_IF_ERROR does, otherwise declares `declaration`
// (for example `auto size` or `const auto& header`) from the moved value.
// The declaration lives in the enclosing scope.
#define KIVU_ASSIGN_OR_RETURN(declaration, expression) \
  KIVU_ASSIGN_OR_RETURN_IMPL_(KIVU_EXPECTED_CONCAT_(kivu_expected_result_, __LINE__), declaration, expression)

#define KIVU_EXPECTED_CONCAT_INNER_(a, b) a##b
#define KIVU_EXPECTED_CONCAT_(a, b) KIVU_EXPECTED_CONCAT_INNER_(a, b)
#define KIVU_ASSIGN_OR_RETURN_IMPL_(result, declaration, expression) \
  auto result = (expression);                                        \
  if (!result) return std::unexpected(std::move(result).error());    \
  declaration = std::move(*result)
