# The cross-subsystem concurrency tests read the log through the
# diagnostics tests' capture of standard output.
target_sources(${TEST_TARGET} PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../diag/diag_test_util.cpp)
target_include_directories(${TEST_TARGET} PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../diag)
