# Checks the workspace's architecture as the build recorded it
# (cmake/architecture_links.cmake wrote DATA at configure time):
#   - every library of a crate is declared with kivu_add_library (or is a
#     tool's library, kivu_add_tool);
#   - a target that includes a header of another crate links that crate
#     itself, not through someone else's PUBLIC link. The includes are read
#     from the target's sources and, following quoted includes, from its own
#     headers; a header belongs to the crate whose library has it under its
#     header folder;
#   - every link points down: a crate links only crates of lower layers
#     (kivu_crate() in cmake/kivu_library.cmake), except that libraries
#     build on libraries, and a test sits above all crates;
#   - no link goes round in a circle, between targets or between crates.
#   cmake -DDATA=<build>/architecture.cmake -P check_architecture.cmake
cmake_minimum_required(VERSION 3.25)
include("${DATA}")

set(failures "")

# The place of each crate's layer, from 0 (base) up; tests above them all.
list(LENGTH layers test_layer)
foreach(crate IN LISTS crates)
  list(FIND layers "${crate_${crate}_layer}" crate_${crate}_rank)
endforeach()
foreach(target IN LISTS targets)
  if(target_${target}_role STREQUAL "test")
    set(target_${target}_rank ${test_layer})
    set(target_${target}_layer "test")
  else()
    set(target_${target}_rank ${crate_${target_${target}_crate}_rank})
    set(target_${target}_layer "${crate_${target_${target}_crate}_layer}")
  endif()
endforeach()

# =============================================================================
# Libraries declared through kivu_add_library

foreach(target IN LISTS targets)
  if(target_${target}_role STREQUAL "undeclared")
    string(APPEND failures
      "  ${target} (${target_${target}_crate}) is a library not declared with kivu_add_library\n")
  endif()
endforeach()

# =============================================================================
# Includes reach only crates linked directly

# Header folders of the libraries, with their crates.
set(header_folders "")
foreach(target IN LISTS targets)
  if(NOT target_${target}_include_dir STREQUAL "")
    list(APPEND header_folders "${target_${target}_include_dir}")
    set("folder_crate_${target_${target}_include_dir}" "${target_${target}_crate}")
  endif()
endforeach()
list(REMOVE_DUPLICATES header_folders)

# The includes of `file` as "q:name" (quoted) or "a:name" (angle brackets),
# read once per file.
function(includes_of file result)
  string(MD5 key "${file}")
  get_property(known GLOBAL PROPERTY includes_${key} SET)
  if(NOT known)
    file(STRINGS "${file}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
    set(found "")
    foreach(line IN LISTS lines)
      if(line MATCHES "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\"")
        list(APPEND found "q:${CMAKE_MATCH_1}")
      elseif(line MATCHES "^[ \t]*#[ \t]*include[ \t]*<([^>]+)>")
        list(APPEND found "a:${CMAKE_MATCH_1}")
      endif()
    endforeach()
    set_property(GLOBAL PROPERTY includes_${key} "${found}")
  endif()
  get_property(found GLOBAL PROPERTY includes_${key})
  set(${result} "${found}" PARENT_SCOPE)
endfunction()

foreach(target IN LISTS targets)
  set(crate "${target_${target}_crate}")
  set(own_folder "${target_${target}_include_dir}")
  set(linked_crates "")
  foreach(linked IN LISTS target_${target}_links)
    list(APPEND linked_crates "${target_${linked}_crate}")
  endforeach()

  set(pending "")
  foreach(source IN LISTS target_${target}_sources)
    if(source MATCHES "\\.(c|cc|cpp|cxx|h|hh|hpp)$" AND EXISTS "${source}")
      list(APPEND pending "${source}")
    endif()
  endforeach()
  # A header-only library has only its headers.
  if(NOT pending AND NOT own_folder STREQUAL "" AND IS_DIRECTORY "${own_folder}")
    file(GLOB_RECURSE pending "${own_folder}/*.hpp" "${own_folder}/*.h")
  endif()
  set(seen "")
  while(pending)
    list(POP_FRONT pending file)
    if(file IN_LIST seen)
      continue()
    endif()
    list(APPEND seen "${file}")
    cmake_path(GET file PARENT_PATH here)
    includes_of("${file}" included)
    foreach(entry IN LISTS included)
      string(SUBSTRING "${entry}" 2 -1 name)
      # A quoted include is looked for beside the including file first: a
      # file of the target's own, read in turn, unless it is another
      # library's header, which that library's own check reads.
      set(beside "")
      if(entry MATCHES "^q:" AND EXISTS "${here}/${name}" AND NOT IS_DIRECTORY "${here}/${name}")
        cmake_path(ABSOLUTE_PATH name BASE_DIRECTORY "${here}" NORMALIZE OUTPUT_VARIABLE beside)
      endif()
      set(owners "")
      set(in_own_folder FALSE)
      foreach(folder IN LISTS header_folders)
        set(header "${folder}/${name}")
        cmake_path(NORMAL_PATH header)
        if(EXISTS "${header}" AND NOT IS_DIRECTORY "${header}" AND (beside STREQUAL "" OR beside STREQUAL header))
          list(APPEND owners "${folder_crate_${folder}}")
          if(folder STREQUAL own_folder)
            set(in_own_folder TRUE)
            list(APPEND pending "${header}")
          endif()
        endif()
      endforeach()
      if(NOT beside STREQUAL "" AND NOT owners)
        list(APPEND pending "${beside}")
        continue()
      endif()
      if(NOT owners OR in_own_folder OR crate IN_LIST owners)
        continue()
      endif()
      set(reached FALSE)
      foreach(owner IN LISTS owners)
        if(owner IN_LIST linked_crates)
          set(reached TRUE)
        endif()
      endforeach()
      if(NOT reached)
        list(GET owners 0 owner)
        cmake_path(RELATIVE_PATH file BASE_DIRECTORY "${SOURCE_DIR}" OUTPUT_VARIABLE shown)
        string(APPEND failures
          "  ${target} (${crate}) includes ${name} of ${owner} (${shown}) but does not link ${owner}\n")
      endif()
    endforeach()
  endwhile()
endforeach()

# =============================================================================
# Links point down

foreach(target IN LISTS targets)
  set(crate "${target_${target}_crate}")
  foreach(linked IN LISTS target_${target}_links)
    set(other "${target_${linked}_crate}")
    if(other STREQUAL crate)
      continue()
    endif()
    # Libraries build on each other within their layer; the circle check
    # keeps them in order.
    if(target_${target}_layer STREQUAL "libraries" AND crate_${other}_layer STREQUAL "libraries")
      continue()
    endif()
    if(NOT crate_${other}_rank LESS target_${target}_rank)
      string(APPEND failures
        "  ${target} (${crate}, ${target_${target}_layer}) links ${linked} (${other}, ${crate_${other}_layer}),"
        " which is not below it\n")
    endif()
  endforeach()
endforeach()

# =============================================================================
# No circles

# Reports a circle among `nodes`, whose edges are in the variables
# <prefix><node>, if there is one: what is left once every node that reaches
# no other node left is taken away, over and over, lies on or leads into a
# circle; walking from one of them finds the circle.
function(report_circle kind nodes prefix)
  set(left "${nodes}")
  set(changed TRUE)
  while(changed)
    set(changed FALSE)
    set(kept "")
    foreach(node IN LISTS left)
      set(reaches FALSE)
      foreach(next IN LISTS ${prefix}${node})
        if(next IN_LIST left)
          set(reaches TRUE)
        endif()
      endforeach()
      if(reaches)
        list(APPEND kept "${node}")
      else()
        set(changed TRUE)
      endif()
    endforeach()
    set(left "${kept}")
  endwhile()
  if(NOT left)
    return()
  endif()
  list(GET left 0 node)
  set(path "")
  while(NOT node IN_LIST path)
    list(APPEND path "${node}")
    foreach(next IN LISTS ${prefix}${node})
      if(next IN_LIST left)
        set(node "${next}")
        break()
      endif()
    endforeach()
  endwhile()
  list(FIND path "${node}" start)
  list(SUBLIST path ${start} -1 circle)
  list(APPEND circle "${node}")
  list(JOIN circle " -> " circle)
  set(failures "${failures}  a circle of ${kind}: ${circle}\n" PARENT_SCOPE)
endfunction()

foreach(crate IN LISTS crates)
  set(crate_links_${crate} "")
endforeach()
foreach(target IN LISTS targets)
  set(edges_${target} "${target_${target}_links}")
  if(NOT target_${target}_role STREQUAL "test")
    set(crate "${target_${target}_crate}")
    foreach(linked IN LISTS target_${target}_links)
      if(NOT target_${linked}_crate STREQUAL crate)
        list(APPEND crate_links_${crate} "${target_${linked}_crate}")
      endif()
    endforeach()
  endif()
endforeach()
report_circle(targets "${targets}" edges_)
report_circle(crates "${crates}" crate_links_)

if(NOT failures STREQUAL "")
  message(FATAL_ERROR "The architecture does not hold:\n${failures}")
endif()
list(LENGTH targets target_count)
list(LENGTH crates crate_count)
message(STATUS "${target_count} targets of ${crate_count} crates: every include reaches a crate linked directly,"
  " every link points down, no circle")
