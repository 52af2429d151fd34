// Test support: another process that holds a board lock, for the tests of
// the lock itself and of the tools that read who holds one (kivu-boards).
#pragma once

#include <sys/types.h>

#include <string>

namespace kivu_testing {

// Forks a child that takes the board lock `name` (kivu_host::BoardLock) and
// holds it until it is killed; returns the child's pid once the lock is
// taken. Throws std::runtime_error, which fails the test, when the fork
// fails or the child cannot take the lock (the child is then gone).
[[nodiscard]] pid_t hold_lock_in_child(const std::string& name);

// Kills a child of hold_lock_in_child and reaps it: its lock is free once
// this returns.
void stop_lock_holder(pid_t child);

}  // namespace kivu_testing
