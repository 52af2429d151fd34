// Waiting for child processes (see kivu_base/child_process.hpp).
#include "kivu_base/child_process.hpp"

#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>

#include <cerrno>

namespace kivu_base {

void restore_child_signal() noexcept {
  struct sigaction action {};
  if (sigaction(SIGCHLD, nullptr, &action) == 0 &&
      (action.sa_handler == SIG_IGN || (action.sa_flags & SA_NOCLDWAIT) != 0)) {
    if (action.sa_handler == SIG_IGN) {
      action.sa_handler = SIG_DFL;
      action.sa_flags = 0;
      sigemptyset(&action.sa_mask);
    }
    action.sa_flags &= ~SA_NOCLDWAIT;
    (void)sigaction(SIGCHLD, &action, nullptr);
  }
  sigset_t child;
  sigemptyset(&child);
  sigaddset(&child, SIGCHLD);
  (void)pthread_sigmask(SIG_UNBLOCK, &child, nullptr);
}

std::expected<int, int> wait_for_child(pid_t pid) noexcept {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return std::unexpected(errno);
  }
  return status;
}

}  // namespace kivu_base
