# Golden files: what a command-line tool prints, checked byte for byte.
#
#   kivu_add_golden_tests(<tool target> [DIRECTORY <folder>])
#
# registers one test golden.<tool>.<case> (label unit) for every <case>.cmd in
# <folder> (default: tests/golden beside the calling CMakeLists.txt, so a
# crate's tests/CMakeLists.txt needs only the tool's name). Each runs
# cmake/run_golden_case.sh, which says how a case is written and how paths
# and the version are normalised. `make golden` builds every tool registered
# here (the target kivu_golden_tools) and rewrites the expected files.
add_custom_target(kivu_golden_tools)

function(kivu_add_golden_tests tool)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "DIRECTORY" "")
  if(arg_UNPARSED_ARGUMENTS OR NOT TARGET ${tool})
    message(FATAL_ERROR "kivu_add_golden_tests(<tool target> [DIRECTORY <folder>]): ${tool} ${arg_UNPARSED_ARGUMENTS}")
  endif()
  set(folder "${CMAKE_CURRENT_SOURCE_DIR}/golden")
  if(arg_DIRECTORY)
    get_filename_component(folder "${arg_DIRECTORY}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
  endif()
  find_program(KIVU_BASH NAMES bash REQUIRED)
  add_dependencies(kivu_golden_tools ${tool})
  # A new case is seen at the next build, without a fresh configure.
  file(GLOB cases CONFIGURE_DEPENDS RELATIVE "${folder}" "${folder}/*.cmd")
  file(GLOB expected RELATIVE "${folder}" "${folder}/*.out" "${folder}/*.err" "${folder}/*.status")
  foreach(file IN LISTS expected)
    string(REGEX REPLACE "\\.[a-z]+$" ".cmd" cmd "${file}")
    if(NOT cmd IN_LIST cases)
      message(FATAL_ERROR "${folder}/${file}: an expected file without its case ${cmd}")
    endif()
  endforeach()
  foreach(cmd IN LISTS cases)
    string(REGEX REPLACE "\\.cmd$" "" case "${cmd}")
    add_test(NAME golden.${tool}.${case}
      COMMAND "${KIVU_BASH}" "${PROJECT_SOURCE_DIR}/cmake/run_golden_case.sh" "$<TARGET_FILE_DIR:${tool}>" "${folder}"
              "${case}" "${CMAKE_CURRENT_BINARY_DIR}/golden/${case}" "${PROJECT_BINARY_DIR}" "${PROJECT_SOURCE_DIR}"
              "${PROJECT_VERSION}")
    set_tests_properties(golden.${tool}.${case} PROPERTIES LABELS unit TIMEOUT 30 SKIP_RETURN_CODE 77)
  endforeach()
endfunction()
