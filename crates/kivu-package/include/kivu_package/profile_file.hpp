// A cycle profile read in place: the file is mapped (or, when it cannot be
// mapped, read once into memory) and its message is walked through Cap'n
// Proto's flat-array reader and the generated profile_capnp readers. Nothing
// is decoded into owned values: tiles, samples, steps and metadata entries
// are handed out as light views over the message, and texts as string views
// into it, so a walk allocates nothing per sample and the memory taken stays
// close to the file's size whatever that is.
//
// The views are valid only inside ProfileFile::visit, which runs a body over
// the profile and turns whatever goes wrong while it walks into a returned
// PackageError, the same values that ProfileReport::read returns:
//   - Capnp for a malformed pointer (of the wrong kind, out of bounds, a text
//     without its NUL) met on the way, and when the walk visits far more
//     words than the message holds (shared or zero-sized list elements): the
//     reader's traversal limit is set from the message's size;
//   - Utf8 for a text that is not valid UTF-8, checked when it is read as
//     text (operation(), kernel(), name(), value());
//   - SchemaEnum for a step kind outside the schema, checked by kind().
// What the body did before the error stays done (output written, figures
// summed); the caller must treat the walk as failed.
//
//   auto file = ProfileFile::open(path);            // framing, root, version
//   if (!file) return file.error();
//   std::uint64_t cycles = 0;
//   auto walked = file->visit([&](const ProfileView& profile) {
//     for (const TileView tile : profile.tiles())
//       for (const SampleView sample : tile.samples()) cycles += sample.end_cycle() - sample.start_cycle();
//   });
//
// The segment table is read by the same framing as ProfileReport::read, and
// the traversal limit taken from the same count of words, so the same bytes
// fail with the same PackageError, text included, from either.
//
// A file replaced atomically (as write_profile_file does) while mapped does
// not disturb the mapping; a file truncated in place while mapped can, as
// with any mapped file, raise SIGBUS (si_code BUS_ADRERR) on the next read of
// a page past its new end. The library installs no signal handler: a
// program that maps files others may change handles it (kivu-profile turns
// it into one line and exit status 1).
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <string_view>
#include <type_traits>
#include <utility>

#include <capnp/list.h>

#include "kivu_package.hpp"
#include "profile.capnp.h"

namespace kivu_package {

namespace detail {

// How a view reports what it cannot hand out (a bad text, a kind outside the
// schema): raised inside ProfileFile::visit and returned by it as `error`.
// Never leaves the library.
struct ViewFailure {
  PackageError error;
};

[[noreturn]] void raise_view_failure(PackageError error);

// `text` checked as UTF-8.
[[nodiscard]] std::string_view checked_text(capnp::Text::Reader text);

}  // namespace detail

// =============================================================================
// Views

// The elements of a list in the message, as views of type Element.
template <typename Element>
class ListView {
public:
  using Reader = typename capnp::List<typename Element::Schema, capnp::Kind::STRUCT>::Reader;

  ListView() = default;
  explicit ListView(Reader list) noexcept : list_(list) {}

  [[nodiscard]] std::uint32_t size() const noexcept { return list_.size(); }
  [[nodiscard]] bool empty() const noexcept { return size() == 0; }
  [[nodiscard]] Element operator[](std::uint32_t index) const { return Element(list_[index]); }

  class iterator {
  public:
    using value_type = Element;
    using difference_type = std::ptrdiff_t;

    iterator() = default;
    iterator(const Reader* list, std::uint32_t index) noexcept : list_(list), index_(index) {}
    Element operator*() const { return Element((*list_)[index_]); }
    iterator& operator++() noexcept {
      ++index_;
      return *this;
    }
    iterator operator++(int) noexcept {
      iterator before = *this;
      ++index_;
      return before;
    }
    bool operator==(const iterator& other) const noexcept { return index_ == other.index_; }

  private:
    const Reader* list_ = nullptr;
    std::uint32_t index_ = 0;
  };

  [[nodiscard]] iterator begin() const noexcept { return iterator(&list_, 0); }
  [[nodiscard]] iterator end() const noexcept { return iterator(&list_, size()); }

private:
  Reader list_;
};

// A free-form annotation of a step.
class MetadataView {
public:
  using Schema = profile_capnp::MetadataEntry;
  explicit MetadataView(Schema::Reader entry) noexcept : entry_(entry) {}

  [[nodiscard]] std::string_view name() const { return detail::checked_text(entry_.getName()); }
  [[nodiscard]] std::string_view value() const { return detail::checked_text(entry_.getValue()); }

private:
  Schema::Reader entry_;
};

// What a tile was doing during a sample. Each text and list getter follows a
// pointer (and counts against the traversal limit): read each once.
class StepView {
public:
  using Schema = profile_capnp::ProfileStep;
  explicit StepView(Schema::Reader step) noexcept : step_(step) {}

  [[nodiscard]] std::uint32_t local_index() const noexcept { return step_.getLocalIndex(); }
  [[nodiscard]] std::uint32_t phase() const noexcept { return step_.getPhase(); }
  [[nodiscard]] std::uint32_t epoch() const noexcept { return step_.getEpoch(); }
  [[nodiscard]] std::string_view operation() const { return detail::checked_text(step_.getOperation()); }
  [[nodiscard]] std::string_view kernel() const { return detail::checked_text(step_.getKernel()); }
  // The kind as stored, possibly outside the schema.
  [[nodiscard]] std::uint16_t raw_kind() const noexcept { return static_cast<std::uint16_t>(step_.getKind()); }
  // The kind; one outside the schema fails the walk with SchemaEnum.
  [[nodiscard]] ProfileStepKind kind() const {
    const std::uint16_t raw = raw_kind();
    if (raw > static_cast<std::uint16_t>(ProfileStepKind::Idle)) detail::raise_view_failure(NotInSchema{raw});
    return static_cast<ProfileStepKind>(raw);
  }
  [[nodiscard]] ListView<MetadataView> metadata() const { return ListView<MetadataView>(step_.getMetadata()); }

private:
  Schema::Reader step_;
};

// A timed step of a tile.
class SampleView {
public:
  using Schema = profile_capnp::CycleSample;
  explicit SampleView(Schema::Reader sample) noexcept : sample_(sample) {}

  [[nodiscard]] std::uint32_t start_cycle() const noexcept { return sample_.getStartCycle(); }
  [[nodiscard]] std::uint32_t end_cycle() const noexcept { return sample_.getEndCycle(); }
  // True when the sample ends before it starts.
  [[nodiscard]] bool reversed() const noexcept { return end_cycle() < start_cycle(); }
  [[nodiscard]] StepView step() const { return StepView(sample_.getStep()); }

private:
  Schema::Reader sample_;
};

// The samples of one tile list entry.
class TileView {
public:
  using Schema = profile_capnp::TileProfile;
  explicit TileView(Schema::Reader tile) noexcept : tile_(tile) {}

  [[nodiscard]] std::uint32_t physical_tile() const noexcept { return tile_.getPhysicalTile(); }
  [[nodiscard]] ListView<SampleView> samples() const { return ListView<SampleView>(tile_.getSamples()); }

private:
  Schema::Reader tile_;
};

// The whole profile, its schema version already checked.
class ProfileView {
public:
  using Schema = profile_capnp::Profile;
  explicit ProfileView(Schema::Reader root) noexcept : root_(root) {}

  [[nodiscard]] std::uint32_t schema_version() const noexcept { return root_.getSchemaVersion(); }
  [[nodiscard]] std::uint64_t clock_hz() const noexcept { return root_.getClockHz(); }
  [[nodiscard]] ListView<TileView> tiles() const { return ListView<TileView>(root_.getTiles()); }

private:
  Schema::Reader root_;
};

// =============================================================================
// The file

class ProfileFile {
public:
  // Maps the profile at `path` (a regular file) or reads it whole (a pipe,
  // standard input, a character device), then checks its framing, root and
  // schema version: a segment table that claims more than the file holds
  // fails here at once as Capnp, an unsupported version as Invalid. A file
  // that cannot be opened or read gives Io with the system's reason.
  [[nodiscard]] static std::expected<ProfileFile, PackageError> open(const std::filesystem::path& path) noexcept;

  // The same over a copy of `bytes` (one profile message in the stream
  // framing), for profiles that are already in memory.
  [[nodiscard]] static std::expected<ProfileFile, PackageError> from_bytes(std::string_view bytes) noexcept;

  ProfileFile(ProfileFile&&) noexcept;
  ProfileFile& operator=(ProfileFile&&) noexcept;
  ~ProfileFile();

  // Bytes of the file, the message and anything after it.
  [[nodiscard]] std::size_t size_bytes() const noexcept;

  // Runs `body(const ProfileView&)` over the profile. Each visit reads the
  // message afresh, with a traversal limit of profile_traversal_limit of its
  // size. Returns the first error the walk met; the body's own exceptions
  // come back as Capnp errors as well. Visits may run on several threads.
  template <typename Body>
  [[nodiscard]] std::expected<void, PackageError> visit(Body&& body) const noexcept {
    using Callable = std::remove_reference_t<Body>;
    return visit_with(const_cast<void*>(static_cast<const void*>(std::addressof(body))),
                      [](void* callable, const ProfileView& profile) { (*static_cast<Callable*>(callable))(profile); });
  }

  // Walks the whole profile, reading every text as text and every kind: the
  // checks of ProfileReport::read without building anything.
  [[nodiscard]] std::expected<void, PackageError> check() const noexcept;

private:
  struct Storage;
  explicit ProfileFile(std::unique_ptr<Storage> storage) noexcept;
  [[nodiscard]] static std::expected<ProfileFile, PackageError> validated(std::unique_ptr<Storage> storage) noexcept;
  [[nodiscard]] std::expected<void, PackageError> visit_with(void* body,
                                                             void (*call)(void*, const ProfileView&)) const noexcept;

  std::unique_ptr<Storage> storage_;
};

}  // namespace kivu_package
