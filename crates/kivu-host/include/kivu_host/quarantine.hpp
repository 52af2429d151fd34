// Boards taken out of service: the quarantine file.
//
// `kivu-results quarantine --apply` writes the boards whose failure rate
// stands out from the rest of the pool into one JSON file; the host side
// reads it: the suite's "any" board and kivu-boards' CTest resource file and
// Slurm count leave a quarantined board out, an explicitly named board still
// runs (with a warning), and `kivu-boards release BOARD` takes a board back.
//
// The file lives at KIVU_QUARANTINE_FILE when that is set, otherwise at
// $XDG_STATE_HOME/kivu/quarantine.json (XDG_STATE_HOME absolute), otherwise
// at $HOME/.local/state/kivu/quarantine.json. A missing file is an empty
// quarantine. Its text:
//
//   {"version": 1,
//    "boards":   [{"host": H, "board": N, "reason": R, "date": D}, ...],
//    "released": [{"host": H, "board": N, "reason": R, "date": D,
//                  "released": D2}, ...]}
//
// Entries name their host (several hosts may share one home folder); a host
// heeds only its own. "released" keeps the boards taken back, so that the
// results store can learn of each release (kivu-results quarantine reads it).
// A file that cannot be read or parsed is an error, never an empty
// quarantine: whoever hands out boards must then refuse to, rather than hand
// out a quarantined one.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace kivu_host {

inline constexpr const char* quarantine_file_variable = "KIVU_QUARANTINE_FILE";

struct QuarantineEntry {
  std::string host;
  std::uint32_t board = 0;
  std::string reason;
  std::string date;      // UTC, ISO 8601
  std::string released;  // UTC, ISO 8601, for a released entry; empty while quarantined

  bool operator==(const QuarantineEntry&) const = default;
};

struct Quarantine {
  std::vector<QuarantineEntry> boards;    // in service no more
  std::vector<QuarantineEntry> released;  // taken back, oldest first

  bool operator==(const Quarantine&) const = default;
};

// Why the quarantine could not be read.
struct QuarantineError {
  enum class Kind { unreadable, corrupt };
  Kind kind = Kind::corrupt;
  std::string message;  // one line, naming the file
};

// The file's place from the values of KIVU_QUARANTINE_FILE, XDG_STATE_HOME
// and HOME (as above); "quarantine.json" in the current folder when none is
// known.
[[nodiscard]] std::string quarantine_file_path(std::optional<std::string_view> quarantine_file,
                                               std::optional<std::string_view> xdg_state_home,
                                               std::optional<std::string_view> home);

// The same from the process environment (empty values count as unset).
[[nodiscard]] std::string quarantine_file_from_environment();

// The quarantine in `text`; `path` only names the file in the error.
[[nodiscard]] std::expected<Quarantine, QuarantineError> parse_quarantine(std::string_view text, std::string_view path);

// Reads the file at `path`; a missing file is an empty quarantine.
[[nodiscard]] std::expected<Quarantine, QuarantineError> read_quarantine(const std::string& path);

// The file's text for `quarantine`, ending in a newline.
[[nodiscard]] std::string quarantine_text(const Quarantine& quarantine);

// This host's name as the suite records it (gethostname); empty when unknown.
[[nodiscard]] std::string this_host_name();

// The boards of `host` (a host with `boards` boards) that `quarantine` keeps
// out of service. An entry of this host for a board it lacks is left out,
// with one line for it in `warnings`.
[[nodiscard]] std::set<std::uint32_t> quarantined_boards(const Quarantine& quarantine, std::string_view host,
                                                         std::uint32_t boards, std::vector<std::string>& warnings);

// The entry that keeps `board` of `host` out of service, if any.
[[nodiscard]] const QuarantineEntry* find_quarantined(const Quarantine& quarantine, std::string_view host,
                                                      std::uint32_t board);

}  // namespace kivu_host
