// The self-tests' entry point. The in-process device-lock tests call
// device() of this binary, whose lock names are redirected (as in the suite
// built against the stand-ins) to names private to this process, so those
// tests never wait for, or hold up, a suite using the host's real locks.
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  const std::string lock = "kivu-selftest-" + std::to_string(getpid());
  setenv("KIVU_SELFTEST_DEVICE_LOCK", lock.c_str(), 1);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
