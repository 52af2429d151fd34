# Checks the JUnit reports CI gets from `ctest --output-junit`: with the
# DartConfiguration.tcl of the build folder BUILD_DIR, ctest names the
# <testsuite> SUITE_NAME and its host SITE_NAME; after
# cmake/junit_failures.cmake, a failing case carries its failure's first line
# as the message and its output as the failure's text, also for a report
# made without that file.
#
#   cmake -DCTEST=... -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... -DSUITE_NAME=... -DSITE_NAME=... -P check_junit_report.cmake
cmake_minimum_required(VERSION 3.25)

foreach(variable CTEST BUILD_DIR SOURCE_DIR WORK_DIR SUITE_NAME SITE_NAME)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "check_junit_report.cmake needs -D${variable}=...")
  endif()
endforeach()

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}/project")
# Three cases: one passes, one fails as a GoogleTest case does, one fails
# with text that needs escaping in XML.
file(WRITE "${WORK_DIR}/project/CMakeLists.txt" [=[
cmake_minimum_required(VERSION 3.25)
project(junit_check NONE)
enable_testing()
add_test(NAME passes COMMAND sh -c "echo fine")
add_test(NAME fails_like_gtest COMMAND sh -c "printf '[ RUN      ] A.b\\nx.cpp:3: Failure\\nExpected equality of these values:\\n  tiles\\n'; exit 1")
add_test(NAME fails_with_markup COMMAND sh -c "echo 'setup done'; echo 'error: \"a\" < b & c; [d]' >&2; exit 2")
]=])
execute_process(COMMAND "${CMAKE_COMMAND}" -S "${WORK_DIR}/project" -B "${WORK_DIR}/build"
  OUTPUT_QUIET RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cannot configure the check's project")
endif()
cmake_host_system_information(RESULT host QUERY HOSTNAME)

function(run_ctest report)
  execute_process(COMMAND "${CTEST}" --output-junit "${report}"
    WORKING_DIRECTORY "${WORK_DIR}/build" OUTPUT_QUIET ERROR_QUIET RESULT_VARIABLE status)
  if(status EQUAL 0 OR NOT EXISTS "${report}")
    message(FATAL_ERROR "ctest passed failing tests or wrote no report ${report}")
  endif()
endfunction()

function(complete report)
  execute_process(COMMAND "${CMAKE_COMMAND}" "-DREPORT=${report}" ${ARGN}
    -P "${SOURCE_DIR}/cmake/junit_failures.cmake" RESULT_VARIABLE status ERROR_VARIABLE errors)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "junit_failures.cmake failed: ${errors}")
  endif()
endfunction()

function(expect report text)
  file(READ "${report}" content)
  string(FIND "${content}" "${text}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${report} lacks\n  ${text}\nit reads:\n${content}")
  endif()
endfunction()

# The build folder's configuration names the suite and the host.
file(COPY_FILE "${BUILD_DIR}/DartConfiguration.tcl" "${WORK_DIR}/build/DartConfiguration.tcl")
set(report "${WORK_DIR}/configured.xml")
run_ctest("${report}")
expect("${report}" "<testsuite name=\"${SUITE_NAME}\"")
expect("${report}" "hostname=\"${SITE_NAME}\"")
complete("${report}")
expect("${report}" "<failure message=\"x.cpp:3: Failure: Expected equality of these values:\">[ RUN      ] A.b\nx.cpp:3: Failure\n")
expect("${report}" "<failure message=\"error: &quot;a&quot; &lt; b &amp; c; [d]\">setup done\nerror: \"a\" &lt; b &amp; c; [d]\n</failure>")
file(READ "${report}" first)
string(FIND "${first}" "<failure message=\"\"" empty)
if(NOT empty EQUAL -1)
  message(FATAL_ERROR "a failure kept an empty message:\n${first}")
endif()
# Completing a completed report changes nothing.
complete("${report}")
file(READ "${report}" second)
if(NOT first STREQUAL second)
  message(FATAL_ERROR "completing the report twice changed it:\n${second}")
endif()

# Without the configuration: the name given, and this host.
file(REMOVE "${WORK_DIR}/build/DartConfiguration.tcl")
set(report "${WORK_DIR}/bare.xml")
run_ctest("${report}")
complete("${report}" "-DSUITE=nightly")
expect("${report}" "<testsuite name=\"nightly\"")
expect("${report}" "hostname=\"${host}\"")
expect("${report}" "<failure message=\"x.cpp:3: Failure")
file(REMOVE_RECURSE "${WORK_DIR}")
