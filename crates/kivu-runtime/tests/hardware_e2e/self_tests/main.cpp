// The self-tests' entry point. The in-process device-lock tests call
// device() of this binary, whose lock file is redirected (as in the suite
// built against the stand-ins) to a file private to this process, so those
// tests never wait for, or hold up, a suite using the host's real lock file.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  const std::filesystem::path lock = std::filesystem::temp_directory_path() /
                                     ("hardware_e2e_self_tests-" + std::to_string(getpid()) + ".lock");
  setenv("KIVU_SELFTEST_DEVICE_LOCK", lock.c_str(), 1);
  testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  std::filesystem::remove(lock);
  return result;
}
