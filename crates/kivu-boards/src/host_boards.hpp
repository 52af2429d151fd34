// The boards of this host as kivu-boards shows them.
//
// A host has boards 0 .. N-1; without an accelerator attached they are the
// simulated boards counted by KIVU_SIM_BOARDS (kivu_host/board_identity.hpp).
// Every board has a host-wide lock that the suite holds while a runner uses
// the board: the name kivu-board-N in the abstract socket namespace, shown
// as @kivu-board-N (kivu_host::board_lock_name). Whether a board is free,
// and who holds it, is read from /proc as the suite reads it while it waits
// for a board (kivu_host/board_lock.hpp).
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "kivu_host/board_identity.hpp"
#include "kivu_host/board_lock.hpp"
#include "kivu_host/quarantine.hpp"

namespace kivu_boards {

// Whether a board's lock is taken.
enum class LockState {
  Free,
  Held,     // some process has the lock; `holders` names those this user may see
  Unknown,  // /proc/net/unix could not be read
};

// One board of the host.
struct BoardInfo {
  std::uint32_t id = 0;
  std::string kind;  // "simulated"
  std::uint32_t tiles = 0;
  std::uint32_t sram_per_tile = 0;  // bytes
  std::string lock;                 // the lock's name as shown: @kivu-board-N
  LockState state = LockState::Free;
  std::vector<kivu_host::LockHolder> holders;  // by pid, when held
  // Why and since when the board is out of service (board_quarantine.hpp).
  std::optional<kivu_host::QuarantineEntry> quarantine;

  bool operator==(const BoardInfo&) const = default;
};

// The boards of a host with `count` simulated boards, by id, with the lock
// names under `lock_prefix`, all shown free.
[[nodiscard]] std::vector<BoardInfo> simulated_boards(std::uint32_t count,
                                                      std::string_view lock_prefix = kivu_host::board_lock_prefix);

// Reads the state of each board's lock (named under `lock_prefix`) into
// `boards`. When /proc/net/unix cannot be read, every board's state becomes
// Unknown and the reason is returned.
[[nodiscard]] std::expected<void, std::string> read_lock_states(
    std::vector<BoardInfo>& boards, std::string_view lock_prefix = kivu_host::board_lock_prefix);

// A board's state as the listing shows it: "free", "held by pid N (command)",
// "held by pids N (a), M (b)", "held (holder not visible)" or "unknown"; for
// a quarantined board "quarantined DATE: REASON", then "; " and its lock's
// state when that is not free.
[[nodiscard]] std::string state_text(const BoardInfo& board);

// The listing: a header line, then one aligned line per board.
[[nodiscard]] std::string board_table(const std::vector<BoardInfo>& boards);

// The listing as JSON: an array with one object per board, always with the
// keys id, kind, tiles, sram_per_tile (bytes), lock ("@kivu-board-N"), state
// ("free", "held", "unknown" or "quarantined"), quarantine (null, or the
// object {reason, date}) and holder_pid (the lowest pid of the
// processes seen holding the lock; null when none is seen).
[[nodiscard]] nlohmann::ordered_json board_json(const std::vector<BoardInfo>& boards);

// The CTest resource file for `boards`: version 1.0, one local host whose
// resource type "boards" has one entry per board, id "N" with 1 slot, so
// that a test declaring RESOURCE_GROUPS "boards:1" gets a board to itself.
[[nodiscard]] nlohmann::ordered_json resource_file(const std::vector<BoardInfo>& boards);

// The generic resource of Slurm through which jobs ask for boards
// (sbatch --gres=kivu:1).
inline constexpr const char* slurm_gres_name = "kivu";

// The two lines of a Slurm configuration for `boards`, each ending in a
// newline: the node's "Gres=kivu:N" for its NodeName line in slurm.conf,
// then "Name=kivu Count=N Flags=CountOnly" for the node's gres.conf. The
// boards are a count only: they have no device files for Slurm to hand out
// or fence off, and no Slurm plugin of their own (CountOnly); which board a
// job takes is the suite's choice by the boards' locks.
[[nodiscard]] std::string slurm_gres(const std::vector<BoardInfo>& boards);

}  // namespace kivu_boards
