# The rtkctl subcommands of the diagnostics are run by the tests.
if(TARGET rtkctl)
  add_dependencies(${TEST_TARGET} rtkctl)
endif()
