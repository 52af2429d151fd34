// The registry of named temporary files (see temporary_names.hpp).
#include "temporary_names.hpp"

#include <sched.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "kivu_output_file/output_file.hpp"

namespace kivu_output_file {

namespace detail {

namespace {

// A slot of the registry. The writer fills directory and name while it holds
// the slot as Filling, then publishes it as Ready; a signal handler takes a
// Ready slot as Removing, unlinks the file and leaves it Removed, and the
// writer frees it.
enum SlotState : int { Free, Filling, Ready, Removing, Removed };

struct TemporarySlot {
  std::atomic<int> state{Free};
  int directory = -1;
  std::array<char, temporary_name_length + 1> name{};
};

static_assert(std::atomic<int>::is_always_lock_free, "the registry is read in signal handlers");

// Writes in progress at once that a handler can clean up after; a write
// beyond them still works, its temporary file is only not registered.
std::array<TemporarySlot, 64> temporary_slots;

// A fresh temporary name.
std::array<char, temporary_name_length + 1> temporary_name() noexcept {
  std::uint64_t bits = 0;
  if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) {
    static std::atomic<std::uint64_t> counter{0};
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    bits = (static_cast<std::uint64_t>(::getpid()) << 40) ^ static_cast<std::uint64_t>(now.tv_nsec) ^
           (counter.fetch_add(1, std::memory_order_relaxed) << 20);
  }
  std::array<char, temporary_name_length + 1> name{};
  std::memcpy(name.data(), ".kivu-", 6);
  for (std::size_t i = 0; i < 16; ++i) name[6 + i] = "0123456789abcdef"[(bits >> (60 - 4 * i)) & 0xf];
  return name;
}

}  // namespace

TemporaryName::TemporaryName(int directory) noexcept : directory_(directory), name_(temporary_name()) {
  for (std::size_t i = 0; i < temporary_slots.size(); ++i) {
    int expected = Free;
    if (!temporary_slots[i].state.compare_exchange_strong(expected, Filling)) continue;
    temporary_slots[i].directory = directory;
    temporary_slots[i].name = name_;
    temporary_slots[i].state.store(Ready, std::memory_order_release);
    slot_ = static_cast<int>(i);
    break;
  }
}

TemporaryName::~TemporaryName() {
  if (!kept_) ::unlinkat(directory_, name_.data(), 0);
  if (slot_ < 0) return;
  std::atomic<int>& state = temporary_slots[static_cast<std::size_t>(slot_)].state;
  for (;;) {
    int expected = Ready;
    if (state.compare_exchange_strong(expected, Free)) return;
    if (expected == Removed) {
      state.store(Free);
      return;
    }
    sched_yield();  // a handler on another thread is unlinking it
  }
}

}  // namespace detail

void remove_output_temporaries() noexcept {
  const int saved_errno = errno;
  for (detail::TemporarySlot& slot : detail::temporary_slots) {
    int expected = detail::Ready;
    if (!slot.state.compare_exchange_strong(expected, detail::Removing, std::memory_order_acquire)) continue;
    ::unlinkat(slot.directory, slot.name.data(), 0);
    slot.state.store(detail::Removed, std::memory_order_release);
  }
  errno = saved_errno;
}

}  // namespace kivu_output_file
