# Runs `make test BOARDS=2` in a copy of the workspace whose path holds a
# space and a non-ASCII letter (WORK_DIR/sp ace/ü), narrowed to the Makefile
# test, one hardware case and the suite under Slurm, and building only what
# they need: kivu-boards writes the resource file, ctest reads it, the suite
# launches its runner, and the Slurm tasks run the suite and the stand-ins,
# each by a path with a space and a 'ü'. Where the Slurm test cannot run (not
# root, no Slurm) it skips, and the other two still count.
#
#   cmake -D SOURCE_DIR=<workspace> -D WORK_DIR=<scratch folder> -D MAKE=<make>
#         -D TIMEOUT=<seconds> -P check_make_test_odd_path.cmake
#
# WORK_DIR is emptied first (a run killed from outside leaves it behind) and
# removed on every way out of this script. The copy's build uses ccache when
# it is installed: its paths are taken relative to the copy, so one run's
# objects serve the next, from any build folder.
cmake_minimum_required(VERSION 3.25)

set(checkout "${WORK_DIR}/sp ace/ü")

function(finish)
  file(REMOVE_RECURSE "${WORK_DIR}")
endfunction()
function(fail text)
  finish()
  message(FATAL_ERROR "${text}")
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${checkout}")

# The workspace as it is, local changes included, without its build output
# and history, nor the folder that holds the copy (a build folder of any
# name inside the workspace).
file(RELATIVE_PATH inside "${SOURCE_DIR}" "${WORK_DIR}")
string(REGEX REPLACE "/.*" "" holder "${inside}")
file(GLOB entries LIST_DIRECTORIES true RELATIVE "${SOURCE_DIR}" "${SOURCE_DIR}/*" "${SOURCE_DIR}/.*")
foreach(entry IN LISTS entries)
  if(NOT entry MATCHES "^(\\.git|target|build)$" AND NOT entry STREQUAL holder)
    file(COPY "${SOURCE_DIR}/${entry}" DESTINATION "${checkout}")
  endif()
endforeach()

# A make or ctest above this one must not pass on its variables (PRESET,
# TEST_FILTER, ... in MAKEFLAGS and in the environment) or its board.
set(environment
  --unset=MAKEFLAGS --unset=MFLAGS --unset=MAKELEVEL
  --unset=PRESET --unset=CTEST_PARALLEL --unset=TEST_FILTER --unset=TEST_EXCLUDE_LABELS --unset=TARGETS --unset=BOARDS
  --unset=KIVU_SIM_BOARDS --unset=KIVU_TEST_BOARD --unset=KIVU_BOARD
  --unset=CTEST_RESOURCE_GROUP_COUNT --unset=CTEST_RESOURCE_GROUP_0 --unset=CTEST_RESOURCE_GROUP_0_BOARDS)
find_program(ccache NAMES ccache)
if(ccache)
  list(APPEND environment
    "CMAKE_CXX_COMPILER_LAUNCHER=${ccache}" "CMAKE_C_COMPILER_LAUNCHER=${ccache}"
    "CCACHE_BASEDIR=${checkout}" CCACHE_NOHASHDIR=1)
endif()

set(filter "^makefile_runs_the_build_folder_of_each_preset$|^hardware_e2e\\.local_h2d_and_d2h_round_trip_works$|^hardware_e2e_slurm$")
execute_process(
  COMMAND "${CMAKE_COMMAND}" -E env ${environment}
          "${MAKE}" -C "${checkout}" test BOARDS=2 "TEST_FILTER=${filter}"
          "TARGETS=kivu-boards hardware_e2e kivu-results hardware_e2e_on_stand_ins"
  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output
  TIMEOUT ${TIMEOUT})
if(NOT status EQUAL 0)
  fail("make test BOARDS=2 in '${checkout}' gives ${status}:\n${output}")
endif()
# The three tests ran, each on its own, and the hardware case on a board of
# the resource file.
if(NOT output MATCHES "100% tests passed, 0 tests failed out of 3\n")
  fail("make test BOARDS=2 in '${checkout}' did not run the three tests:\n${output}")
endif()
finish()
message(STATUS "make test BOARDS=2 passes in '${checkout}'")
