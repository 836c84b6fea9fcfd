# The installer tests run the sample package's scripts and the stand-in
# driver; they share the driver-channel tests' sandbox and stand-in support
# and the diagnostics tests' capture of the terminal log.
target_sources(${TEST_TARGET} PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/../driverif/standin.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../diag/diag_test_util.cpp)
target_include_directories(${TEST_TARGET} PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/../driverif ${CMAKE_CURRENT_LIST_DIR}/../diag)
add_dependencies(${TEST_TARGET} qmdrvd sample_package)
