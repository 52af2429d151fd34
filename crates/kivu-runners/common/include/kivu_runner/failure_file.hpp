// The runner's failing lines, handed to the program that started it.
//
// A runner prints why it failed on stderr, which the suite passes through
// without reading it. So that the suite can put those lines into the case's
// failure text, it names a file of its own in KIVU_RUNNER_FAILURE_FILE (made
// afresh, mode 0600, in a folder only its user can enter); a failing runner
// appends the lines it printed there too. The runner never creates the file
// and writes only to a regular file of its own user, opened without
// following a link: a variable left over in a shell, or naming a FIFO or
// someone else's file, changes nothing. Writing is best effort: the lines
// are on stderr in any case.
#pragma once

#include <string_view>

namespace kivu_runner {

inline constexpr const char* failure_file_variable = "KIVU_RUNNER_FAILURE_FILE";

// Appends `lines` (each ending with a line break) to the file that
// KIVU_RUNNER_FAILURE_FILE names, when it is set and names such a file.
void append_failure_lines(std::string_view lines) noexcept;

}  // namespace kivu_runner
