# The Debian package of what cmake/install.cmake installs: the tools, the
# libraries, the headers and the CMake package, under /usr. In a build folder:
#
#   cpack -G DEB        ->  kivu_<version>_amd64.deb
#
# Depends: the run-time libraries the tools link against, as dpkg-shlibdeps
# finds them, and the development packages that the installed CMake package
# needs (find_package(kivu) finds Cap'n Proto, whose CMake package names its
# compiler tools).
set(CPACK_PACKAGE_NAME kivu)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "kivu board topology and cycle-profile libraries, kivu-profile and kivu-boards")
set(CPACK_PACKAGE_DESCRIPTION
    "The libraries kivu_exchange (board topology) and kivu_package (the cycle-profile file, its reader and writer) with their headers and CMake package (find_package(kivu CONFIG)), and the tools kivu-profile and kivu-boards.")
set(CPACK_PACKAGE_CONTACT "kivu workspace maintainers <kivu@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcapnp-dev (>= 0.9), capnproto (>= 0.9)")
include(CPack)
