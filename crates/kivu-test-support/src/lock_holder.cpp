#include "kivu_testing/lock_holder.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "kivu_host/board_lock.hpp"

namespace kivu_testing {

pid_t hold_lock_in_child(const std::string& name) {
  int ready[2];
  if (::pipe(ready) != 0) throw std::runtime_error("pipe failed");
  const pid_t child = ::fork();
  if (child < 0) {
    ::close(ready[0]);
    ::close(ready[1]);
    throw std::runtime_error("fork failed");
  }
  if (child == 0) {
    ::close(ready[0]);
    const auto lock = kivu_host::BoardLock::try_take(name);
    const char bound = lock ? 'y' : 'n';
    (void)!::write(ready[1], &bound, 1);
    for (;;) ::pause();
  }
  ::close(ready[1]);
  char bound = 'n';
  const auto got = ::read(ready[0], &bound, 1);
  ::close(ready[0]);
  if (got != 1 || bound != 'y') {
    stop_lock_holder(child);
    throw std::runtime_error("the child could not bind @" + name);
  }
  return child;
}

void stop_lock_holder(pid_t child) {
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
}

}  // namespace kivu_testing
