# valgrind memcheck of the C consumer and of every rtkctl subcommand. Left out of sanitizer builds
# (the sanitizers and valgrind exclude each other), of builds without
# rtkctl, and of clang builds: the DWARF 5 debug information of clang 14 is
# more than Debian's valgrind 3.19 can read, and it gives up on the program.
find_program(RTK_VALGRIND valgrind)
if(RTK_VALGRIND AND NOT RTK_SANITIZE AND TARGET rtkctl AND TARGET c_consumer AND CMAKE_C_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  add_test(NAME valgrind.memcheck COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/memcheck.sh ${RTK_VALGRIND} ${CMAKE_CURRENT_LIST_DIR}/rtk.supp
           $<TARGET_FILE:c_consumer> $<TARGET_FILE:rtkctl>)
  set_tests_properties(valgrind.memcheck PROPERTIES LABELS valgrind TIMEOUT 900)
endif()
