# kivu_crate: declares that the calling CMakeLists.txt's folder, and every
# folder below it, is one crate of the workspace, and the crate's layer.
#
#   kivu_crate(<layer> [NAME <name>])
#
# The crate is named after its folder under crates/ unless NAME says
# otherwise (the suite, crates/kivu-runtime/tests/hardware_e2e, is a crate of
# its own inside the board's folder). The layers, from the bottom up:
#   base          header-only, under everything (error passing, debug forms)
#   libraries     the libraries the board, the runners and the tools share
#   board         the simulated board
#   runners       the runner programs that run on the board
#   programs      the suite and the tools
#   tests-only    what only tests link
# A crate links only crates of lower layers, except that libraries build on
# other libraries (never in a circle); a test (a target in a tests/ folder of
# its crate, or one that links the GoogleTest main or kivu-test-support)
# sits above them all.
# cmake/architecture_links.cmake reads what these declarations record and
# the test architecture_has_layers_and_direct_links checks it.
set(KIVU_CRATE_LAYERS base libraries board runners programs tests-only)
define_property(DIRECTORY PROPERTY KIVU_CRATE INHERITED
  BRIEF_DOCS "The workspace crate that this folder belongs to"
  FULL_DOCS "Set by kivu_crate() and inherited by the folders below it.")
define_property(TARGET PROPERTY KIVU_CRATE
  BRIEF_DOCS "The workspace crate that owns the target"
  FULL_DOCS "Set by kivu_add_library() and kivu_add_tool(), and for other targets by cmake/architecture_links.cmake.")
define_property(TARGET PROPERTY KIVU_ROLE
  BRIEF_DOCS "library, tool, program or test"
  FULL_DOCS "How the workspace declared the target.")
define_property(TARGET PROPERTY KIVU_INCLUDE_DIR
  BRIEF_DOCS "The folder of the target's public headers"
  FULL_DOCS "The headers that other crates include from it.")

function(kivu_crate layer)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "NAME" "")
  if(arg_UNPARSED_ARGUMENTS OR NOT layer IN_LIST KIVU_CRATE_LAYERS)
    message(FATAL_ERROR "kivu_crate(<layer> [NAME <name>]): the layer is one of ${KIVU_CRATE_LAYERS}")
  endif()
  if(arg_NAME)
    set(crate "${arg_NAME}")
  else()
    cmake_path(RELATIVE_PATH CMAKE_CURRENT_SOURCE_DIR BASE_DIRECTORY "${kivu_SOURCE_DIR}/crates" OUTPUT_VARIABLE crate)
    if(crate MATCHES "^\\.\\./|/" OR crate STREQUAL "")
      message(FATAL_ERROR "kivu_crate(${layer}) outside a folder of crates/ needs a NAME")
    endif()
  endif()
  get_property(known GLOBAL PROPERTY KIVU_CRATES)
  if(crate IN_LIST known)
    message(FATAL_ERROR "kivu_crate: the crate ${crate} is declared twice")
  endif()
  set_property(DIRECTORY PROPERTY KIVU_CRATE "${crate}")
  set_property(GLOBAL APPEND PROPERTY KIVU_CRATES "${crate}")
  set_property(GLOBAL PROPERTY KIVU_CRATE_LAYER_${crate} "${layer}")
  set_property(GLOBAL PROPERTY KIVU_CRATE_DIR_${crate} "${CMAKE_CURRENT_SOURCE_DIR}")
endfunction()

# The crate of the calling folder, recorded on <target> with its role.
function(kivu_record_crate target role include_dir)
  get_property(crate DIRECTORY PROPERTY KIVU_CRATE)
  if(NOT crate)
    message(FATAL_ERROR "${target}: ${CMAKE_CURRENT_SOURCE_DIR} is in no crate; its crate's CMakeLists.txt calls kivu_crate()")
  endif()
  set_target_properties(${target} PROPERTIES KIVU_CRATE "${crate}" KIVU_ROLE "${role}" KIVU_INCLUDE_DIR "${include_dir}")
  set_property(GLOBAL APPEND PROPERTY KIVU_DECLARED_TARGETS ${target})
endfunction()

# kivu_add_library: the one way the workspace declares a library of its own.
# It records the library's crate (the kivu_crate() of its folder) and its
# header folder for the architecture check.
#
#   kivu_add_library(<target> <export name> [STATIC | INTERFACE]
#                    [INCLUDE_DIR <dir>] [SOURCES <file>...])
#
# makes the library <target> (STATIC or INTERFACE when given, otherwise the
# kind BUILD_SHARED_LIBS picks) from SOURCES, and gives it
#   - the alias kivu::<export name>, by which the workspace links it, and the
#     same name in an installed package (EXPORT_NAME), so that a project
#     links the same target whether it added the workspace or installed it;
#   - its public headers from INCLUDE_DIR (by default the crate's include/
#     folder; a relative one is taken from the calling CMakeLists.txt's
#     folder) while building, and from the installed header folder
#     (KIVU_INSTALL_INCLUDEDIR) once installed; a library that is not
#     installed never uses the latter;
#   - C++23 for itself and for what links it.
# What the library links, and whether it is installed (cmake/install.cmake),
# its own CMakeLists.txt says.
#
#   kivu_add_library(kivu_exchange exchange SOURCES src/lib.cpp)
#   target_link_libraries(kivu_exchange PRIVATE $<BUILD_INTERFACE:kivu_warnings>)
function(kivu_add_library target export_name)
  cmake_parse_arguments(PARSE_ARGV 2 arg "STATIC;INTERFACE" "INCLUDE_DIR" "SOURCES")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "kivu_add_library(${target}): unknown arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(arg_STATIC AND arg_INTERFACE)
    message(FATAL_ERROR "kivu_add_library(${target}): STATIC or INTERFACE, not both")
  endif()
  if(NOT arg_INCLUDE_DIR)
    set(arg_INCLUDE_DIR include)
  endif()
  cmake_path(ABSOLUTE_PATH arg_INCLUDE_DIR BASE_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}" NORMALIZE)

  if(arg_INTERFACE)
    if(arg_SOURCES)
      message(FATAL_ERROR "kivu_add_library(${target}): an INTERFACE library has no SOURCES")
    endif()
    add_library(${target} INTERFACE)
    set(scope INTERFACE)
  else()
    if(NOT arg_SOURCES)
      message(FATAL_ERROR "kivu_add_library(${target}): no SOURCES")
    endif()
    if(arg_STATIC)
      add_library(${target} STATIC ${arg_SOURCES})
    else()
      add_library(${target} ${arg_SOURCES})
    endif()
    set(scope PUBLIC)
  endif()
  add_library(kivu::${export_name} ALIAS ${target})
  set_target_properties(${target} PROPERTIES EXPORT_NAME ${export_name})
  target_include_directories(${target} ${scope}
    "$<BUILD_INTERFACE:${arg_INCLUDE_DIR}>"
    "$<INSTALL_INTERFACE:${KIVU_INSTALL_INCLUDEDIR}>")
  target_compile_features(${target} ${scope} cxx_std_23)
  kivu_record_crate(${target} library "${arg_INCLUDE_DIR}")
endfunction()

# kivu_add_tool: the one way the workspace declares a command-line tool.
#
#   kivu_add_tool(<program> SOURCES <file>... [PUBLIC <lib>...] [PRIVATE <lib>...])
#
# puts the tool's work in the static library <program>_tool with - as _
# (kivu-boards: kivu_boards_tool), built from SOURCES with the crate's src/
# folder as its headers and linked as PUBLIC and PRIVATE say, so that the
# tests call it directly; and makes the program <program> from src/main.cpp,
# which only hands the library the command line.
function(kivu_add_tool program)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;PUBLIC;PRIVATE")
  if(arg_UNPARSED_ARGUMENTS OR NOT arg_SOURCES)
    message(FATAL_ERROR "kivu_add_tool(${program}): SOURCES ... [PUBLIC ...] [PRIVATE ...]")
  endif()
  string(REPLACE "-" "_" library "${program}_tool")
  add_library(${library} STATIC ${arg_SOURCES})
  target_include_directories(${library} PUBLIC "$<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/src>")
  target_compile_features(${library} PUBLIC cxx_std_23)
  target_link_libraries(${library} PUBLIC ${arg_PUBLIC} PRIVATE ${arg_PRIVATE} kivu_warnings)
  # Every tool's main() runs its work inside kivu-cli's frame.
  add_executable(${program} src/main.cpp)
  target_link_libraries(${program} PRIVATE ${library} kivu::cli kivu_warnings)
  kivu_record_crate(${library} tool "${CMAKE_CURRENT_SOURCE_DIR}/src")
  kivu_record_crate(${program} tool "")
endfunction()
