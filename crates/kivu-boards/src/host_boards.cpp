#include "host_boards.hpp"

#include <fmt/core.h>
#include <nlohmann/json.hpp>

#include "kivu_runtime/board_constants.hpp"
#include "kivu_runtime/board_identity.hpp"

namespace kivu_boards {

std::vector<BoardInfo> simulated_boards(std::uint32_t count) {
  std::vector<BoardInfo> boards;
  boards.reserve(count);
  for (std::uint32_t id = 0; id < count; ++id) {
    boards.push_back({id, "simulated", kivu_runtime::tile_count, kivu_runtime::tile_sram_bytes,
                      kivu_runtime::board_lock_display(kivu_runtime::board_lock_name(id))});
  }
  return boards;
}

std::string board_table(const std::vector<BoardInfo>& boards) {
  std::string table = fmt::format("{:<6} {:<10} {:>6} {:>14}  {}\n", "board", "kind", "tiles", "SRAM per tile", "lock");
  for (const BoardInfo& board : boards) {
    const std::string sram = board.sram_per_tile % 1024 == 0 ? fmt::format("{} KiB", board.sram_per_tile / 1024)
                                                             : fmt::format("{} bytes", board.sram_per_tile);
    table += fmt::format("{:<6} {:<10} {:>6} {:>14}  {}\n", board.id, board.kind, board.tiles, sram, board.lock);
  }
  return table;
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
