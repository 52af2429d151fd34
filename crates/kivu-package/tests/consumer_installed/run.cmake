# Installs the built workspace into a fresh prefix, then configures, builds
# and runs the consumer project against that prefix alone.
#
#   cmake -D KIVU_BUILD_DIR=... -D PREFIX=... -D CONSUMER_SOURCE=... -D CONSUMER_BUILD=...
#         -D GENERATOR=... -D BUILD_TYPE=... -D CXX_COMPILER=... -D CXX_FLAGS=... -D LINKER_FLAGS=...
#         -D TOOLS=kivu-profile,kivu-boards
#         -P run.cmake
function(run_step what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${what} failed (${status}):\n${output}")
  endif()
endfunction()

file(REMOVE_RECURSE "${PREFIX}" "${CONSUMER_BUILD}")
run_step("installing" "${CMAKE_COMMAND}" --install "${KIVU_BUILD_DIR}" --prefix "${PREFIX}" --config "${BUILD_TYPE}")

foreach(installed IN ITEMS
    include/kivu/kivu_exchange.hpp include/kivu/kivu_package.hpp include/kivu/kivu_package/output_file.hpp
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
