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

// The path of the host-wide lock file of `board`: device_lock_path() for
// board 0, otherwise lock_path_of_board(device_lock_path(), board).
[[nodiscard]] std::string device_lock_path(std::uint32_t board);

// The lock file of `board` beside the lock file `board_0` of board 0: the
// same for board 0; for board N "-N" goes before a final ".lock", or at the
// end when there is none (/tmp/kivu-device.lock -> /tmp/kivu-device-3.lock).
[[nodiscard]] std::string lock_path_of_board(std::string_view board_0, std::uint32_t board);

// The absolute path of the runner program `name`.
[[nodiscard]] std::string runner_path(std::string_view name);

}  // namespace kivu_e2e
