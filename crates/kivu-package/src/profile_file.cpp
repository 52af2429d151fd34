// ProfileFile: a profile mapped (or read once) into memory and walked through
// Cap'n Proto's segment-array reader.
//
// The segment table is read by the same framing code as ProfileReport::read
// (framing.hpp), over the bytes in memory: the segments are taken where they
// lie, a table that claims more than the file holds fails before any reader
// is made, and nothing is allocated for what the table merely claims. So the
// same bytes give the same error from both, down to the text, and the
// traversal limit is taken from the same count of words.
#include "kivu_package/profile_file.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <span>
#include <spanstream>
#include <system_error>

#include <capnp/serialize.h>

#include "capnp_boundary.hpp"
#include "framing.hpp"
#include "kivu_base/descriptor.hpp"
#include "kivu_base/expected.hpp"
#include "kivu_package/capnp_reader_options.hpp"
#include "profile_walk.hpp"
#include "utf8.hpp"

namespace kivu_package {

namespace detail {

void raise_view_failure(PackageError error) { throw ViewFailure{std::move(error)}; }

std::string_view checked_text(capnp::Text::Reader text) {
  const std::string_view bytes(text.begin(), text.size());
  // A text lies in whole words of the message, its NUL within them, so the
  // ASCII test may read up to the next word boundary.
  if (!is_ascii_word_padded(bytes)) {
    if (auto bad = check_utf8(bytes)) raise_view_failure(*bad);
  }
  return bytes;
}

ProfileView profile_root(capnp::MessageReader& message) {
  const ProfileView profile(message.getRoot<profile_capnp::Profile>());
  const std::uint32_t version = profile.schema_version();
  if (version < oldest_profile_schema_version || version > profile_schema_version) {
    raise_view_failure(PackageError::Invalid{"unsupported profile schema version " + std::to_string(version)});
  }
  return profile;
}

}  // namespace detail

namespace {

std::unexpected<PackageError> system_error(int error) {
  return std::unexpected(PackageError(std::error_code(error, std::system_category())));
}

// A file's bytes mapped read-only, released on destruction.
class Mapping {
public:
  Mapping() noexcept = default;
  Mapping(void* data, std::size_t size) noexcept : data_(data), size_(size) {}
  Mapping(Mapping&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  Mapping& operator=(Mapping&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    return *this;
  }
  ~Mapping() {
    if (data_ != nullptr) ::munmap(data_, size_);
  }
  [[nodiscard]] const char* data() const noexcept { return static_cast<const char*>(data_); }

private:
  void* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace

// The bytes viewed: a mapping of the file, or memory of our own holding
// what a stream delivered or a copy of bytes given. Each starts on a word
// boundary, as the reader needs.
struct ProfileFile::Storage {
  Mapping mapping;
  detail::SegmentBuffer buffer;
  std::unique_ptr<capnp::word[]> copy;
  const char* data = nullptr;
  std::size_t size = 0;
  // The message's segments, within `data`, and their words together; set
  // by validated().
  detail::FramedMessage framed;
};

ProfileFile::ProfileFile(std::unique_ptr<Storage> storage) noexcept : storage_(std::move(storage)) {}
ProfileFile::ProfileFile(ProfileFile&&) noexcept = default;
ProfileFile& ProfileFile::operator=(ProfileFile&&) noexcept = default;
ProfileFile::~ProfileFile() = default;

std::size_t ProfileFile::size_bytes() const noexcept { return storage_ ? storage_->size : 0; }

std::expected<ProfileFile, PackageError> ProfileFile::open(const std::filesystem::path& path) noexcept {
  return detail::run_guarded([&]() -> std::expected<ProfileFile, PackageError> {
    auto opened = kivu_base::open_file(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (!opened) return system_error(opened.error());
    const kivu_base::Descriptor file = std::move(*opened);
    struct stat status {};
    if (::fstat(file.get(), &status) != 0) return system_error(errno);
    if (S_ISDIR(status.st_mode)) return system_error(EISDIR);

    auto storage = std::make_unique<Storage>();
    if (S_ISREG(status.st_mode) && status.st_size > 0) {
      const auto size = static_cast<std::size_t>(status.st_size);
      // Populated at once: every command walks the whole message, and
      // faulting its pages in one go is much cheaper than one by one.
      void* mapped = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, file.get(), 0);
      if (mapped == MAP_FAILED) return system_error(errno);
      storage->mapping = Mapping(mapped, size);
      storage->data = storage->mapping.data();
      storage->size = size;
      return validated(std::move(storage));
    }

    // Anything that cannot be mapped (a pipe, a terminal, a device) is read
    // into memory that grows as the bytes arrive, until the message that the
    // segment table announces is complete or the input ends: so an endless
    // device (/dev/zero) stops at its first table, and a table's claim costs
    // only the bytes that actually arrive.
    constexpr std::size_t chunk = std::size_t{1} << 20;
    std::size_t filled = 0;
    for (;;) {
      if (filled >= sizeof(capnp::word)) {
        const kj::ArrayPtr<const capnp::word> prefix(reinterpret_cast<const capnp::word*>(storage->buffer.data()),
                                                     filled / sizeof(capnp::word));
        if (filled / sizeof(capnp::word) >= capnp::expectedSizeInWordsFromPrefix(prefix)) break;
        // A table of more segments than the reader accepts fails anyway.
        std::uint32_t segments_less_one = 0;
        std::memcpy(&segments_less_one, storage->buffer.data(), sizeof segments_less_one);
        if (segments_less_one >= detail::max_segments) break;
      }
      if (filled == storage->buffer.capacity()) storage->buffer.reserve(filled + chunk, filled >= chunk);
      const auto got = kivu_base::read_some(file.get(), storage->buffer.data() + filled,
                                            storage->buffer.capacity() - filled);
      if (!got) return system_error(got.error());
      if (*got == 0) break;
      filled += *got;
    }
    storage->data = storage->buffer.data();
    storage->size = filled;
    return validated(std::move(storage));
  });
}

std::expected<ProfileFile, PackageError> ProfileFile::from_bytes(std::string_view bytes) noexcept {
  return detail::run_guarded([&]() -> std::expected<ProfileFile, PackageError> {
    auto storage = std::make_unique<Storage>();
    storage->copy = std::make_unique_for_overwrite<capnp::word[]>(bytes.size() / sizeof(capnp::word) + 1);
    std::memcpy(storage->copy.get(), bytes.data(), bytes.size());
    storage->data = reinterpret_cast<const char*>(storage->copy.get());
    storage->size = bytes.size();
    return validated(std::move(storage));
  });
}

std::expected<ProfileFile, PackageError> ProfileFile::validated(std::unique_ptr<Storage> storage) noexcept {
  KIVU_RETURN_IF_ERROR(detail::run_guarded([&]() -> std::expected<void, PackageError> {
    // Every storage starts on a word boundary, so the segments are taken
    // where they lie.
    std::ispanstream stream(std::span<const char>(storage->data, storage->size));
    KIVU_ASSIGN_OR_RETURN(storage->framed, detail::read_framed_message(stream));
    return {};
  }));
  ProfileFile file(std::move(storage));
  KIVU_RETURN_IF_ERROR(file.visit([](const ProfileView&) {}));
  return file;
}

std::expected<void, PackageError> ProfileFile::visit_with(void* body,
                                                          void (*call)(void*, const ProfileView&)) const noexcept {
  if (!storage_) return std::unexpected(detail::capnp_failure("the profile file was moved away"));
  return detail::run_guarded([&]() -> std::expected<void, PackageError> {
    capnp::ReaderOptions options = capnp_reader_options();
    // Traversal is bounded by the size of the message, as in
    // ProfileReport::read.
    options.traversalLimitInWords = profile_traversal_limit(storage_->framed.words);
    capnp::SegmentArrayMessageReader message(storage_->framed.segment_array(), options);
    call(body, detail::profile_root(message));
    return {};
  });
}

std::expected<void, PackageError> ProfileFile::check() const noexcept {
  return visit([](const ProfileView& profile) { detail::walk_profile(profile); });
}

}  // namespace kivu_package
