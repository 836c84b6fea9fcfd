# The fault tests serve a small FUSE file system from a child process.
find_package(PkgConfig REQUIRED)
pkg_check_modules(RTK_TEST_FUSE3 REQUIRED IMPORTED_TARGET fuse3)
target_link_libraries(${TEST_TARGET} PRIVATE PkgConfig::RTK_TEST_FUSE3)
# The tool tests run rtkctl from the build tree.
if(TARGET rtkctl)
  add_dependencies(${TEST_TARGET} rtkctl)
endif()
