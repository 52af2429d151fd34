// The case registry: the suite's 20 cases in one table, in ascending order
// of name, registered with GoogleTest under the test-suite name hardware_e2e
// (hardware_e2e.<case name>) in that order.
#pragma once

#include <array>
#include <string_view>

namespace kivu_e2e {

// One case: its name (the name of its function) and its function.
struct CaseEntry {
  const char* name;
  void (*function)();
};

// The whole registry, ascending by name.
extern const std::array<CaseEntry, 20> case_registry;

// Registers every case of the registry with GoogleTest. Each registered test
// runs the case and turns a CaseFailure into a GoogleTest failure carrying
// the case's message. Call once, after testing::InitGoogleTest.
void register_cases();

}  // namespace kivu_e2e
