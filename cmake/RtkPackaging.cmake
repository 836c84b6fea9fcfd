# Debian packages, one per install component:
#   librtk1     the shared library (runtime)
#   librtk-dev  headers, the .so link, CMake and pkg-config files, librtk(3) (devel)
#   rtk-tools   rtkctl, the stand-in driver, the sample package, rtkctl(1) (tools)
# "cpack -G DEB" in the build directory writes them. The dependencies on
# system libraries (libc6, libcrypt1, libstdc++6 as far as the code uses it,
# libfuse3-3 for the stand-in driver) are read from the binaries by
# dpkg-shlibdeps, so they follow what is really linked; the packages that
# build on the library depend on librtk1 of exactly this version.
set(RTK_PACKAGE_MAINTAINER "librtk maintainers <root@localhost>" CACHE STRING
    "Maintainer field of the Debian packages")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME rtk)
set(CPACK_PACKAGE_VENDOR Quillmar)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${RTK_PACKAGE_MAINTAINER}")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime devel tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# librtk1 gets a shlibs file, so that packages linking librtk.so.1 get
# "librtk1 (>= version)" (only librtk1 holds a shared library).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The tools link librtk.so.1 from the build tree; dpkg-shlibdeps finds it there
# and leaves it to the component dependency on librtk1.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${PROJECT_BINARY_DIR}")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME librtk1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEVEL_PACKAGE_NAME librtk-dev)
set(CPACK_DEBIAN_DEVEL_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME rtk-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION admin)

include(CPack)
# Every package shares the project's one-line summary; the text below becomes
# the extended description.
cpack_add_component(runtime DISPLAY_NAME "librtk shared library"
  DESCRIPTION "The shared library librtk.so.1. It installs, loads, unloads and
uninstalls the Quillmar kernel driver and carries the product's common runtime:
message log, trace, result-code catalogue, strings, file utilities, platform
layer, debug heap, XML scanner and driver channel.")
cpack_add_component(devel DISPLAY_NAME "librtk development files" DEPENDS runtime
  DESCRIPTION "Development files: the C headers, the CMake package
(find_package(rtk CONFIG), target rtk::rtk), the pkg-config file rtk.pc and
the librtk(3) manual page.")
cpack_add_component(tools DISPLAY_NAME "librtk tools" DEPENDS runtime
  DESCRIPTION "Tools: rtkctl, the administrator's command-line tool, the
user-space stand-in driver qmdrvd, and a sample product package with its
install scripts.")
