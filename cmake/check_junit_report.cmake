# Checks the JUnit reports CI gets from `ctest --output-junit`: with the
# DartConfiguration.tcl of the build folder BUILD_DIR, ctest names the
# <testsuite> SUITE_NAME and its host SITE_NAME; after
# cmake/junit_failures.cmake, a failing case carries its failure's first line
# as the message and its output as the failure's text, a skipped case the
# reason it gave, and with the build folder each case the classname of its
# crate and kind label; also for a report made without that file. With
# LIST_SKIPPED=ON the script lists each skipped test with its reason.
#
#   cmake -DCTEST=... -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... -DSUITE_NAME=... -DSITE_NAME=... -P check_junit_report.cmake
cmake_minimum_required(VERSION 3.25)

foreach(variable CTEST BUILD_DIR SOURCE_DIR WORK_DIR SUITE_NAME SITE_NAME)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "check_junit_report.cmake needs -D${variable}=...")
  endif()
endforeach()

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}/project/crates/kivu-alpha/tests")
# Cases that pass, fail as a GoogleTest case does, fail with text that needs
# escaping in XML, skip as GoogleTest does, and skip as a script does (exit
# 77, its reason on a line that is not the last); one of them in a crate's
# folder.
file(WRITE "${WORK_DIR}/project/CMakeLists.txt" [=[
cmake_minimum_required(VERSION 3.25)
project(junit_check NONE)
enable_testing()
add_test(NAME passes COMMAND sh -c "echo fine")
set_tests_properties(passes PROPERTIES LABELS "build;slow")
add_test(NAME fails_like_gtest COMMAND sh -c "printf '[ RUN      ] A.b\\nx.cpp:3: Failure\\nExpected equality of these values:\\n  tiles\\n'; exit 1")
add_test(NAME fails_with_markup COMMAND sh -c "echo 'setup done'; echo 'error: \"a\" < b & c; [d]' >&2; exit 2")
add_test(NAME skips_like_a_script COMMAND sh -c "echo 'SKIP: no \"browser\" < here; [x]'; echo 'cleaned up'; exit 77")
set_tests_properties(skips_like_a_script PROPERTIES SKIP_RETURN_CODE 77)
add_subdirectory(crates/kivu-alpha/tests)
]=])
file(WRITE "${WORK_DIR}/project/crates/kivu-alpha/tests/CMakeLists.txt" [=[
add_test(NAME alpha.skips_like_gtest COMMAND sh -c "printf '[ RUN      ] A.c\\nx.cpp:9: Skipped\\nno board here\\n[  SKIPPED ] A.c (0 ms)\\n'")
set_tests_properties(alpha.skips_like_gtest PROPERTIES LABELS unit SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
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
  set(listed "${errors}" PARENT_SCOPE)
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
complete("${report}" "-DBUILD_DIR=${WORK_DIR}/build" -DLIST_SKIPPED=ON)
expect("${report}" "<failure message=\"x.cpp:3: Failure: Expected equality of these values:\">[ RUN      ] A.b\nx.cpp:3: Failure\n")
expect("${report}" "<failure message=\"error: &quot;a&quot; &lt; b &amp; c; [d]\">setup done\nerror: \"a\" &lt; b &amp; c; [d]\n</failure>")
# Skips carry the reason the test gave, and are listed with it.
expect("${report}" "<skipped message=\"SKIP: no &quot;browser&quot; &lt; here; [x]\"/>")
expect("${report}" "<skipped message=\"no board here\"/>")
set(skips "Skipped tests (2), each with its reason:\n")
string(APPEND skips "  skips_like_a_script: SKIP: no \"browser\" < here; [x]\n")
string(APPEND skips "  alpha.skips_like_gtest: no board here\n")
if(NOT listed STREQUAL skips)
  message(FATAL_ERROR "junit_failures.cmake -DLIST_SKIPPED=ON printed\n${listed}\ninstead of\n${skips}")
endif()
# Each case is grouped by its crate ("workspace" at the top) and first label.
expect("${report}" "<testcase name=\"passes\" classname=\"workspace.build\"")
expect("${report}" "<testcase name=\"fails_like_gtest\" classname=\"workspace\"")
expect("${report}" "<testcase name=\"alpha.skips_like_gtest\" classname=\"kivu-alpha.unit\"")
file(READ "${report}" first)
string(FIND "${first}" "<failure message=\"\"" empty)
if(NOT empty EQUAL -1)
  message(FATAL_ERROR "a failure kept an empty message:\n${first}")
endif()
# Completing a completed report changes nothing.
complete("${report}" "-DBUILD_DIR=${WORK_DIR}/build")
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
