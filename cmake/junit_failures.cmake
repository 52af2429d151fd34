# Completes a JUnit report written by `ctest --output-junit` (ctest 3.25) for
# the JUnit readers of CI servers:
#  - ctest writes a failing case as <failure message=""/> and its output in
#    <system-out>; readers show the failure's message and text, so both stay
#    empty. Here the message becomes the failure's first line (GoogleTest's
#    "FILE:LINE: Failure" with the line after it, or else the first line
#    that speaks of an error or failure, or else the last line of output)
#    and the failure's text the case's output.
#  - a skipped case's <skipped message> says how ctest saw the skip
#    ("SKIP_RETURN_CODE=77"); here it becomes the reason the test gave: the
#    line after GoogleTest's "FILE:LINE: Skipped", or else the last line of
#    output that speaks of a skip, or else its last line.
#  - ctest gives every case the classname of its own name, so that readers
#    show one group per test. With BUILD_DIR (the build folder the tests ran
#    in), each case's classname becomes its crate and its first (kind) label,
#    "kivu-runtime.hardware": the crate is the folder under crates/ that
#    registered the test ("workspace" for the top level), the labels are the
#    test's LABELS.
#  - a report whose <testsuite> has no name ("(empty)") or no hostname gets
#    SUITE (default "kivu") and this host's name. The workspace's own build
#    folders give ctest both (DartConfiguration.tcl), so this only matters for
#    reports made elsewhere.
# The report is replaced whole; running this twice changes nothing more.
# With LIST_SKIPPED=ON it also prints each skipped test and its reason.
#
#   cmake -DREPORT=junit.xml [-DBUILD_DIR=dir] [-DSUITE=name] [-DLIST_SKIPPED=ON] -P cmake/junit_failures.cmake
cmake_minimum_required(VERSION 3.25)

if(NOT DEFINED REPORT)
  message(FATAL_ERROR
    "usage: cmake -DREPORT=junit.xml [-DBUILD_DIR=dir] [-DSUITE=name] [-DLIST_SKIPPED=ON] -P junit_failures.cmake")
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

# `text` as an attribute value: the output's <, > and & are escaped already;
# quotes and tabs are not.
function(attribute_text text result)
  string(STRIP "${text}" text)
  string(LENGTH "${text}" length)
  if(length GREATER 300)
    string(SUBSTRING "${text}" 0 300 text)
    string(APPEND text "...")
  endif()
  string(REPLACE "\"" "&quot;" text "${text}")
  string(REPLACE "\t" " " text "${text}")
  set(${result} "${text}" PARENT_SCOPE)
endfunction()

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
  attribute_text("${summary}" summary)
  set(${result} "${summary}" PARENT_SCOPE)
endfunction()

# The reason a skipped test whose (XML-escaped) output is `output` gave;
# `fallback` when its output says nothing.
function(skip_reason output fallback result)
  set(reason "")
  if(output MATCHES ": Skipped\n([^\n]*)")
    set(reason "${CMAKE_MATCH_1}")
    if(reason MATCHES "^\\[" OR reason STREQUAL "")
      set(reason "skipped without a reason")
    endif()
  else()
    # The greedy start leaves the last such line to the group.
    if(output MATCHES "^(.*\n)?([^\n]*[Ss][Kk][Ii][Pp][^\n]*)")
      set(reason "${CMAKE_MATCH_2}")
    elseif(output MATCHES "([^\n]+)\n*$")
      set(reason "${CMAKE_MATCH_1}")
    endif()
  endif()
  string(STRIP "${reason}" reason)
  if(reason STREQUAL "")
    set(reason "${fallback}")
  endif()
  attribute_text("${reason}" reason)
  set(${result} "${reason}" PARENT_SCOPE)
endfunction()

include("${CMAKE_CURRENT_LIST_DIR}/ctest_listing.cmake")

# The group of the test whose ctest JSON object (--show-only=json-v1) is
# `test`: classname_<SHA1 of its name> is set to "<crate>.<first label>".
function(group_test test)
  ctest_test_properties("${test}" test)
  set(name "${test_name}")
  set(crate "workspace")
  set(label "")
  if(NOT test_labels STREQUAL "")
    list(GET test_labels 0 label)
  endif()
  if(NOT test_working_directory STREQUAL "")
    get_filename_component(directory "${test_working_directory}" REALPATH)
    file(RELATIVE_PATH inside "${build_root}" "${directory}")
    if(inside MATCHES "^crates/([^/]+)")
      set(crate "${CMAKE_MATCH_1}")
    elseif(inside MATCHES "^([^./][^/]*)")
      set(crate "${CMAKE_MATCH_1}")
    endif()
  endif()
  string(SHA1 key "${name}")
  if(label STREQUAL "")
    set(classname_${key} "${crate}" PARENT_SCOPE)
  else()
    set(classname_${key} "${crate}.${label}" PARENT_SCOPE)
  endif()
endfunction()

# take_next(TEXT_VAR OPEN CLOSE BEFORE_VAR PIECE_VAR): the first piece of
# the text in TEXT_VAR that starts with OPEN and ends with the first CLOSE
# after it goes to PIECE_VAR, what came before it to BEFORE_VAR, and TEXT_VAR
# keeps what follows. Without such a piece, PIECE_VAR and BEFORE_VAR are ""
# and TEXT_VAR is left as it is. A macro: the text, which may be megabytes,
# is not copied into and out of a function's scope at each piece.
macro(take_next text_var open close before_var piece_var)
  set(${before_var} "")
  set(${piece_var} "")
  string(FIND "${${text_var}}" "${open}" _take_start)
  if(_take_start GREATER -1)
    string(SUBSTRING "${${text_var}}" ${_take_start} -1 _take_from_open)
    string(FIND "${_take_from_open}" "${close}" _take_end)
    if(_take_end GREATER -1)
      string(LENGTH "${close}" _take_close_length)
      math(EXPR _take_end "${_take_end} + ${_take_close_length}")
      string(SUBSTRING "${${text_var}}" 0 ${_take_start} ${before_var})
      string(SUBSTRING "${_take_from_open}" 0 ${_take_end} ${piece_var})
      string(SUBSTRING "${_take_from_open}" ${_take_end} -1 ${text_var})
    endif()
    unset(_take_from_open)
  endif()
endmacro()

# Each test's group, from the build folder's tests.
if(DEFINED BUILD_DIR AND NOT BUILD_DIR STREQUAL "")
  get_filename_component(cmake_bin "${CMAKE_COMMAND}" DIRECTORY)
  find_program(ctest_command NAMES ctest HINTS "${cmake_bin}" NO_DEFAULT_PATH)
  if(NOT ctest_command)
    find_program(ctest_command NAMES ctest REQUIRED)
  endif()
  execute_process(COMMAND "${ctest_command}" --show-only=json-v1 WORKING_DIRECTORY "${BUILD_DIR}"
    RESULT_VARIABLE status OUTPUT_VARIABLE tests_json ERROR_VARIABLE errors)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "cannot list the tests of ${BUILD_DIR}: ${errors}")
  endif()
  get_filename_component(build_root "${BUILD_DIR}" REALPATH)
  string(JSON test_count LENGTH "${tests_json}" tests)
  # string(JSON) parses the whole document at each call, which for some
  # hundred tests takes half a minute. ctest indents its JSON, each test's
  # object in "tests" by four spaces (a string holds no raw line break), so
  # each object is cut out and parsed alone.
  set(grouped 0)
  string(FIND "${tests_json}" "\"tests\" :" at)
  if(at GREATER -1)
    string(SUBSTRING "${tests_json}" ${at} -1 rest)
    while(TRUE)
      take_next(rest "\n    {\n" "\n    }" before test)
      if(test STREQUAL "")
        break()
      endif()
      group_test("${test}")
      math(EXPR grouped "${grouped} + 1")
    endwhile()
  endif()
  # Laid out otherwise: one test at a time from the whole document.
  if(NOT grouped EQUAL test_count AND test_count GREATER 0)
    math(EXPR last "${test_count} - 1")
    foreach(index RANGE ${last})
      string(JSON test GET "${tests_json}" tests ${index})
      group_test("${test}")
    endforeach()
  endif()
endif()

# `text` with the five XML entities of ctest's report decoded.
function(xml_decoded text result)
  string(REPLACE "&quot;" "\"" text "${text}")
  string(REPLACE "&apos;" "'" text "${text}")
  string(REPLACE "&lt;" "<" text "${text}")
  string(REPLACE "&gt;" ">" text "${text}")
  string(REPLACE "&amp;" "&" text "${text}")
  set(${result} "${text}" PARENT_SCOPE)
endfunction()

# Each <testcase> in turn: its elements (the part before <system-out>) are
# completed, its output is left as it is.
set(done "")
set(rest "${report}")
set(skipped_count 0)
set(skipped_lines "")
while(TRUE)
  take_next(rest "<testcase " "</testcase>" before case)
  if(case STREQUAL "")
    break()
  endif()
  string(APPEND done "${before}")

  set(output "")
  set(elements "${case}")
  set(output_part "")
  string(FIND "${case}" "<system-out>" output_start)
  string(FIND "${case}" "</system-out>" output_end)
  if(output_start GREATER -1 AND output_end GREATER output_start)
    string(SUBSTRING "${case}" 0 ${output_start} elements)
    string(SUBSTRING "${case}" ${output_start} -1 output_part)
    math(EXPR output_start "${output_start} + 12")
    math(EXPR output_length "${output_end} - ${output_start}")
    string(SUBSTRING "${case}" ${output_start} ${output_length} output)
  endif()
  string(FIND "${elements}" ">" tag_end)
  string(SUBSTRING "${elements}" 0 ${tag_end} tag)

  set(name "")
  if(tag MATCHES "^<testcase name=\"([^\"]*)\"")
    set(name "${CMAKE_MATCH_1}")
    xml_decoded("${name}" plain_name)
    string(SHA1 key "${plain_name}")
    if(DEFINED classname_${key})
      string(REGEX REPLACE "^(<testcase name=\"[^\"]*\" classname=)\"[^\"]*\"" "\\1\"${classname_${key}}\""
        elements "${elements}")
    endif()
  endif()

  if(elements MATCHES "<failure message=\"\"/>")
    failure_summary("${output}" summary)
    string(REPLACE "<failure message=\"\"/>" "<failure message=\"${summary}\">${output}</failure>"
      elements "${elements}")
  endif()

  if(tag MATCHES " status=\"(notrun|disabled)\"")
    set(how "${CMAKE_MATCH_1}")
    if(elements MATCHES "<skipped message=\"([^\"]*)\"")
      set(how "${CMAKE_MATCH_1}")
    endif()
    skip_reason("${output}" "${how}" reason)
    string(REPLACE "\\" "\\\\" replacement "<skipped message=\"${reason}\"")
    string(REGEX REPLACE "<skipped message=\"[^\"]*\"" "${replacement}" elements "${elements}")
    xml_decoded("${name}: ${reason}" line)
    math(EXPR skipped_count "${skipped_count} + 1")
    string(APPEND skipped_lines "\n  ${line}")
  endif()
  string(APPEND done "${elements}${output_part}")
endwhile()
string(APPEND done "${rest}")

if(NOT done STREQUAL report)
  file(WRITE "${REPORT}.kivu-tmp" "${done}")
  file(RENAME "${REPORT}.kivu-tmp" "${REPORT}")
endif()

if(LIST_SKIPPED AND skipped_count GREATER 0)
  message(NOTICE "Skipped tests (${skipped_count}), each with its reason:${skipped_lines}")
endif()
