# The password tests make their hashes with the system's crypt.
target_link_libraries(${TEST_TARGET} PRIVATE crypt)
# The tool tests run rtkctl from the build tree.
if(TARGET rtkctl)
  add_dependencies(${TEST_TARGET} rtkctl)
endif()
