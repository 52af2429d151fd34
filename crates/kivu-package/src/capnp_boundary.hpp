// The edge between this library and Cap'n Proto.
//
// Cap'n Proto reports malformed messages by throwing kj::Exception, may throw
// std::bad_alloc, and logs through kj's exception callback (which writes to
// stderr by default). The library promises to neither throw nor print, so
// every call into Cap'n Proto runs inside run_guarded: a quiet kj exception
// callback is installed for the duration, and whatever is thrown, from a
// constructor, a getter or a destructor, comes back as a PackageError.
#pragma once

#include <exception>
#include <expected>
#include <new>
#include <string_view>
#include <utility>

#include <kj/exception.h>

#include "kivu_package.hpp"
#include "kivu_package/profile_file.hpp"

namespace kivu_package::detail {

// =============================================================================
// Errors from exceptions

// The CapnpError for a kj exception: its type and its description.
[[nodiscard]] PackageError capnp_error_from(const kj::Exception& exception) noexcept;

// A Capnp error of kind Failed with `description`. Never throws: when even
// the text cannot be allocated, the description becomes "out of memory".
[[nodiscard]] PackageError capnp_failure(std::string_view description) noexcept;

// =============================================================================
// Guarded execution

// Installed on the stack while Cap'n Proto code runs on this thread: kj
// problems are thrown (never logged or turned into garbage values), log
// messages are dropped, and no stack traces are gathered.
class QuietExceptionCallback final : public kj::ExceptionCallback {
public:
  void onRecoverableException(kj::Exception&& exception) override;
  void onFatalException(kj::Exception&& exception) override;
  void logMessage(kj::LogSeverity severity, const char* file, int line, int context_depth, kj::String&& text) override;
  StackTraceMode stackTraceMode() override;
};

// Runs `body`, which returns std::expected<T, PackageError>, and turns any
// exception it lets out into a Capnp error (a ViewFailure into the error it
// carries). Everything `body` owns (message readers included, whose
// destructors may throw) is destroyed inside the guarded region.
template <typename Body>
[[nodiscard]] auto run_guarded(Body&& body) noexcept -> decltype(body()) {
  using Result = decltype(body());
  try {
    QuietExceptionCallback quiet;
    return body();
  } catch (ViewFailure& failure) {
    return Result(std::unexpect, std::move(failure.error));
  } catch (const kj::Exception& exception) {
    return Result(std::unexpect, capnp_error_from(exception));
  } catch (const std::bad_alloc&) {
    return Result(std::unexpect, capnp_failure("out of memory"));
  } catch (const std::exception& exception) {
    return Result(std::unexpect, capnp_failure(exception.what()));
  } catch (...) {
    return Result(std::unexpect, capnp_failure("unknown exception"));
  }
}

}  // namespace kivu_package::detail
