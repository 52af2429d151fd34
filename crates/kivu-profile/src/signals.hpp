// The signals kivu-profile handles itself.
//
//   - SIGINT and SIGTERM remove the temporary file of an output being
//     written, then end the process as the signal would have, so that the
//     exit status still shows it.
//   - SIGBUS from a profile's mapping: a profile is mapped while it is read
//     (kivu_package::ProfileFile), and a file cut short in place meanwhile
//     (truncated or rewritten by another program, rather than replaced
//     atomically) takes the mapped pages past its new end away. The next
//     read of them raises SIGBUS. The handler turns that into one line,
//     "kivu-profile: cannot read FILE: the file changed while it was read",
//     removes the temporary output, and exits with status 1. It does nothing
//     but a write and _exit, both safe in a signal handler; no walk is
//     resumed on memory that is gone. A SIGBUS of any other origin (sent by
//     another process, or from an access that is not past a file's end)
//     keeps its default action.
#pragma once

#include <string_view>

namespace kivu_profile {

// Installs the handlers above. Call once, before any profile is opened.
void install_signal_handlers() noexcept;

// Names the profile being read, for the SIGBUS line ("standard input" or
// the path; a name longer than the handler's buffer is cut). The tool reads
// one profile at a time, so the last one named is the one mapped.
void note_profile_being_read(std::string_view name) noexcept;

}  // namespace kivu_profile
