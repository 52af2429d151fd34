# Install rules: the public headers, the libraries kivu_exchange and
# kivu_package (with the profile schema library, the output-file library
# kivu_output_file and the base library kivu_base that they need), the tools, and the CMake package that
# find_package(kivu CONFIG) reads:
#
#   find_package(kivu CONFIG REQUIRED)
#   target_link_libraries(app PRIVATE kivu::exchange kivu::package)
#   target_link_libraries(app PRIVATE kivu::output_file)  # files written atomically
#
# The package finds Cap'n Proto for its user. The generated profile.capnp.h
# and profile.capnp are installed by crates/kivu-package/CMakeLists.txt.
include(CMakePackageConfigHelpers)

set(KIVU_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/kivu")

install(TARGETS kivu_base kivu_exchange kivu_package kivu_package_schema kivu_output_file
  EXPORT kivu-targets
  ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}"
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}"
  RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
install(DIRECTORY
    "${PROJECT_SOURCE_DIR}/crates/kivu-base/include/"
    "${PROJECT_SOURCE_DIR}/crates/kivu-exchange/include/"
    "${PROJECT_SOURCE_DIR}/crates/kivu-package/include/"
    "${PROJECT_SOURCE_DIR}/crates/kivu-output-file/include/"
  DESTINATION "${KIVU_INSTALL_INCLUDEDIR}"
  FILES_MATCHING PATTERN "*.hpp")

foreach(tool IN ITEMS kivu-profile kivu-boards)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
  endif()
endforeach()

install(EXPORT kivu-targets
  NAMESPACE kivu::
  FILE kivuTargets.cmake
  DESTINATION "${KIVU_INSTALL_CMAKEDIR}")
configure_package_config_file(
  "${CMAKE_CURRENT_LIST_DIR}/kivuConfig.cmake.in"
  "${PROJECT_BINARY_DIR}/kivuConfig.cmake"
  INSTALL_DESTINATION "${KIVU_INSTALL_CMAKEDIR}")
# 0.x releases may change the interface between minor versions.
write_basic_package_version_file("${PROJECT_BINARY_DIR}/kivuConfigVersion.cmake"
  COMPATIBILITY SameMinorVersion)
install(FILES "${PROJECT_BINARY_DIR}/kivuConfig.cmake" "${PROJECT_BINARY_DIR}/kivuConfigVersion.cmake"
  DESTINATION "${KIVU_INSTALL_CMAKEDIR}")
