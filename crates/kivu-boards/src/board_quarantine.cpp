#include "board_quarantine.hpp"

#include <algorithm>
#include <filesystem>
#include <ostream>

#include "cli.hpp"
#include "kivu_output_file/output_file.hpp"

namespace kivu_boards {

void mark_quarantined(std::vector<BoardInfo>& boards, const kivu_host::Quarantine& quarantine, const std::string& host,
                      std::ostream& err) {
  std::vector<std::string> warnings;
  const auto kept_out = kivu_host::quarantined_boards(quarantine, host, static_cast<std::uint32_t>(boards.size()),
                                                      warnings);
  for (const auto& warning : warnings) err << "kivu-boards: warning: " << warning << '\n';
  for (BoardInfo& board : boards) {
    if (!kept_out.contains(board.id)) continue;
    if (const auto* entry = kivu_host::find_quarantined(quarantine, host, board.id)) board.quarantine = *entry;
  }
}

std::vector<BoardInfo> in_service(const std::vector<BoardInfo>& boards) {
  std::vector<BoardInfo> serving;
  std::ranges::copy_if(boards, std::back_inserter(serving),
                       [](const BoardInfo& board) { return !board.quarantine.has_value(); });
  return serving;
}

int release_board(std::uint32_t board, const std::string& host, kivu_host::Quarantine quarantine,
                  const std::string& path, const std::string& now, std::ostream& out, std::ostream& err) {
  const auto found = std::ranges::find_if(quarantine.boards, [&](const kivu_host::QuarantineEntry& entry) {
    return entry.host == host && entry.board == board;
  });
  if (found == quarantine.boards.end()) {
    err << "kivu-boards: board " << board << " is not quarantined; nothing to release\n";
    return exit_not_quarantined;
  }
  kivu_host::QuarantineEntry released = *found;
  released.released = now;
  quarantine.boards.erase(found);
  quarantine.released.push_back(released);
  const auto written = kivu_output_file::write_output_file(
      path, [&](std::ostream& stream) -> std::expected<void, std::string> {
        stream << kivu_host::quarantine_text(quarantine);
        return {};
      });
  if (!written) {
    err << "kivu-boards: cannot write " << path << ": " << kivu_output_file::output_failure_reason(written.error())
        << '\n';
    return exit_failure;
  }
  out << "released board " << board << " (quarantined " << released.date << ": " << released.reason << ")\n";
  return exit_success;
}

}  // namespace kivu_boards
