#include "device.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "failure.hpp"
#include "notice.hpp"
#include "suite_paths.hpp"
#include <kivu_expected.hpp>
#include <kivu_host/board_identity.hpp>
#include <kivu_host/board_lock.hpp>
#include <kivu_host/settings.hpp>

namespace kivu_e2e {

constinit std::mutex DEVICE;

namespace {

using namespace std::chrono_literals;

// The device this thread's case holds; set by the guard for its lifetime.
thread_local std::optional<HeldDevice> held;

// =============================================================================
// The board

// `board`, when the host has it; otherwise a message that names the board,
// where it came from and the host's boards.
std::expected<std::uint32_t, std::string> host_board(std::uint32_t board, std::string_view source,
                                                     std::uint32_t host_boards) {
  if (board < host_boards) return board;
  const std::string boards = host_boards == 1 ? "0" : "0 to " + std::to_string(host_boards - 1);
  return std::unexpected("board " + std::to_string(board) + " (" + std::string(source) +
                         ") is not a board of this host: its boards are " + boards + " (" +
                         kivu_host::sim_boards_variable + " is " + std::to_string(host_boards) + ")");
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
  const auto slot_count = kivu_host::parse_digits(slots.substr(6), 10);
  if (!slot_count || *slot_count == 0) return unreadable();
  const auto board = kivu_host::parse_digits(text.substr(3, comma - 3), 10, UINT32_MAX);
  if (!board) return unreadable();
  return host_board(static_cast<std::uint32_t>(*board), std::string(variable) + " is " + debug_quote(allocation),
                    host_boards);
}

// =============================================================================
// The board's host-wide lock

// Tries once to take the lock `name`: a new socket bound to it, close-on-exec.
// The socket; nothing when another socket has the name; the reason when the
// lock cannot be taken at all.
std::expected<std::optional<int>, std::string> try_board_lock(const std::string& name) {
  const auto bound = kivu_host::bind_lock_name(name);
  if (bound) return *bound;
  if (bound.error() == ENAMETOOLONG) return std::unexpected(std::string("the name does not fit a socket address"));
  return std::unexpected(os_error_display(bound.error()));
}

// "@NAME", followed by " (held by pid N)" or " (held by pids N, M)" when
// /proc tells who has the lock's socket open.
std::string lock_and_holders(const std::string& name, const kivu_host::BoardLockState* state) {
  std::string text = kivu_host::board_lock_display(name);
  if (state == nullptr || state->holders.empty()) return text;
  const auto& holders = state->holders;
  text += holders.size() == 1 ? " (held by pid " : " (held by pids ";
  for (std::size_t i = 0; i < holders.size(); ++i) text += (i == 0 ? "" : ", ") + std::to_string(holders[i].pid);
  return text + ")";
}

// A board lock taken: the bound socket and its board.
struct TakenLock {
  int socket = -1;
  std::uint32_t board = 0;
};

// The locks of `boards` and who holds them, as the waiting line names them:
// "@NAME (held by pid N)", joined by ", ".
std::string locks_and_holders(const std::vector<std::uint32_t>& boards) {
  std::vector<std::string> names;
  for (const std::uint32_t board : boards) names.push_back(device_lock_name(board));
  // Unreadable /proc: the locks without their holders.
  const auto states = kivu_host::board_lock_states(names);
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    text += (i == 0 ? "" : ", ") + lock_and_holders(names[i], states ? &(*states)[i] : nullptr);
  }
  return text;
}

// Takes the lock of the first of `boards` that is free, trying them in
// order; while none is, tries again, first after a millisecond and then at
// twice the pause each time, at most 50 ms. After about a second of waiting
// it says once which locks it waits for and who holds them. With a
// `timeout`, gives up once that much time has passed without a lock.
std::expected<TakenLock, std::string> lock_first_free(const std::vector<std::uint32_t>& boards,
                                                      std::optional<std::chrono::seconds> timeout) {
  const auto started = std::chrono::steady_clock::now();
  const std::string which = boards.size() == 1 ? "the device lock " : "the device lock of any board: ";
  auto pause = 1ms;
  bool said = false;
  for (;;) {
    for (const std::uint32_t board : boards) {
      const std::string name = device_lock_name(board);
      const auto taken = try_board_lock(name);
      if (!taken)
        return std::unexpected("lock device lock " + kivu_host::board_lock_display(name) + ": " + taken.error());
      if (*taken) return TakenLock{**taken, board};
    }
    const auto waited = std::chrono::steady_clock::now() - started;
    if (timeout && waited >= *timeout) {
      return std::unexpected("gave up after " + std::to_string(timeout->count()) + " s (" + lock_timeout_variable +
                             ") waiting for " + which + locks_and_holders(boards));
    }
    if (!said && waited >= 1s) {
      notice("waiting for " + which + locks_and_holders(boards));
      said = true;
    }
    std::this_thread::sleep_for(pause);
    pause = std::min<std::chrono::milliseconds>(pause * 2, 50ms);
  }
}

// The running case's name, for the line naming its board.
std::string case_name() {
  const auto* test = testing::UnitTest::GetInstance()->current_test_info();
  return test != nullptr ? test->name() : "case";
}

}  // namespace

// =============================================================================
// The guard

DeviceGuard::DeviceGuard(std::unique_lock<std::mutex> process_lock, int board_lock, std::uint32_t board) noexcept
    : process_lock_(std::move(process_lock)), board_lock_(board_lock) {
  held = HeldDevice{board, board_lock};
}

DeviceGuard::~DeviceGuard() {
  held.reset();
  // The runner's copy of the socket went with it: the suite waited for it.
  // Closing the last copy drops the name.
  (void)::close(board_lock_);
}

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
    const auto number = kivu_host::parse_digits(*board, 10, UINT32_MAX);
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
  const auto seconds = kivu_host::parse_digits(*value, 10, max_lock_timeout_seconds);
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

  std::unique_lock process_lock(DEVICE);
  std::vector<std::uint32_t> boards;
  if (request->board) {
    boards.push_back(*request->board);
  } else {
    for (std::uint32_t board = 0; board < request->host_boards; ++board) boards.push_back(board);
  }
  const auto taken = lock_first_free(boards, *timeout);
  if (!taken) fail(taken.error(), where);
  if (!request->board) notice(case_name() + " on board " + std::to_string(taken->board));
  return DeviceGuard(std::move(process_lock), taken->socket, taken->board);
}

}  // namespace kivu_e2e
