# Checks that the table of docs/architecture.md names, for every crate this
# build has, exactly the workspace crates it links, as
# cmake/architecture_links.cmake wrote them to LINKS.
#   cmake -DDOC=docs/architecture.md -DLINKS=<build>/architecture-links.txt -P check_architecture_doc.cmake
file(STRINGS "${LINKS}" built_lines)
file(STRINGS "${DOC}" doc_lines REGEX "^\\| \\[")

set(failures "")
foreach(line IN LISTS built_lines)
  string(REGEX MATCH "^([^:]+): ?(.*)$" _ "${line}")
  set(crate "${CMAKE_MATCH_1}")
  separate_arguments(actual UNIX_COMMAND "${CMAKE_MATCH_2}")
  set(row "")
  foreach(doc_line IN LISTS doc_lines)
    if(doc_line MATCHES "^\\| \\[${crate}\\]")
      set(row "${doc_line}")
    endif()
  endforeach()
  if(row STREQUAL "")
    string(APPEND failures "  ${crate}: no row in the table\n")
    continue()
  endif()
  # The last cell lists what the crate links.
  string(REGEX MATCH "\\|([^|]*)\\|$" _ "${row}")
  string(REGEX MATCHALL "kivu-[a-z-]*[a-z]" documented "${CMAKE_MATCH_1}")
  # kivu-base, under everything, is left out of the link lines.
  list(FILTER documented EXCLUDE REGEX "^kivu-base$")
  list(REMOVE_DUPLICATES documented)
  list(SORT documented)
  list(SORT actual)
  if(NOT "${documented}" STREQUAL "${actual}")
    string(APPEND failures "  ${crate}: the table says \"${documented}\", the build links \"${actual}\"\n")
  endif()
endforeach()

if(NOT failures STREQUAL "")
  message(FATAL_ERROR "docs/architecture.md does not match the link lines:\n${failures}")
endif()
list(LENGTH built_lines count)
message(STATUS "docs/architecture.md lists the links of all ${count} crates of this build")
