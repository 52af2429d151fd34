// The two fixed places the suite depends on, chosen when it is built:
// the directory of the runner programs and the names of the host-wide board
// locks.
//
// The suite binary hardware_e2e uses the build output directory and the
// board library's lock names, kivu-board-N for board N in the abstract
// socket namespace (kivu_host/board_identity.hpp). The self-test build of
// the same sources (hardware_e2e_on_stand_ins) lets its self-tests redirect
// both through the environment: KIVU_SELFTEST_RUNNER_DIR, and
// KIVU_SELFTEST_DEVICE_LOCK, the prefix of the lock names. Those variables
// have no effect on hardware_e2e itself.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kivu_e2e {

// The absolute directory holding the runner programs, without a final "/".
[[nodiscard]] const std::string& runner_directory();

// The prefix of the host-wide board lock names.
[[nodiscard]] const std::string& device_lock_prefix();

// The host-wide lock name of `board` (without the abstract namespace's
// leading NUL byte), as the board library names it under
// device_lock_prefix() (kivu_host::board_lock_name).
[[nodiscard]] std::string device_lock_name(std::uint32_t board);

// The absolute path of the runner program `name`.
[[nodiscard]] std::string runner_path(std::string_view name);

}  // namespace kivu_e2e
