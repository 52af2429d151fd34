# Checks that every test of the build folder BUILD_DIR carries a TIMEOUT and
# exactly one kind label of KINDS, with no label outside KINDS and EXTRAS,
# so that `ctest -L <kind>` selects every test of that kind and no test can
# hang a CI job. Reads the tests as `ctest --show-only=json-v1` lists them,
# from CTEST (the ctest of this build), run in the scratch folder WORK_DIR
# whose CTestTestfile.cmake only points at BUILD_DIR: ctest rewrites the
# Testing/ logs of the folder it runs in, and those of BUILD_DIR belong to
# the ctest run this check is part of.
#
#   cmake -DCTEST=... -DBUILD_DIR=... -DWORK_DIR=... -DKINDS="unit;..." -DEXTRAS="slow" -P check_test_labels.cmake
cmake_minimum_required(VERSION 3.25)

foreach(variable CTEST BUILD_DIR WORK_DIR KINDS)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "check_test_labels.cmake needs -D${variable}=...")
  endif()
endforeach()

include("${CMAKE_CURRENT_LIST_DIR}/ctest_listing.cmake")

# Adds to `problems` what the test `test` (its json-v1 entry) lacks.
function(check_test test)
  ctest_test_properties("${test}" test)
  set(name "${test_name}")
  set(labels "${test_labels}")
  set(timeout "${test_timeout}")

  set(kinds "")
  set(unknown "")
  foreach(label IN LISTS labels)
    if(label IN_LIST KINDS)
      list(APPEND kinds "${label}")
    elseif(NOT label IN_LIST EXTRAS)
      list(APPEND unknown "${label}")
    endif()
  endforeach()
  list(LENGTH kinds kind_count)
  if(NOT kind_count EQUAL 1)
    string(JOIN ", " shown ${kinds})
    if(kind_count EQUAL 0)
      set(shown "none")
    endif()
    string(APPEND problems "\n  ${name}: kind labels ${shown} (needs exactly one)")
  endif()
  if(unknown)
    string(JOIN ", " shown ${unknown})
    string(APPEND problems "\n  ${name}: unknown labels ${shown}")
  endif()
  if(timeout STREQUAL "" OR NOT timeout GREATER 0)
    string(APPEND problems "\n  ${name}: no TIMEOUT")
  endif()
  set(problems "${problems}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
# A bracket argument takes any path as it is (quotes, $, backslashes).
file(WRITE "${WORK_DIR}/CTestTestfile.cmake" "subdirs([==[${BUILD_DIR}]==])\n")

# The listing is read in slices of `slice` tests (ctest -I): CMake's JSON
# reader parses the whole text for every element taken out of it, which
# over one listing of hundreds of tests takes many seconds.
set(slice 40)
set(count 0)
set(problems "")
set(first 1)
while(TRUE)
  math(EXPR end "${first} + ${slice} - 1")
  execute_process(COMMAND "${CTEST}" --show-only=json-v1 -I "${first},${end}"
    WORKING_DIRECTORY "${WORK_DIR}"
    OUTPUT_VARIABLE listing ERROR_VARIABLE errors RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "ctest --show-only=json-v1 failed (${status}): ${errors}")
  endif()
  string(JSON tests GET "${listing}" tests)
  string(JSON slice_count LENGTH "${tests}")
  if(slice_count EQUAL 0)
    break()
  endif()
  math(EXPR count "${count} + ${slice_count}")
  math(EXPR first "${end} + 1")
  math(EXPR last "${slice_count} - 1")
  foreach(i RANGE ${last})
    string(JSON test GET "${tests}" ${i})
    check_test("${test}")
  endforeach()
endwhile()
file(REMOVE_RECURSE "${WORK_DIR}")
if(count EQUAL 0)
  message(FATAL_ERROR "ctest lists no tests in ${BUILD_DIR}")
endif()

if(problems)
  string(JOIN ", " kinds_shown ${KINDS})
  string(JOIN ", " extras_shown ${EXTRAS})
  message(FATAL_ERROR "tests without a kind label (${kinds_shown}; also allowed: ${extras_shown}) or a TIMEOUT:"
                      "${problems}")
endif()
message(STATUS "${count} tests, each with one kind label and a TIMEOUT")
