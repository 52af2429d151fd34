// The scenarios that the hardware end-to-end suite gives the runners: every
// host transfer case, the three randomized host round trips, the host-route
// list of 86 tiles, the six graphs and the three graph seeds.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "kivu_testing/child_process.hpp"

namespace kivu_runner::testing {

using kivu_testing::ChildResult;
using kivu_testing::Environment;
using kivu_testing::run_child;

struct Scenario {
  std::string name;    // a test name: what the scenario does
  std::string runner;  // path of the runner program
  Environment environment;
};

[[nodiscard]] std::vector<Scenario> suite_scenarios();

// Shown by GoogleTest (and CTest) in place of the parameter's raw bytes.
inline void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

}  // namespace kivu_runner::testing
