# The catalogue tests capture the message log's terminal output with the
# diagnostics tests' standard-output capture.
target_sources(${TEST_TARGET} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/diag/diag_test_util.cpp)
target_include_directories(${TEST_TARGET} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/diag)
