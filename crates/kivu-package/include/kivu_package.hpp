// kivu_package: the per-tile cycle profile file and its reader.
//
// A cycle profile records, for each tile that took part in a run, the timed
// steps the tile went through (compute, exchange, synchronisation, idle),
// measured in device clock cycles, with the clock frequency that turns cycles
// into time. On disk it is one Cap'n Proto message in the standard unpacked
// stream framing, schema `profile.capnp` (generated into
// kivu_package::profile_capnp); the reader accepts schema versions 1 to 3.
//
// ProfileReport::read decodes such a file into plain owned values. It checks
// what decoding needs (framing, pointers, version, UTF-8, step kinds) and no
// more: whether the content makes sense is the caller's business. The reader
// bounds its work by the size of the message it was given, so a hostile file
// fails quickly instead of claiming memory or time it does not carry.
//
// To walk a profile where it lies instead, without building a report (the
// file mapped, nothing allocated per sample), use ProfileFile
// (kivu_package/profile_file.hpp): the same checks, the same errors.
//
// Nothing here throws, aborts or prints: every failure is a returned
// PackageError.
#pragma once

#include <concepts>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <iosfwd>
#include <istream>
#include <optional>
#include <string>
#include <system_error>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace kivu_package {

// =============================================================================
// Errors

// An error reported by the Cap'n Proto library: its kind and its own text.
struct CapnpError {
  enum class Kind { Failed, Overloaded, Disconnected, Unimplemented };
  Kind kind = Kind::Failed;
  std::string description;
  bool operator==(const CapnpError&) const = default;
};

// Invalid UTF-8: the length of the valid prefix, and the length of the bad
// sequence (absent when the input ends inside a sequence).
struct Utf8Error {
  std::size_t valid_up_to = 0;
  std::optional<std::uint8_t> error_len;
  bool operator==(const Utf8Error&) const = default;
};

// An enum value outside the schema, with the raw value.
struct NotInSchema {
  std::uint16_t value = 0;
  bool operator==(const NotInSchema&) const = default;
};

// The library's error: a tagged union of five variants, in this order.
// Converts implicitly from CapnpError, Utf8Error, NotInSchema and
// std::error_code. operator<< writes the debug form, e.g.
//   Invalid("unsupported profile schema version 4")
//   SchemaEnum(NotInSchema(4))
//   Utf8(Utf8Error { valid_up_to: 3, error_len: Some(1) })
//   Capnp(Failed: "<the library's text>")
//   Io(Os { code: 2, message: "No such file or directory" })
// Texts are quoted with \", \\, \n, \r, \t, \0 and \u{hex} for other control
// characters. An Io error outside the operating system's categories shows
// its category: Io(Custom { category: "iostream", code: 1, message: "..." }).
class PackageError {
public:
  struct Capnp {
    CapnpError error;
    bool operator==(const Capnp&) const = default;
  };
  struct Io {
    std::error_code error;
    bool operator==(const Io&) const = default;
  };
  struct Utf8 {
    Utf8Error error;
    bool operator==(const Utf8&) const = default;
  };
  struct SchemaEnum {
    NotInSchema error;
    bool operator==(const SchemaEnum&) const = default;
  };
  struct Invalid {
    std::string message;
    bool operator==(const Invalid&) const = default;
  };

  using Variant = std::variant<Capnp, Io, Utf8, SchemaEnum, Invalid>;

  PackageError(Capnp e) : value_(std::move(e)) {}
  PackageError(Io e) : value_(std::move(e)) {}
  PackageError(Utf8 e) : value_(std::move(e)) {}
  PackageError(SchemaEnum e) : value_(std::move(e)) {}
  PackageError(Invalid e) : value_(std::move(e)) {}
  PackageError(CapnpError e) : value_(Capnp{std::move(e)}) {}
  PackageError(Utf8Error e) : value_(Utf8{e}) {}
  PackageError(NotInSchema e) : value_(SchemaEnum{e}) {}
  PackageError(std::error_code e) : value_(Io{e}) {}

  // The variant held.
  [[nodiscard]] const Variant& variant() const noexcept { return value_; }
  // True when the error holds alternative T.
  template <typename T>
  [[nodiscard]] bool is() const noexcept {
    return std::holds_alternative<T>(value_);
  }
  // The alternative T; only valid when is<T>().
  template <typename T>
  [[nodiscard]] const T& as() const {
    return std::get<T>(value_);
  }

  bool operator==(const PackageError&) const = default;

private:
  Variant value_;
};

// Writes the debug form of the error (see PackageError).
std::ostream& operator<<(std::ostream& out, const PackageError& error);
// The debug form as a string.
[[nodiscard]] std::string debug_string(const PackageError& error);

// =============================================================================
// The decoded profile

// What a tile was doing during a sample.
enum class ProfileStepKind { Exchange, Compute, Synchronization, Idle };

// Writes the kind's name: Exchange, Compute, Synchronization or Idle.
std::ostream& operator<<(std::ostream& out, ProfileStepKind kind);

// A free-form name/value annotation of a step.
struct ProfileMetadata {
  std::string name;
  std::string value;
  bool operator==(const ProfileMetadata&) const = default;
};

// One step of a tile's run.
struct ProfileStep {
  std::uint32_t local_index = 0;
  std::uint32_t phase = 0;
  std::uint32_t epoch = 0;
  std::string operation;
  ProfileStepKind kind = ProfileStepKind::Exchange;
  std::string kernel;
  std::vector<ProfileMetadata> metadata;
  bool operator==(const ProfileStep&) const = default;
};

// A timed step: the tile did `step` from start_cycle to end_cycle.
struct CycleSample {
  ProfileStep step;
  std::uint32_t start_cycle = 0;
  std::uint32_t end_cycle = 0;
  bool operator==(const CycleSample&) const = default;
};

// The samples of one tile, named by physical tile number.
struct TileProfile {
  std::uint32_t physical_tile = 0;
  std::vector<CycleSample> samples;
  bool operator==(const TileProfile&) const = default;
};

// A whole decoded profile. Owns all of its data.
struct ProfileReport {
  std::uint64_t clock_hz = 0;
  std::vector<TileProfile> tiles;

  bool operator==(const ProfileReport&) const = default;

  // Decodes one profile message from `stream`, which read takes over: it is
  // consumed and destroyed (a file closed) before read returns, on every
  // path. Returns the complete report or the first error met; never a part.
  // Nothing after the message's last segment is read. Time and memory stay
  // proportional to the bytes actually present: a segment table that claims
  // more than the stream holds, or a message whose pointers would make the
  // reader visit far more than it holds, fails as Capnp.
  template <typename Stream>
    requires std::derived_from<std::remove_cvref_t<Stream>, std::istream> &&(!std::is_lvalue_reference_v<Stream>)
        [[nodiscard]] static std::expected<ProfileReport, PackageError> read(Stream&& stream) noexcept {
      std::remove_cvref_t<Stream> owned(std::move(stream));
      return read_from(owned);
    }

    // Decodes one profile message from a stream the caller keeps. On return
    // the stream stands right after the message's last segment when the
    // message was complete; nothing beyond it has been extracted.
    [[nodiscard]] static std::expected<ProfileReport, PackageError> read_from(std::istream& stream) noexcept;
};

// The Cap'n Proto reader options of a profile read, capnp_reader_options(),
// are declared in kivu_package/capnp_reader_options.hpp.

// The traversal limit, in words, that read applies to a message of
// `message_words` words: a small multiple of the size plus a fixed slack.
// An honest message is visited about once; a message that makes its reader
// visit far more than it holds (shared pointers, zero-sized list elements)
// runs into this limit and fails as Capnp.
[[nodiscard]] std::uint64_t profile_traversal_limit(std::uint64_t message_words) noexcept;

// =============================================================================
// Writing

// The schema version that write_profile stores, the newest one.
inline constexpr std::uint32_t profile_schema_version = 3;

// The oldest schema version the reader takes: it reads the versions from
// this one to profile_schema_version, and refuses any other as Invalid
// ("unsupported profile schema version N").
inline constexpr std::uint32_t oldest_profile_schema_version = 1;

// Encodes `report` as one profile message in the unpacked stream framing,
// schema version profile_schema_version. Every text must be valid UTF-8
// (else Utf8, as the reader would answer) and every list must fit a Cap'n
// Proto list (else Invalid). Empty texts and lists are stored as null
// pointers, which read back as empty.
[[nodiscard]] std::expected<std::string, PackageError> encode_profile(const ProfileReport& report) noexcept;

// Writes `report` to `stream` as one profile message. A stream that refuses
// the bytes gives Io.
[[nodiscard]] std::expected<void, PackageError> write_profile(const ProfileReport& report,
                                                              std::ostream& stream) noexcept;

// Writes `report` to `path` with kivu_output_file::write_output_file
// (kivu_output_file/output_file.hpp), OutputLink::Replace: a regular file is
// replaced atomically (a reader never sees half a file, a killed writer
// leaves nothing where the file system has unnamed files and else its
// ".kivu-" temporary, the replaced file's permission bits stay), a symbolic
// link at `path` to a regular file is replaced, not followed, a link to
// anything else is written through or refused, a character device or FIFO
// is written directly, and on failure `path` is left as it was. The report is encoded before any file is touched.
// Operating-system failures give Io with the reason (ENOSPC on a full disk).
[[nodiscard]] std::expected<void, PackageError> write_profile_file(const ProfileReport& report,
                                                                   const std::filesystem::path& path) noexcept;

}  // namespace kivu_package
