# Completes a JUnit report written by `ctest --output-junit` (ctest 3.25) for
# the JUnit readers of CI servers:
#  - ctest writes a failing case as <failure message=""/> and its output in
#    <system-out>; readers show the failure's message and text, so both stay
#    empty. Here the message becomes the failure's first line (GoogleTest's
#    "FILE:LINE: Failure" with the line after it, or else the first line
#    that speaks of an error or failure, or else the last line of output)
#    and the failure's text the case's output.
#  - a report whose <testsuite> has no name ("(empty)") or no hostname gets
#    SUITE (default "kivu") and this host's name. The workspace's own build
#    folders give ctest both (DartConfiguration.tcl), so this only matters for
#    reports made elsewhere.
# The report is replaced whole; running this twice changes nothing more.
#
#   cmake -DREPORT=junit.xml [-DSUITE=name] -P cmake/junit_failures.cmake
cmake_minimum_required(VERSION 3.25)

if(NOT DEFINED REPORT)
  message(FATAL_ERROR "usage: cmake -DREPORT=junit.xml [-DSUITE=name] -P junit_failures.cmake")
endif()
if(NOT EXISTS "${REPORT}")
  message(FATAL_ERROR "no JUnit report at ${REPORT}")
endif()
if(NOT DEFINED SUITE OR SUITE STREQUAL "")
  set(SUITE "kivu")
endif()
file(READ "${REPORT}" report)

# The suite's name and host.
string(REPLACE "<testsuite name=\"(empty)\"" "<testsuite name=\"${SUITE}\"" report "${report}")
if(report MATCHES "hostname=\"\"")
  cmake_host_system_information(RESULT host QUERY HOSTNAME)
  string(REPLACE "hostname=\"\"" "hostname=\"${host}\"" report "${report}")
endif()

# The one-line message of a failure whose (XML-escaped) output is `output`.
function(failure_summary output result)
  set(summary "")
  if(output MATCHES "([^\n]*: Failure)\n([^\n]*)")
    set(summary "${CMAKE_MATCH_1}: ${CMAKE_MATCH_2}")
  elseif(output MATCHES "([^\n]*([Ee]rror|FAIL|[Ff]ail|[Mm]ismatch)[^\n]*)")
    set(summary "${CMAKE_MATCH_1}")
  elseif(output MATCHES "([^\n]+)\n*$")
    set(summary "${CMAKE_MATCH_1}")
  else()
    set(summary "failed without output")
  endif()
  string(STRIP "${summary}" summary)
  string(LENGTH "${summary}" length)
  if(length GREATER 300)
    string(SUBSTRING "${summary}" 0 300 summary)
    string(APPEND summary "...")
  endif()
  # An attribute: the output's <, > and & are escaped already; quotes and
  # tabs are not.
  string(REPLACE "\"" "&quot;" summary "${summary}")
  string(REPLACE "\t" " " summary "${summary}")
  set(${result} "${summary}" PARENT_SCOPE)
endfunction()

set(empty_failure "<failure message=\"\"/>")
string(LENGTH "${empty_failure}" empty_failure_length)
set(done "")
set(rest "${report}")
while(TRUE)
  string(FIND "${rest}" "${empty_failure}" at)
  if(at EQUAL -1)
    break()
  endif()
  string(SUBSTRING "${rest}" 0 ${at} before)
  math(EXPR after "${at} + ${empty_failure_length}")
  string(SUBSTRING "${rest}" ${after} -1 rest)
  # The case's output: its <system-out>, before the case ends.
  set(output "")
  string(FIND "${rest}" "</testcase>" case_end)
  string(FIND "${rest}" "<system-out>" output_start)
  string(FIND "${rest}" "</system-out>" output_end)
  if(output_start GREATER -1 AND output_end GREATER output_start AND (case_end EQUAL -1 OR output_start LESS case_end))
    math(EXPR output_start "${output_start} + 12")
    math(EXPR output_length "${output_end} - ${output_start}")
    string(SUBSTRING "${rest}" ${output_start} ${output_length} output)
  endif()
  failure_summary("${output}" summary)
  string(APPEND done "${before}<failure message=\"${summary}\">${output}</failure>")
endwhile()
string(APPEND done "${rest}")

file(WRITE "${REPORT}.kivu-tmp" "${done}")
file(RENAME "${REPORT}.kivu-tmp" "${REPORT}")
