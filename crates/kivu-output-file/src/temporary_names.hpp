// Named temporary files, registered so that a signal handler can remove
// them (remove_output_temporaries).
//
// The fallback for filesystems without unnamed files writes the new file
// under a temporary name for the whole write; otherwise a finished file
// bears a temporary name only between naming it and renaming it over the
// file it replaces. Either way the name is in a registry of fixed size that
// a signal handler may read: lock-free atomics only.
#pragma once

#include <array>
#include <cstddef>

namespace kivu_output_file::detail {

// ".kivu-" and 16 hex digits: short, and the same length for every target.
inline constexpr std::size_t temporary_name_length = 22;

// How often a new random name is drawn when the previous one was taken.
inline constexpr int temporary_name_attempts = 64;

// A temporary name in a directory, registered for the signal handler while
// it lives. Whatever file bears the name is unlinked on destruction unless
// it was renamed into place (kept()).
class TemporaryName {
public:
  // A fresh random name (64 random bits, so a name planted in a shared
  // directory is hit only by chance and retried) in `directory`, held open
  // by the caller for the name's lifetime.
  explicit TemporaryName(int directory) noexcept;
  TemporaryName(const TemporaryName&) = delete;
  TemporaryName& operator=(const TemporaryName&) = delete;
  ~TemporaryName();

  [[nodiscard]] const char* get() const noexcept { return name_.data(); }
  // The name now belongs to the finished file: it is no longer removed.
  void kept() noexcept { kept_ = true; }

private:
  int directory_;
  std::array<char, temporary_name_length + 1> name_;
  int slot_ = -1;
  bool kept_ = false;
};

}  // namespace kivu_output_file::detail
