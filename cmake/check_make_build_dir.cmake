# Checks the Makefile and scripts/e2e.sh against CMakePresets.json, without
# building anything:
# - `make e2e PRESET=<name>` runs the suite of the build folder that the
#   preset builds (its binaryDir), for every configure preset;
# - `make test PRESET=<name>` runs ctest with a test preset that exists, for
#   every configure preset that builds tests and every one that
#   docs/development.md offers,
#   and looks it up before building, so that a preset without tests (fuzz)
#   stops at once;
# - `make test BOARDS=N` names its resource file by an absolute path;
# - scripts/e2e.sh fails when the folder holds no suite.
# Paths are shell-quoted in the Makefile's commands, so they are matched with
# their quotes.
#
#   cmake -D SOURCE_DIR=<workspace> -D MAKE=<make> -P check_make_build_dir.cmake
cmake_minimum_required(VERSION 3.25)

# The value of a cache variable in a configure preset, following "inherits"
# (a name or a list of names, the first one that sets it wins); empty if none.
function(preset_cache_variable presets preset variable out)
  string(JSON count LENGTH "${presets}" configurePresets)
  math(EXPR last "${count} - 1")
  foreach(index RANGE ${last})
    string(JSON name GET "${presets}" configurePresets ${index} name)
    if(NOT name STREQUAL preset)
      continue()
    endif()
    string(JSON value ERROR_VARIABLE unset GET "${presets}" configurePresets ${index} cacheVariables ${variable})
    if(NOT unset)
      set(${out} "${value}" PARENT_SCOPE)
      return()
    endif()
    string(JSON parents ERROR_VARIABLE no_parent GET "${presets}" configurePresets ${index} inherits)
    string(JSON kind ERROR_VARIABLE no_parent TYPE "${presets}" configurePresets ${index} inherits)
    if(no_parent)
      break()
    endif()
    if(kind STREQUAL "STRING")
      set(parents "[\"${parents}\"]")
    endif()
    string(JSON parent_count LENGTH "${parents}")
    math(EXPR last_parent "${parent_count} - 1")
    foreach(parent_index RANGE ${last_parent})
      string(JSON parent GET "${parents}" ${parent_index})
      preset_cache_variable("${presets}" "${parent}" "${variable}" value)
      if(NOT value STREQUAL "")
        set(${out} "${value}" PARENT_SCOPE)
        return()
      endif()
    endforeach()
    break()
  endforeach()
  set(${out} "" PARENT_SCOPE)
endfunction()

# The variables of a make that runs this check (make test BOARDS=4 ...),
# which it passes on in MAKEFLAGS and in the environment, must not reach the
# make runs it inspects.
set(make "${CMAKE_COMMAND}" -E env --unset=MAKEFLAGS --unset=MFLAGS --unset=MAKELEVEL
  --unset=PRESET --unset=CTEST_PARALLEL --unset=TEST_FILTER --unset=TEST_EXCLUDE_LABELS --unset=TARGETS --unset=BOARDS "${MAKE}")

file(READ "${SOURCE_DIR}/CMakePresets.json" presets)
string(JSON count LENGTH "${presets}" configurePresets)
math(EXPR last "${count} - 1")
set(with_tests "")
# The test presets as ctest resolves them.
execute_process(COMMAND "${CMAKE_CTEST_COMMAND}" --list-presets WORKING_DIRECTORY "${SOURCE_DIR}"
  RESULT_VARIABLE status OUTPUT_VARIABLE test_presets ERROR_VARIABLE test_presets)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "ctest --list-presets failed (${status}):\n${test_presets}")
endif()
foreach(index RANGE ${last})
  string(JSON name GET "${presets}" configurePresets ${index} name)
  string(JSON binary_dir ERROR_VARIABLE no_binary_dir GET "${presets}" configurePresets ${index} binaryDir)
  if(no_binary_dir)
    message(FATAL_ERROR "preset ${name} has no binaryDir of its own")
  endif()
  string(REPLACE "\${sourceDir}/" "" binary_dir "${binary_dir}")
  execute_process(COMMAND ${make} -s -n -C "${SOURCE_DIR}" e2e "PRESET=${name}"
    RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "make -n e2e PRESET=${name} failed (${status}):\n${output}")
  endif()
  string(FIND "${output}" "scripts/e2e.sh '${binary_dir}'\n" runs_suite)
  if(runs_suite EQUAL -1)
    message(FATAL_ERROR "make e2e PRESET=${name} does not run the suite in ${binary_dir}:\n${output}")
  endif()

  # Every preset that builds tests has a test preset of its name, which
  # `make test` looks up before it builds and then runs; a preset that builds
  # none has no test preset, so that make test stops before its build.
  preset_cache_variable("${presets}" "${name}" KIVU_BUILD_TESTS builds_tests)
  string(FIND "${test_presets}" "\n  \"${name}\"" listed)
  if(builds_tests STREQUAL "" OR builds_tests)
    list(APPEND with_tests "${name}")
    if(listed EQUAL -1)
      message(FATAL_ERROR "preset ${name} builds tests but has no test preset:\n${test_presets}")
    endif()
  elseif(NOT listed EQUAL -1)
    message(FATAL_ERROR "preset ${name} builds no tests but has a test preset")
  endif()
  execute_process(COMMAND ${make} -s -n -C "${SOURCE_DIR}" test "PRESET=${name}"
    RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
  string(FIND "${output}" "ctest --preset '${name}' -N" lookup)
  string(FIND "${output}" "cmake --build --preset '${name}'" build)
  string(FIND "${output}" "\nctest --preset '${name}' -j" run)
  if(NOT status EQUAL 0 OR lookup EQUAL -1 OR build LESS lookup OR run LESS build)
    message(FATAL_ERROR "make test PRESET=${name} does not look up test preset ${name}, build, then run it:\n${output}")
  endif()
endforeach()
message(STATUS "make e2e follows the binaryDir of all ${count} presets; make test runs the test preset of ${with_tests}")

# The presets docs/development.md offers for make test must be among them.
file(READ "${SOURCE_DIR}/docs/development.md" readme)
string(REGEX MATCH "`PRESET=<name>` \\(([a-z, ]+)\\)" offered "${readme}")
if(NOT offered)
  message(FATAL_ERROR "docs/development.md no longer lists the presets of make test as `PRESET=<name>` (...)")
endif()
string(REPLACE ", " ";" offered "${CMAKE_MATCH_1}")
foreach(name IN LISTS offered)
  if(NOT name IN_LIST with_tests)
    message(FATAL_ERROR "docs/development.md offers PRESET=${name}, which has no tests that make test can run")
  endif()
endforeach()

# `make test BOARDS=N` hands ctest a resource file by an absolute path: ctest
# reads it from within the build folder, where a relative one is not found.
# TEST_FILTER and TEST_EXCLUDE_LABELS reach ctest as written, their $ and '
# included.
execute_process(COMMAND ${make} -s -n -C "${SOURCE_DIR}" test BOARDS=4 PRESET=default "TEST_FILTER=^it's$|^b\\.c$"
  "TEST_EXCLUDE_LABELS=^slow$|it's"
  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT status EQUAL 0 OR NOT output MATCHES "--resource-spec-file '/[^']*/target/debug/boards\\.json'")
  message(FATAL_ERROR "make test BOARDS=4 does not give ctest target/debug's resource file by an absolute path:\n${output}")
endif()
string(FIND "${output}" " -R '^it'\\''s$|^b\\.c$' -LE '^slow$|it'\\''s';" filter_given)
if(filter_given EQUAL -1)
  message(FATAL_ERROR "make test TEST_FILTER=... TEST_EXCLUDE_LABELS=... does not give ctest the expressions as written:\n${output}")
endif()

# A $( in TEST_FILTER or TARGETS is theirs too: make neither runs a function
# it spells (make -n still runs the sub-make, whose environment make would
# build from the expanded values) nor stops at an unterminated one.
set(marker "${SOURCE_DIR}/target/make-filter-ran-a-command")
file(REMOVE "${marker}")
set(filter "^x$(shell touch '${marker}')|(a|b$(c")
execute_process(COMMAND ${make} -s -n -C "${SOURCE_DIR}" test BOARDS=4 PRESET=default "TEST_FILTER=${filter}"
  "TARGETS=a$(shell touch '${marker}') b$(c"
  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
string(REPLACE "'" "'\\''" quoted_filter "${filter}")
string(FIND "${output}" " -R '${quoted_filter}';" filter_given)
if(NOT status EQUAL 0 OR EXISTS "${marker}" OR filter_given EQUAL -1
   OR NOT output MATCHES "--target 'a\\$\\(shell' 'touch' ")
  file(REMOVE "${marker}")
  message(FATAL_ERROR "make test with $( in TEST_FILTER and TARGETS does not take them as written (status ${status}):\n${output}")
endif()

# scripts/e2e.sh on a folder without the suite fails and names what is missing.
set(no_suite "${SOURCE_DIR}/target/no suite here/ü")
execute_process(COMMAND sh "${SOURCE_DIR}/scripts/e2e.sh" "${no_suite}"
  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
string(FIND "${output}" "${no_suite}/hardware_e2e is not built" named)
if(status EQUAL 0 OR named EQUAL -1)
  message(FATAL_ERROR "scripts/e2e.sh without a suite gives ${status}:\n${output}")
endif()
