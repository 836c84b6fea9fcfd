# The installer tests run the sample package's scripts and the stand-in
# driver.
add_dependencies(${TEST_TARGET} qmdrvd sample_package)
