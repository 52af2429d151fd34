#include "host_boards.hpp"

#include <algorithm>

#include <fmt/core.h>
#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "kivu_exchange.hpp"
#include "kivu_host/board_identity.hpp"

namespace kivu_boards {

std::vector<BoardInfo> simulated_boards(std::uint32_t count, std::string_view lock_prefix) {
  std::vector<BoardInfo> boards;
  boards.reserve(count);
  for (std::uint32_t id = 0; id < count; ++id) {
    boards.push_back({id, "simulated", kivu_exchange::halcyon_tile_count, kivu_exchange::halcyon_tile_sram_bytes,
                      kivu_host::board_lock_display(kivu_host::board_lock_name(id, lock_prefix))});
  }
  return boards;
}

std::expected<void, std::string> read_lock_states(std::vector<BoardInfo>& boards, std::string_view lock_prefix) {
  std::vector<std::string> names;
  names.reserve(boards.size());
  for (const BoardInfo& board : boards) names.push_back(kivu_host::board_lock_name(board.id, lock_prefix));
  const auto states = kivu_host::board_lock_states(names);
  if (!states) {
    for (BoardInfo& board : boards) {
      board.state = LockState::Unknown;
      board.holders.clear();
    }
    return std::unexpected(states.error());
  }
  for (std::size_t i = 0; i < boards.size(); ++i) {
    boards[i].state = (*states)[i].held ? LockState::Held : LockState::Free;
    boards[i].holders = (*states)[i].holders;
  }
  return {};
}

namespace {

std::string lock_state_text(const BoardInfo& board) {
  switch (board.state) {
    case LockState::Free: return "free";
    case LockState::Unknown: return "unknown";
    case LockState::Held: break;
  }
  if (board.holders.empty()) return "held (holder not visible)";
  std::string text = board.holders.size() == 1 ? "held by pid " : "held by pids ";
  for (std::size_t i = 0; i < board.holders.size(); ++i) {
    text += fmt::format("{}{} ({})", i == 0 ? "" : ", ", board.holders[i].pid, board.holders[i].command);
  }
  return text;
}

}  // namespace

std::string state_text(const BoardInfo& board) {
  if (!board.quarantine) return lock_state_text(board);
  std::string text = "quarantined " + board.quarantine->date + ": " + board.quarantine->reason;
  if (board.state != LockState::Free) text += "; " + lock_state_text(board);
  return text;
}

std::string board_table(const std::vector<BoardInfo>& boards) {
  // The lock column is as wide as its longest name, so that the state lines up.
  std::size_t lock_width = 4;
  for (const BoardInfo& board : boards) lock_width = std::max(lock_width, board.lock.size());
  std::string table = fmt::format("{:<6} {:<10} {:>6} {:>14}  {:<{}}  {}\n", "board", "kind", "tiles", "SRAM per tile",
                                  "lock", lock_width, "state");
  for (const BoardInfo& board : boards) {
    const std::string sram = board.sram_per_tile % 1024 == 0 ? fmt::format("{} KiB", board.sram_per_tile / 1024)
                                                             : fmt::format("{} bytes", board.sram_per_tile);
    table += fmt::format("{:<6} {:<10} {:>6} {:>14}  {:<{}}  {}\n", board.id, board.kind, board.tiles, sram, board.lock,
                         lock_width, state_text(board));
  }
  return table;
}

nlohmann::ordered_json board_json(const std::vector<BoardInfo>& boards) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const BoardInfo& board : boards) {
    const char* state = board.quarantine                 ? "quarantined"
                        : board.state == LockState::Free ? "free"
                        : board.state == LockState::Held ? "held"
                                                         : "unknown";
    nlohmann::ordered_json quarantine = nullptr;
    if (board.quarantine) quarantine = {{"reason", board.quarantine->reason}, {"date", board.quarantine->date}};
    nlohmann::ordered_json holder = nullptr;
    if (!board.holders.empty()) holder = board.holders.front().pid;
    list.push_back({{"id", board.id},
                    {"kind", board.kind},
                    {"tiles", board.tiles},
                    {"sram_per_tile", board.sram_per_tile},
                    {"lock", board.lock},
                    {"state", state},
                    {"quarantine", quarantine},
                    {"holder_pid", holder}});
  }
  return list;
}

nlohmann::ordered_json resource_file(const std::vector<BoardInfo>& boards) {
  nlohmann::ordered_json entries = nlohmann::ordered_json::array();
  for (const BoardInfo& board : boards) entries.push_back({{"id", std::to_string(board.id)}, {"slots", 1}});
  return {{"version", {{"major", 1}, {"minor", 0}}}, {"local", nlohmann::ordered_json::array({{{"boards", entries}}})}};
}

std::string slurm_gres(const std::vector<BoardInfo>& boards) {
  return fmt::format("Gres={0}:{1}\nName={0} Count={1} Flags=CountOnly\n", slurm_gres_name, boards.size());
}

}  // namespace kivu_boards
