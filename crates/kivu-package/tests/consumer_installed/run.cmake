# Installs the built workspace into a fresh prefix, then configures, builds
# and runs the consumer project against that prefix alone.
#
#   cmake -D KIVU_BUILD_DIR=... -D PREFIX=... -D CONSUMER_SOURCE=... -D CONSUMER_BUILD=...
#         -D GENERATOR=... -D BUILD_TYPE=... -D CXX_COMPILER=... -D CXX_FLAGS=... -D LINKER_FLAGS=...
#         -D TOOLS=kivu-profile,kivu-boards
#         [-D DEB_DIR=... -D VERSION=... -D CPACK=...]
#         -P run.cmake
#
# With DEB_DIR the install is the Debian package instead: `cpack -G DEB` of
# the build folder writes kivu_<VERSION>_<arch>.deb into DEB_DIR, whose
# listing and fields are checked, and `dpkg -x` unpacks it into DEB_DIR/root;
# PREFIX is then DEB_DIR/root/usr.
cmake_minimum_required(VERSION 3.25)

function(run_step what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${what} failed (${status}):\n${output}")
  endif()
  set(step_output "${output}" PARENT_SCOPE)
endfunction()

if(DEB_DIR)
  file(REMOVE_RECURSE "${DEB_DIR}" "${CONSUMER_BUILD}")
  set(PREFIX "${DEB_DIR}/root/usr")
  run_step("packing" "${CPACK}" -G DEB --config "${KIVU_BUILD_DIR}/CPackConfig.cmake" -B "${DEB_DIR}")
  run_step("asking dpkg the architecture" dpkg --print-architecture)
  string(STRIP "${step_output}" arch)
  set(deb "${DEB_DIR}/kivu_${VERSION}_${arch}.deb")
  if(NOT EXISTS "${deb}")
    file(GLOB made "${DEB_DIR}/*.deb")
    message(FATAL_ERROR "cpack made no ${deb} (but: ${made})")
  endif()

  # Everything lies under /usr, and only the installed parts are there: the
  # tools, the libraries, the headers, the CMake package.
  run_step("listing the package" dpkg-deb -c "${deb}")
  string(REGEX MATCHALL "\\./[^ \n]*" listed "${step_output}")
  foreach(path IN LISTS listed)
    if(NOT path MATCHES "^\\./(usr/((bin|include|lib)/.*)?)?$")
      message(FATAL_ERROR "the package holds ${path}, outside the installed layout:\n${step_output}")
    endif()
  endforeach()
  foreach(expected IN ITEMS usr/lib/libkivu_exchange.a usr/lib/libkivu_package.a usr/lib/libkivu_package_schema.a
                            usr/lib/libkivu_output_file.a usr/lib/libkivu_base.a
                            usr/include/kivu/kivu_exchange.hpp usr/lib/cmake/kivu/kivuConfig.cmake)
    if(NOT "./${expected}" IN_LIST listed)
      message(FATAL_ERROR "dpkg-deb -c does not list ./${expected}:\n${step_output}")
    endif()
  endforeach()
  string(REPLACE "," ";" tools "${TOOLS}")
  foreach(tool IN LISTS tools)
    if(tool AND NOT "./usr/bin/${tool}" IN_LIST listed)
      message(FATAL_ERROR "dpkg-deb -c does not list ./usr/bin/${tool}:\n${step_output}")
    endif()
  endforeach()

  # Depends: the C++ run time and Cap'n Proto's library that the tools link
  # against (from dpkg-shlibdeps), and what the CMake package needs.
  run_step("reading the package's fields" dpkg-deb -f "${deb}" Package Version Architecture Depends)
  foreach(field IN ITEMS "Package: kivu\n" "Version: ${VERSION}\n" "Architecture: ${arch}\n"
                         "libc6 " "libstdc\\+\\+6 " "libcapnp-0\\.9" "libcapnp-dev " "capnproto ")
    if(NOT step_output MATCHES "${field}")
      message(FATAL_ERROR "the package's fields lack \"${field}\":\n${step_output}")
    endif()
  endforeach()

  run_step("unpacking the package" dpkg -x "${deb}" "${DEB_DIR}/root")
else()
  file(REMOVE_RECURSE "${PREFIX}" "${CONSUMER_BUILD}")
  run_step("installing" "${CMAKE_COMMAND}" --install "${KIVU_BUILD_DIR}" --prefix "${PREFIX}" --config "${BUILD_TYPE}")
endif()

foreach(installed IN ITEMS
    include/kivu/kivu_exchange.hpp include/kivu/kivu_package.hpp include/kivu/kivu_package/capnp_reader_options.hpp
    include/kivu/kivu_output_file/output_file.hpp include/kivu/kivu_output_file/output_error.hpp
    include/kivu/profile.capnp.h include/kivu/profile.capnp
    lib/cmake/kivu/kivuConfig.cmake lib/cmake/kivu/kivuConfigVersion.cmake lib/cmake/kivu/kivuTargets.cmake)
  if(NOT EXISTS "${PREFIX}/${installed}")
    message(FATAL_ERROR "not installed: ${installed}")
  endif()
endforeach()

# The tools this build made, comma-separated.
string(REPLACE "," ";" tools "${TOOLS}")
foreach(tool IN LISTS tools)
  if(tool AND NOT EXISTS "${PREFIX}/bin/${tool}")
    message(FATAL_ERROR "not installed: bin/${tool}")
  endif()
endforeach()

# Only the prefix is searched: the workspace's build folder must not be needed.
run_step("configuring the consumer" "${CMAKE_COMMAND}" -S "${CONSUMER_SOURCE}" -B "${CONSUMER_BUILD}"
  -G "${GENERATOR}" "-DCMAKE_PREFIX_PATH=${PREFIX}" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
  "-DCMAKE_BUILD_TYPE=${BUILD_TYPE}" "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}"
  "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${LINKER_FLAGS}")
run_step("building the consumer" "${CMAKE_COMMAND}" --build "${CONSUMER_BUILD}")
run_step("running the consumer" "${CONSUMER_BUILD}/kivu_installed_consumer")
