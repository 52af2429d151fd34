# kivu_add_library: the one way the workspace declares a library of its own.
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
  add_executable(${program} src/main.cpp)
  target_link_libraries(${program} PRIVATE ${library} kivu_warnings)
endfunction()
