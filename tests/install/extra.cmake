# Installation tests (label "install"). They use the finished build tree, so
# run them after a full build:
#   install.consumer  cmake --install into a scratch prefix (each file must be
#                     installed once), then a separate project builds and
#                     runs C and C++ programs against it, once through
#                     find_package(rtk CONFIG) and once through pkg-config,
#                     and compiles the example of librtk(3).
#   install.man_pages the manual pages format without warnings, document every
#                     rtkctl subcommand, every option of rtkctl and qmdrvd and
#                     every public header.
# The scripts read the build's install layout from rtk-layout.sh, which the
# installation section of the top-level CMakeLists.txt writes. The Debian
# packages are built and checked by debs.sh, which scripts/check runs.
if(TARGET rtkctl)
  foreach(name consumer man_pages)
    add_test(NAME install.${name}
      COMMAND sh "${CMAKE_CURRENT_LIST_DIR}/${name}.sh" "${PROJECT_BINARY_DIR}/rtk-layout.sh"
              "${CMAKE_CURRENT_BINARY_DIR}/install/${name}")
    set_tests_properties(install.${name} PROPERTIES LABELS install TIMEOUT 120)
  endforeach()
endif()
