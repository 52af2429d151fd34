// The two fixed places the suite depends on, chosen when it is built:
// the directory of the runner programs and the host-wide device lock file.
//
// The suite binary hardware_e2e uses the build output directory and
// /tmp/kivu-device.lock, the lock of board 0; board N has its own lock,
// /tmp/kivu-device-N.lock. The self-test build of the same sources
// (hardware_e2e_on_stand_ins) lets its self-tests redirect both through the
// environment: KIVU_SELFTEST_RUNNER_DIR and KIVU_SELFTEST_DEVICE_LOCK. Those
// variables have no effect on hardware_e2e itself.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kivu_e2e {

// The absolute directory holding the runner programs, without a final "/".
[[nodiscard]] const std::string& runner_directory();

// The path of the host-wide lock file of board 0.
[[nodiscard]] const std::string& device_lock_path();

// The path of the host-wide lock file of `board`, beside device_lock_path()
// as the board library names it (kivu_runtime::lock_file_of_board).
[[nodiscard]] std::string device_lock_path(std::uint32_t board);

// The absolute path of the runner program `name`.
[[nodiscard]] std::string runner_path(std::string_view name);

}  // namespace kivu_e2e
