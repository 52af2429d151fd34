// PackageError's debug form, and the conversion of Cap'n Proto exceptions
// into PackageError at the library's edge.
#include <ostream>
#include <sstream>
#include <string>
#include <system_error>
#include <type_traits>
#include <utility>

#include "capnp_boundary.hpp"
#include "kivu_base/debug_form.hpp"
#include "kivu_base/os_error.hpp"
#include "kivu_package.hpp"

namespace kivu_package {

namespace {

// =============================================================================
// Debug-form pieces

// Writes `text` in its quoted debug form.
void write_quoted(std::ostream& out, std::string_view text) { kivu_base::write_debug_quoted(out, text); }

std::string_view kind_name(CapnpError::Kind kind) {
  switch (kind) {
    case CapnpError::Kind::Failed: return "Failed";
    case CapnpError::Kind::Overloaded: return "Overloaded";
    case CapnpError::Kind::Disconnected: return "Disconnected";
    case CapnpError::Kind::Unimplemented: return "Unimplemented";
  }
  return "Failed";
}

// Operating-system errors show as Os { code, message }; errors of other
// categories name their category.
void write_io(std::ostream& out, const std::error_code& code) {
  const auto& category = code.category();
  if (category == std::system_category() || category == std::generic_category()) {
    out << kivu_base::os_error_debug(code.value(), code.message());
    return;
  }
  out << "Custom { category: ";
  write_quoted(out, category.name());
  out << ", code: " << code.value() << ", message: ";
  write_quoted(out, code.message());
  out << " }";
}

}  // namespace

// =============================================================================
// Debug form

std::ostream& operator<<(std::ostream& out, const PackageError& error) {
  std::visit(
      [&out](const auto& e) {
        using T = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<T, PackageError::Capnp>) {
          out << "Capnp(" << kind_name(e.error.kind) << ": ";
          write_quoted(out, e.error.description);
          out << ')';
        } else if constexpr (std::is_same_v<T, PackageError::Io>) {
          out << "Io(";
          write_io(out, e.error);
          out << ')';
        } else if constexpr (std::is_same_v<T, PackageError::Utf8>) {
          out << "Utf8(Utf8Error { valid_up_to: " << e.error.valid_up_to << ", error_len: ";
          if (e.error.error_len) {
            out << "Some(" << static_cast<unsigned>(*e.error.error_len) << ')';
          } else {
            out << "None";
          }
          out << " })";
        } else if constexpr (std::is_same_v<T, PackageError::SchemaEnum>) {
          out << "SchemaEnum(NotInSchema(" << e.error.value << "))";
        } else {
          static_assert(std::is_same_v<T, PackageError::Invalid>);
          out << "Invalid(";
          write_quoted(out, e.message);
          out << ')';
        }
      },
      error.variant());
  return out;
}

std::string debug_string(const PackageError& error) {
  std::ostringstream out;
  out << error;
  return std::move(out).str();
}

std::ostream& operator<<(std::ostream& out, ProfileStepKind kind) {
  switch (kind) {
    case ProfileStepKind::Exchange: return out << "Exchange";
    case ProfileStepKind::Compute: return out << "Compute";
    case ProfileStepKind::Synchronization: return out << "Synchronization";
    case ProfileStepKind::Idle: return out << "Idle";
  }
  return out << "ProfileStepKind(" << static_cast<int>(kind) << ')';
}

// =============================================================================
// Cap'n Proto exceptions

namespace detail {

PackageError capnp_failure(std::string_view description) noexcept {
  try {
    return CapnpError{CapnpError::Kind::Failed, std::string(description)};
  } catch (...) {
    // Short enough to need no allocation.
    return CapnpError{CapnpError::Kind::Failed, "out of memory"};
  }
}

PackageError capnp_error_from(const kj::Exception& exception) noexcept {
  CapnpError::Kind kind = CapnpError::Kind::Failed;
  switch (exception.getType()) {
    case kj::Exception::Type::FAILED: kind = CapnpError::Kind::Failed; break;
    case kj::Exception::Type::OVERLOADED: kind = CapnpError::Kind::Overloaded; break;
    case kj::Exception::Type::DISCONNECTED: kind = CapnpError::Kind::Disconnected; break;
    case kj::Exception::Type::UNIMPLEMENTED: kind = CapnpError::Kind::Unimplemented; break;
  }
  try {
    const kj::StringPtr text = exception.getDescription();
    return CapnpError{kind, std::string(text.begin(), text.size())};
  } catch (...) {
    return CapnpError{kind, "out of memory"};
  }
}

void QuietExceptionCallback::onRecoverableException(kj::Exception&& exception) {
  // While an exception is already unwinding the stack the read has failed;
  // throwing again would terminate, and the first error is the one reported.
  if (std::uncaught_exceptions() > 0) return;
  throw std::move(exception);
}

void QuietExceptionCallback::onFatalException(kj::Exception&& exception) { throw std::move(exception); }

void QuietExceptionCallback::logMessage(kj::LogSeverity, const char*, int, int, kj::String&&) {}

kj::ExceptionCallback::StackTraceMode QuietExceptionCallback::stackTraceMode() { return StackTraceMode::NONE; }

}  // namespace detail

}  // namespace kivu_package
