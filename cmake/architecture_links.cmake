# Writes what the build knows of its own architecture, once every target
# exists (included at the end of the top-level CMakeLists.txt):
#
#   ${PROJECT_BINARY_DIR}/architecture.cmake
#       every target of a crate (kivu_crate() in cmake/kivu_library.cmake):
#       its crate, its role (library and tool as kivu_add_library() and
#       kivu_add_tool() recorded them, program, test, or undeclared for a
#       library made some other way), its sources, its header folder and
#       the workspace targets it links directly; and each crate's layer.
#       The test architecture_has_layers_and_direct_links
#       (cmake/check_architecture.cmake) reads it.
#   ${PROJECT_BINARY_DIR}/architecture-links.txt
#       which crates each crate's targets (its tests left out) link, one
#       line per crate ("kivu-boards: kivu-cli kivu-exchange kivu-host
#       kivu-output-file"); the header-only crates of the base layer, under
#       everything, are named on a first "# base:" line and left out of the
#       others. The test architecture_doc_lists_each_crates_links
#       (cmake/check_architecture_doc.cmake) compares it with the table of
#       docs/architecture.md.
#
# Nothing here lists targets or crates: a target belongs to the crate whose
# folder defined it, and a folder outside every crate (the top level,
# bench/, fuzz/) is left out.

# Every folder of the workspace, depth first.
function(kivu_arch_folders folder result)
  set(found "${folder}")
  get_property(below DIRECTORY "${folder}" PROPERTY SUBDIRECTORIES)
  foreach(sub IN LISTS below)
    kivu_arch_folders("${sub}" sub_found)
    list(APPEND found ${sub_found})
  endforeach()
  set(${result} "${found}" PARENT_SCOPE)
endfunction()

# `item` of a link line as a target name: $<BUILD_INTERFACE:x> and
# $<LINK_ONLY:x> name x, an alias names its target; "" for anything else.
function(kivu_arch_link_target item result)
  string(REGEX REPLACE "^\\$<[A-Z_]+:(.*)>$" "\\1" item "${item}")
  set(name "")
  if(TARGET "${item}")
    get_target_property(aliased "${item}" ALIASED_TARGET)
    if(aliased)
      set(name "${aliased}")
    else()
      set(name "${item}")
    endif()
  endif()
  set(${result} "${name}" PARENT_SCOPE)
endfunction()

kivu_arch_folders("${kivu_SOURCE_DIR}" kivu_arch_all_folders)
set(kivu_arch_targets "")
foreach(folder IN LISTS kivu_arch_all_folders)
  get_property(crate DIRECTORY "${folder}" PROPERTY KIVU_CRATE)
  if(NOT crate)
    continue()
  endif()
  get_property(targets DIRECTORY "${folder}" PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(NOT type MATCHES "^(EXECUTABLE|STATIC_LIBRARY|SHARED_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY|INTERFACE_LIBRARY)$")
      continue()
    endif()
    list(APPEND kivu_arch_targets ${target})
    set(kivu_arch_crate_of_${target} "${crate}")
  endforeach()
endforeach()

set(kivu_arch_data "# Written by cmake/architecture_links.cmake; read by cmake/check_architecture.cmake.\n")
get_property(kivu_arch_crates GLOBAL PROPERTY KIVU_CRATES)
string(APPEND kivu_arch_data "set(crates \"${kivu_arch_crates}\")\nset(layers \"${KIVU_CRATE_LAYERS}\")\n")
foreach(crate IN LISTS kivu_arch_crates)
  get_property(layer GLOBAL PROPERTY KIVU_CRATE_LAYER_${crate})
  set(kivu_arch_links_of_${crate} "")
  string(APPEND kivu_arch_data "set(crate_${crate}_layer \"${layer}\")\n")
endforeach()
string(APPEND kivu_arch_data "set(targets \"${kivu_arch_targets}\")\n")

foreach(target IN LISTS kivu_arch_targets)
  set(crate "${kivu_arch_crate_of_${target}}")
  get_property(crate_dir GLOBAL PROPERTY KIVU_CRATE_DIR_${crate})
  get_target_property(type ${target} TYPE)
  get_target_property(source_dir ${target} SOURCE_DIR)
  get_target_property(role ${target} KIVU_ROLE)
  get_target_property(include_dir ${target} KIVU_INCLUDE_DIR)
  if(NOT include_dir)
    set(include_dir "")
  endif()

  set(links "")
  get_target_property(direct ${target} LINK_LIBRARIES)
  get_target_property(interface ${target} INTERFACE_LINK_LIBRARIES)
  foreach(item IN LISTS direct interface)
    kivu_arch_link_target("${item}" linked)
    if(linked AND DEFINED kivu_arch_crate_of_${linked})
      list(APPEND links "${linked}")
    endif()
  endforeach()
  list(REMOVE_DUPLICATES links)

  # A test: a target in a tests/ folder of its crate, or one that links the
  # GoogleTest main or the tests' support directly.
  cmake_path(RELATIVE_PATH source_dir BASE_DIRECTORY "${crate_dir}" OUTPUT_VARIABLE below_crate)
  set(links_test_main FALSE)
  foreach(item IN LISTS direct)
    kivu_arch_link_target("${item}" linked)
    if(linked MATCHES "^(GTest::gtest_main|GTest::gmock_main|kivu_test_support)$" OR item MATCHES "^GTest::g(test|mock)_main$")
      set(links_test_main TRUE)
    endif()
  endforeach()
  if(below_crate MATCHES "^tests(/|$)" OR links_test_main)
    set(role test)
  elseif(NOT role)
    if(type STREQUAL "EXECUTABLE")
      set(role program)
    else()
      set(role undeclared)
    endif()
  endif()

  set(sources "")
  get_target_property(listed ${target} SOURCES)
  if(listed)
    foreach(source IN LISTS listed)
      if(source MATCHES "^\\$<")
        continue()
      endif()
      cmake_path(ABSOLUTE_PATH source BASE_DIRECTORY "${source_dir}" NORMALIZE)
      list(APPEND sources "${source}")
    endforeach()
  endif()

  string(APPEND kivu_arch_data
    "set(target_${target}_crate \"${crate}\")\n"
    "set(target_${target}_role \"${role}\")\n"
    "set(target_${target}_include_dir \"${include_dir}\")\n"
    "set(target_${target}_links \"${links}\")\n"
    "set(target_${target}_sources \"${sources}\")\n")

  if(NOT role STREQUAL "test")
    foreach(linked IN LISTS links)
      set(owner "${kivu_arch_crate_of_${linked}}")
      if(NOT owner STREQUAL crate)
        list(APPEND kivu_arch_links_of_${crate} "${owner}")
      endif()
    endforeach()
  endif()
endforeach()
file(WRITE "${PROJECT_BINARY_DIR}/architecture.cmake" "${kivu_arch_data}")

# The link table, the base layer apart.
set(kivu_arch_base "")
foreach(crate IN LISTS kivu_arch_crates)
  get_property(layer GLOBAL PROPERTY KIVU_CRATE_LAYER_${crate})
  if(layer STREQUAL "base")
    list(APPEND kivu_arch_base "${crate}")
  endif()
endforeach()
list(SORT kivu_arch_base)
list(JOIN kivu_arch_base " " kivu_arch_text)
set(kivu_arch_text "# base: ${kivu_arch_text}\n")
foreach(crate IN LISTS kivu_arch_crates)
  set(links "${kivu_arch_links_of_${crate}}")
  if(links)
    list(REMOVE_ITEM links ${kivu_arch_base})
  endif()
  list(REMOVE_DUPLICATES links)
  list(SORT links)
  list(JOIN links " " links)
  string(APPEND kivu_arch_text "${crate}: ${links}\n")
endforeach()
file(WRITE "${PROJECT_BINARY_DIR}/architecture-links.txt" "${kivu_arch_text}")
