// kivu-results quarantine: the suspect boards, and with --apply their
// quarantine (the file the host side reads, kivu_host/quarantine.hpp) and
// their history in the store.
#include "kivu_host/quarantine.hpp"

#include <filesystem>
#include <ostream>

#include <fmt/format.h>

#include "fleet.hpp"
#include "kivu_base/debug_form.hpp"
#include "kivu_base/number.hpp"
#include "kivu_base/utc_time.hpp"
#include "kivu_cli/command_line.hpp"
#include "kivu_output_file/output_file.hpp"

namespace kivu_results {

namespace {

constexpr std::string_view tool = "kivu-results";
constexpr std::string_view quarantine_usage =
    "usage: kivu-results quarantine [--db URL] [--last N] [--alpha A] [--apply]";

std::string reason_of(const BoardHealth& board) {
  std::string reason = fmt::format("failed {} of {} cases over {} runs ({:.2f}%), corrected p {:.3g}", board.failed,
                                   board.cases, board.runs, 100 * board.failure_rate, board.p_value);
  std::string tiles;
  for (const auto& tile : board.tiles) {
    if (tile.software) continue;
    tiles += fmt::format("{}{} x{}", tiles.empty() ? "" : ", ", tile.tile, tile.failures);
  }
  if (!tiles.empty()) reason += "; tiles " + tiles;
  return reason;
}

std::optional<std::uint32_t> board_number(const std::string& text) {
  const auto number = kivu_base::parse_digits(text, 10, UINT32_MAX);
  if (!number) return std::nullopt;
  return static_cast<std::uint32_t>(*number);
}

// Puts each suspect board that is not in `file` yet into it, saying so on
// `out` (or on `err` for a board that has no number): the quarantines made,
// for the store's history.
std::vector<QuarantineEvent> add_suspects(kivu_host::Quarantine& file, std::span<const BoardHealth* const> suspects,
                                          const std::string& now, std::ostream& out, std::ostream& err) {
  std::vector<QuarantineEvent> events;
  for (const auto* board : suspects) {
    const auto number = board_number(board->board);
    if (!number) {
      err << tool << ": board " << kivu_base::debug_quoted(board->board) << " of host " << board->host
          << " is no board number; it is not quarantined\n";
      continue;
    }
    if (kivu_host::find_quarantined(file, board->host, *number) != nullptr) {
      out << fmt::format("already quarantined: board {} of host {}\n", *number, board->host);
      continue;
    }
    const std::string reason = reason_of(*board);
    file.boards.push_back({board->host, *number, reason, now, ""});
    events.push_back({board->host, *number, "quarantined", reason, now});
    out << fmt::format("quarantined: board {} of host {}: {}\n", *number, board->host, reason);
  }
  return events;
}

// Replaces the quarantine file at `path` with `file`, making its folder
// first; false, having said why on `err`, when it cannot be written.
bool write_quarantine_file(const std::string& path, const kivu_host::Quarantine& file, std::ostream& err) {
  std::error_code ignored;
  const auto folder = std::filesystem::path(path).parent_path();
  if (!folder.empty()) std::filesystem::create_directories(folder, ignored);
  const auto written = kivu_output_file::write_output_file(
      path, [&](std::ostream& stream) -> std::expected<void, std::string> {
        stream << kivu_host::quarantine_text(file);
        return {};
      });
  if (written) return true;
  err << tool << ": cannot write " << path << ": " << kivu_output_file::output_failure_reason(written.error()) << '\n';
  return false;
}

// quarantine --apply: the suspects into the quarantine file, and every
// quarantine and release of the file into the store's history.
int apply_quarantine(Store& store, std::span<const BoardHealth* const> suspects, std::ostream& out, std::ostream& err) {
  // The file is read whole before anything changes: a file that cannot be
  // read is never replaced by one that forgets its boards.
  const std::string path = kivu_host::quarantine_file_from_environment();
  auto file = kivu_host::read_quarantine(path);
  if (!file) {
    err << tool << ": " << file.error().message << '\n';
    return exit_quarantine_file;
  }
  auto events = add_suspects(*file, suspects, kivu_base::utc_now_text(), out, err);
  if (!events.empty() && !write_quarantine_file(path, *file, err)) return exit_failure;
  // The store keeps each quarantine, and each release kivu-boards made
  // (which it keeps in the file), once.
  for (const auto& entry : file->released) {
    events.push_back({entry.host, entry.board, "released", entry.reason, entry.released});
  }
  for (const auto& event : events) {
    const auto kept = store.record_quarantine_event(event);
    if (!kept) return store_failure(err, kept.error());
  }
  if (suspects.empty()) out << "no suspect board\n";
  out << "quarantine file: " << path << '\n';
  return exit_success;
}

}  // namespace

int quarantine(std::span<const std::string> args, const Environment& environment, std::ostream& out,
               std::ostream& err) {
  const auto options = parse_fleet_options(args, true);
  if (!options) return kivu_cli::usage_error(err, tool, options.error(), quarantine_usage);
  auto store = open_store_at(options->db, environment);
  if (!store) return store_failure(err, store.error());
  const auto boards = fleet_health(*store, *options);
  if (!boards) return store_failure(err, boards.error());

  std::vector<const BoardHealth*> suspects;
  for (const auto& board : *boards) {
    if (board.suspect) suspects.push_back(&board);
  }
  if (options->apply) return apply_quarantine(*store, suspects, out, err);
  for (const auto* board : suspects) {
    out << fmt::format("suspect: board {} of host {}: {}\n", board->board, board->host, reason_of(*board));
  }
  if (suspects.empty()) out << "no suspect board\n";
  return exit_success;
}

}  // namespace kivu_results
