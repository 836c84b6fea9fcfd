# The driver-channel tests start the stand-in driver and run rtkctl.
add_dependencies(${TEST_TARGET} qmdrvd rtkctl)
