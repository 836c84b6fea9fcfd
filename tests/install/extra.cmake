# install.consumer (label "install"; it uses the finished build tree, so run
# it after a full build): cmake --install into a scratch prefix (each file
# must be installed once), then a separate project builds and runs C and C++
# programs against it, once through find_package(rtk CONFIG) and once
# through pkg-config. The script reads
# the build's install layout from rtk-layout.sh, which the installation
# section of the top-level CMakeLists.txt writes. The Debian packages are
# built and checked by debs.sh, which scripts/check runs.
if(TARGET rtkctl)
  add_test(NAME install.consumer COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/consumer.sh ${PROJECT_BINARY_DIR}/rtk-layout.sh
                                         ${CMAKE_CURRENT_BINARY_DIR}/install/consumer)
  set_tests_properties(install.consumer PROPERTIES LABELS install TIMEOUT 120)
endif()
