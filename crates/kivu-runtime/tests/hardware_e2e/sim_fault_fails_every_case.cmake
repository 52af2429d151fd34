# Runs the whole suite SUITE with every runner's board flipping one bit of
# the first data read back (KIVU_SIM_FAULT=1, set by the CTest test), and
# passes only when each of the CASES cases failed because its runner
# reported the fault, with the runner's failing line after the suite's
# message: a runner check that compares a buffer with itself, or
# a case that judges nothing, shows as a case that passed.
#
#   cmake -DSUITE=<hardware_e2e> -DREPORT=<json file> -DCASES=<count> -P sim_fault_fails_every_case.cmake

foreach(variable SUITE REPORT CASES)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "${variable} is not set")
  endif()
endforeach()
if(NOT "$ENV{KIVU_SIM_FAULT}" STREQUAL "1")
  message(FATAL_ERROR "KIVU_SIM_FAULT must be 1, not \"$ENV{KIVU_SIM_FAULT}\"")
endif()

file(REMOVE "${REPORT}")
execute_process(COMMAND "${SUITE}" "--gtest_output=json:${REPORT}"
  RESULT_VARIABLE suite_result OUTPUT_VARIABLE suite_output ERROR_VARIABLE suite_output)
if(NOT EXISTS "${REPORT}")
  message(FATAL_ERROR "the suite wrote no report (result ${suite_result}):\n${suite_output}")
endif()
file(READ "${REPORT}" report)

string(JSON ran GET "${report}" tests)
string(JSON failed GET "${report}" failures)
set(wrong "")
string(JSON suites LENGTH "${report}" testsuites)
math(EXPR last_suite "${suites} - 1")
foreach(s RANGE ${last_suite})
  string(JSON cases LENGTH "${report}" testsuites ${s} testsuite)
  math(EXPR last_case "${cases} - 1")
  foreach(c RANGE ${last_case})
    string(JSON name GET "${report}" testsuites ${s} testsuite ${c} name)
    string(JSON failures ERROR_VARIABLE no_failures LENGTH "${report}" testsuites ${s} testsuite ${c} failures)
    if(no_failures OR failures EQUAL 0)
      string(APPEND wrong "  ${name}: passed\n")
      continue()
    endif()
    string(JSON message GET "${report}" testsuites ${s} testsuite ${c} failures 0 failure)
    # The runner must have ended with a failure of its own, not failed to
    # start or been refused its board.
    if(NOT message MATCHES "hardware capability \".*\" failed with ")
      string(APPEND wrong "  ${name}: failed, but not through its runner: ${message}\n")
    # The runner's own failing line follows, naming the runner.
    elseif(NOT message MATCHES "failed with exit status: 1\nkivu-[a-z0-9-]+-e2e: [^\n]")
      string(APPEND wrong "  ${name}: failed without its runner's failing line: ${message}\n")
    endif()
  endforeach()
endforeach()

if(NOT ran EQUAL CASES OR NOT failed EQUAL CASES OR NOT wrong STREQUAL "")
  message(FATAL_ERROR "under KIVU_SIM_FAULT=1 ${failed} of ${ran} cases failed; expected all ${CASES} to fail "
    "through their runners:\n${wrong}\n--- suite output\n${suite_output}")
endif()
message(STATUS "all ${ran} cases failed under KIVU_SIM_FAULT=1, each through its runner")
