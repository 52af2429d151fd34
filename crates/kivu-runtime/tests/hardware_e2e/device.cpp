#include "device.hpp"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <set>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "failure.hpp"
#include "kivu_base/expected.hpp"
#include "kivu_base/number.hpp"
#include "notice.hpp"
#include "suite_paths.hpp"
#include <kivu_host/board_identity.hpp>
#include <kivu_host/board_lock.hpp>
#include <kivu_host/quarantine.hpp>
#include <kivu_host/settings.hpp>

namespace kivu_e2e {

constinit std::mutex DEVICE;

namespace {

// Where KIVU_TEST_BOARD=any starts trying boards: after the board that it
// took last. Read and written with DEVICE held.
std::uint32_t next_any_board = 0;

// The device this thread's case holds; set by the guard for its lifetime.
thread_local std::optional<HeldDevice> held;

// =============================================================================
// The board

// `board`, when the host has it; otherwise a message that names the board,
// where it came from and the host's boards.
std::expected<std::uint32_t, std::string> host_board(std::uint32_t board, std::string_view source,
                                                     std::uint32_t host_boards) {
  if (board < host_boards) return board;
  return std::unexpected(kivu_host::not_a_host_board(board, source, host_boards));
}

// The board of CTest's allocation "id:N,slots:S" (one allocation, S >= 1).
std::expected<std::uint32_t, std::string> allocated_board(const std::string& allocation, std::uint32_t host_boards) {
  constexpr const char* variable = "CTEST_RESOURCE_GROUP_0_BOARDS";
  const auto unreadable = [&] {
    return std::unexpected(
        kivu_host::EnvironmentError{variable, allocation, "\"id:N,slots:1\" with a board number N"}.message());
  };
  const std::string_view text(allocation);
  const auto comma = text.find(',');
  if (!text.starts_with("id:") || comma == std::string_view::npos) return unreadable();
  const std::string_view slots = text.substr(comma + 1);
  if (!slots.starts_with("slots:")) return unreadable();
  const auto slot_count = kivu_base::parse_digits(slots.substr(6), 10);
  if (!slot_count || *slot_count == 0) return unreadable();
  const auto board = kivu_base::parse_digits(text.substr(3, comma - 3), 10, UINT32_MAX);
  if (!board) return unreadable();
  return host_board(static_cast<std::uint32_t>(*board), std::string(variable) + " is " + debug_quote(allocation),
                    host_boards);
}

// =============================================================================
// The board's host-wide lock

// Takes the lock of the first of `boards` that is free (kivu_host::BoardLock
// ::wait): the lock and its board. After about a second of waiting it says
// once which locks it waits for and who holds them. With a `timeout`, gives
// up once that much time has passed without a lock.
std::expected<std::pair<kivu_host::BoardLock, std::uint32_t>, std::string> lock_first_free(
    const std::vector<std::uint32_t>& boards, std::optional<std::chrono::seconds> timeout) {
  const std::string which = boards.size() == 1 ? "the device lock " : "the device lock of any board: ";
  std::vector<std::string> names;
  for (const std::uint32_t board : boards) names.push_back(device_lock_name(board));
  kivu_host::BoardLockWait how;
  how.bound = timeout;
  how.waiting = [&](const std::string& locks) { notice("waiting for " + which + locks); };
  auto taken = kivu_host::BoardLock::wait(names, how);
  if (!taken) {
    const auto& error = taken.error();
    if (error.kind == kivu_host::BoardLockError::Kind::unusable) {
      return std::unexpected("lock device lock " + error.locks + ": " + error.reason);
    }
    return std::unexpected("gave up after " + std::to_string(timeout ? timeout->count() : 0) + " s (" +
                           lock_timeout_variable + ") waiting for " + which + error.locks);
  }
  const auto index = static_cast<std::size_t>(std::ranges::find(names, taken->name()) - names.begin());
  return std::pair{std::move(*taken), boards.at(index)};
}

// The running case's name, for the line naming its board.
std::string case_name() {
  const auto* test = testing::UnitTest::GetInstance()->current_test_info();
  return test != nullptr ? test->name() : "case";
}

}  // namespace

// =============================================================================
// The guard

DeviceGuard::DeviceGuard(std::unique_lock<std::mutex> process_lock, kivu_host::BoardLock board_lock,
                         std::uint32_t board) noexcept
    : process_lock_(std::move(process_lock)), board_lock_(std::move(board_lock)) {
  held = HeldDevice{board, &board_lock_};
}

// The runner's copy of the socket went with it: the suite waited for it.
// board_lock_ closes the last copy, which drops the name, then process_lock_
// lets go of DEVICE.
DeviceGuard::~DeviceGuard() { held.reset(); }

std::optional<HeldDevice> held_device() noexcept { return held; }

std::expected<BoardRequest, std::string> board_from_environment() {
  BoardRequest request;
  const auto host_boards = kivu_host::sim_boards_from_environment();
  if (!host_boards) return std::unexpected(host_boards.error().message());
  request.host_boards = *host_boards;

  // An empty variable counts as unset, as for the runners. CTest gives a
  // count of 0 to tests that ask for no resources when it runs with a
  // resource file: no allocation either.
  const auto count = kivu_host::board_setting_value("CTEST_RESOURCE_GROUP_COUNT");
  const auto groups = count ? kivu_host::parse_unsigned_decimal("CTEST_RESOURCE_GROUP_COUNT", *count) : 0;
  if (!groups) return std::unexpected(groups.error().message());
  if (*groups != 0) {
    const auto allocation = kivu_host::board_setting_value("CTEST_RESOURCE_GROUP_0_BOARDS");
    if (!allocation) {
      return std::unexpected("CTEST_RESOURCE_GROUP_COUNT is " + debug_quote(*count) +
                             " but CTEST_RESOURCE_GROUP_0_BOARDS is unset: no board was allocated");
    }
    KIVU_ASSIGN_OR_RETURN(request.board, allocated_board(*allocation, request.host_boards));
    return request;
  }
  if (const auto board = kivu_host::board_setting_value("KIVU_TEST_BOARD")) {
    if (*board == "any") return request;
    const auto number = kivu_base::parse_digits(*board, 10, UINT32_MAX);
    if (!number) {
      return std::unexpected(
          kivu_host::EnvironmentError{"KIVU_TEST_BOARD", *board, "a board number or \"any\""}.message());
    }
    KIVU_ASSIGN_OR_RETURN(request.board,
                          host_board(static_cast<std::uint32_t>(*number), "KIVU_TEST_BOARD", request.host_boards));
    return request;
  }
  request.board = 0;
  return request;
}

std::expected<std::optional<std::chrono::seconds>, std::string> lock_timeout_from_environment() {
  const auto value = kivu_host::board_setting_value(lock_timeout_variable);
  if (!value) return std::nullopt;
  const auto seconds = kivu_base::parse_digits(*value, 10, max_lock_timeout_seconds);
  if (!seconds) {
    return std::unexpected(kivu_host::EnvironmentError{
        lock_timeout_variable, *value, "a number of seconds from 0 to " + std::to_string(max_lock_timeout_seconds)}
                               .message());
  }
  return std::chrono::seconds(*seconds);
}

DeviceGuard device(std::source_location where) {
  const auto request = board_from_environment();
  if (!request) fail("cannot choose the board: " + request.error(), where);
  const auto timeout = lock_timeout_from_environment();
  if (!timeout) fail(timeout.error(), where);
  if (request->board && *request->board != 0) notice(case_name() + " on board " + std::to_string(*request->board));

  // The quarantine (kivu_host/quarantine.hpp): "any" never takes a
  // quarantined board, and when the file cannot be read takes none at all; a
  // board named outright still runs, for diagnosis, with a warning.
  const auto quarantine = kivu_host::read_quarantine(kivu_host::quarantine_file_from_environment());
  const std::string host = kivu_host::this_host_name();
  std::set<std::uint32_t> quarantined;
  if (quarantine) {
    std::vector<std::string> warnings;
    quarantined = kivu_host::quarantined_boards(*quarantine, host, request->host_boards, warnings);
    for (const auto& warning : warnings) notice("warning: " + warning);
  } else if (!request->board) {
    fail("cannot choose the board: " + quarantine.error().message + "; no board is handed out", where);
  }
  if (request->board && quarantined.contains(*request->board)) {
    const auto* entry = kivu_host::find_quarantined(*quarantine, host, *request->board);
    notice("warning: board " + std::to_string(*request->board) + " is quarantined (" + entry->date + ": " +
           entry->reason + "); " + case_name() + " runs on it because it was named");
  }

  std::unique_lock process_lock(DEVICE);
  std::vector<std::uint32_t> boards;
  if (request->board) {
    boards.push_back(*request->board);
  } else {
    for (std::uint32_t board = 0; board < request->host_boards; ++board) {
      if (!quarantined.contains(board)) boards.push_back(board);
    }
    if (boards.empty()) fail("cannot choose the board: every board of this host is quarantined", where);
    // The boards are tried in turn from the one after the board this suite
    // took last, so that its cases spread over the free boards instead of
    // piling onto the lowest: a soak that screens boards needs each board
    // to run its share. The first case starts at board 0.
    std::ranges::rotate(boards, std::ranges::lower_bound(boards, next_any_board));
  }
  auto taken = lock_first_free(boards, *timeout);
  if (!taken) fail(taken.error(), where);
  if (!request->board) {
    next_any_board = taken->second + 1;
    notice(case_name() + " on board " + std::to_string(taken->second));
  }
  return DeviceGuard(std::move(process_lock), std::move(taken->first), taken->second);
}

}  // namespace kivu_e2e
