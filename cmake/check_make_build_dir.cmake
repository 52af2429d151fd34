# Checks that `make e2e PRESET=<name>` runs the suite of the build folder that
# the preset builds (its binaryDir in CMakePresets.json), for every
# configure preset, and how `make test BOARDS=N` names its resource file. Uses `make -n`, so nothing is built or run.
#
#   cmake -D SOURCE_DIR=<workspace> -D MAKE=<make> -P check_make_build_dir.cmake
file(READ "${SOURCE_DIR}/CMakePresets.json" presets)
string(JSON count LENGTH "${presets}" configurePresets)
math(EXPR last "${count} - 1")
foreach(index RANGE ${last})
  string(JSON name GET "${presets}" configurePresets ${index} name)
  string(JSON binary_dir ERROR_VARIABLE no_binary_dir GET "${presets}" configurePresets ${index} binaryDir)
  if(no_binary_dir)
    message(FATAL_ERROR "preset ${name} has no binaryDir of its own")
  endif()
  string(REPLACE "\${sourceDir}/" "" binary_dir "${binary_dir}")
  execute_process(COMMAND "${MAKE}" -s -n -C "${SOURCE_DIR}" e2e "PRESET=${name}"
    RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "make -n e2e PRESET=${name} failed (${status}):\n${output}")
  endif()
  if(NOT output MATCHES "scripts/e2e.sh ${binary_dir}\n")
    message(FATAL_ERROR "make e2e PRESET=${name} does not run the suite in ${binary_dir}:\n${output}")
  endif()
endforeach()
message(STATUS "make e2e follows the binaryDir of all ${count} presets")

# `make test BOARDS=N` hands ctest a resource file by an absolute path: ctest
# reads it from within the build folder, where a relative one is not found.
execute_process(COMMAND "${MAKE}" -s -n -C "${SOURCE_DIR}" test BOARDS=4 PRESET=default
  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT status EQUAL 0 OR NOT output MATCHES "--resource-spec-file /[^ ]*/target/debug/boards.json")
  message(FATAL_ERROR "make test BOARDS=4 does not give ctest target/debug's resource file by an absolute path:\n${output}")
endif()
