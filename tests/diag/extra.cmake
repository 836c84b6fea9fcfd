# The rtkctl subcommands of the diagnostics are run by the tests.
if(TARGET rtkctl)
  add_dependencies(${TEST_TARGET} rtkctl)
  target_compile_definitions(${TEST_TARGET} PRIVATE RTKCTL_PATH="$<TARGET_FILE:rtkctl>")
endif()
