// The quarantine as kivu-boards heeds it (kivu_host/quarantine.hpp): a
// quarantined board is listed as such, with its reason and date, and left out
// of the CTest resource file and the Slurm count; `release BOARD` takes it
// back into service. A quarantine file that cannot be read stops every
// subcommand, rather than hand out a quarantined board.
#pragma once

#include <cstdint>
#include <expected>
#include <iosfwd>
#include <string>
#include <vector>

#include "host_boards.hpp"
#include "kivu_host/quarantine.hpp"

namespace kivu_boards {

// Exit statuses of this concern (after the tools' shared 0, 1 and 2).
inline constexpr int exit_not_quarantined = 3;  // release: the board is not quarantined
inline constexpr int exit_quarantine_file = 4;  // the quarantine file is unreadable or corrupt

// Marks the boards of `host` that `quarantine` keeps out of service; an
// entry for a board the host lacks gives one warning line on `err` and is
// ignored.
void mark_quarantined(std::vector<BoardInfo>& boards, const kivu_host::Quarantine& quarantine, const std::string& host,
                      std::ostream& err);

// The boards that may be handed out: those not quarantined.
[[nodiscard]] std::vector<BoardInfo> in_service(const std::vector<BoardInfo>& boards);

// Takes `board` of `host` back into service in the file at `path` (read as
// `quarantine`), keeping the entry among the released ones with the time
// `now`: the exit status, with one line on `out` or `err`.
[[nodiscard]] int release_board(std::uint32_t board, const std::string& host, kivu_host::Quarantine quarantine,
                                const std::string& path, const std::string& now, std::ostream& out, std::ostream& err);

}  // namespace kivu_boards
