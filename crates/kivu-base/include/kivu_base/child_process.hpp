// Starting a child process and waiting for it, as the suite's launcher and
// the tests' child processes both do.
//
// A process started with SIGCHLD ignored (or with SA_NOCLDWAIT) has its
// children reaped by the kernel, so that waiting for them fails; a process
// that blocked SIGCHLD passes the block on to its children. A parent calls
// restore_child_signal before it starts a child, and waits with
// wait_for_child, which a signal delivered meanwhile does not cut short.
#pragma once

#include <sys/types.h>

#include <expected>

namespace kivu_base {

// Gives SIGCHLD its default action back when it is ignored (a handler stays,
// without SA_NOCLDWAIT) and unblocks it in the calling thread, so that the
// process's children can be waited for.
void restore_child_signal() noexcept;

// Waits for child `pid` to end, retrying when a signal interrupts the wait:
// its wait status (for WIFEXITED and the like), or the errno of waitpid.
[[nodiscard]] std::expected<int, int> wait_for_child(pid_t pid) noexcept;

}  // namespace kivu_base
