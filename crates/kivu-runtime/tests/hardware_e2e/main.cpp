// hardware_e2e: the hardware end-to-end suite. Each case launches one runner
// program (built into the same output directory) with the environment of its
// scenario and passes when the runner succeeds. The command line is
// GoogleTest's: --gtest_list_tests, --gtest_filter=hardware_e2e.remote*, ...
#include <gtest/gtest.h>

#include "registry.hpp"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  kivu_e2e::register_cases();
  return RUN_ALL_TESTS();
}
