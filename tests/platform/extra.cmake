# The password tests make their hashes with the system's crypt.
target_link_libraries(${TEST_TARGET} PRIVATE crypt)
