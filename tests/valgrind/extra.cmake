# valgrind memcheck of the C consumer, of a C program that makes the debug
# heap grow, and of every rtkctl subcommand. Left out of sanitizer builds
# (the sanitizers and valgrind exclude each other) and of builds without
# rtkctl.
find_program(RTK_VALGRIND valgrind)
if(RTK_VALGRIND AND NOT RTK_SANITIZE AND TARGET rtkctl AND TARGET c_consumer)
  add_executable(valgrind_heap_regions ${CMAKE_CURRENT_LIST_DIR}/heap_regions.c)
  set_target_properties(valgrind_heap_regions PROPERTIES C_STANDARD 99 C_EXTENSIONS OFF)
  target_link_libraries(valgrind_heap_regions PRIVATE rtk)
  rtk_apply_warnings(valgrind_heap_regions)
  add_test(NAME valgrind.memcheck
    COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/memcheck.sh ${RTK_VALGRIND}
            ${CMAKE_CURRENT_LIST_DIR}/rtk.supp $<TARGET_FILE:c_consumer> $<TARGET_FILE:rtkctl>
            $<TARGET_FILE:valgrind_heap_regions>)
  set_tests_properties(valgrind.memcheck PROPERTIES LABELS valgrind TIMEOUT 900)
endif()
