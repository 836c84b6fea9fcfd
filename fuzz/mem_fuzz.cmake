# The heap target runs the differential test of tests/mem, and the heap gets
# its regions from it: the library's region source is wrapped.
target_sources(${FUZZ_TARGET} PRIVATE
  ${PROJECT_SOURCE_DIR}/tests/mem/heap_twins.cpp)
target_include_directories(${FUZZ_TARGET} PRIVATE ${PROJECT_SOURCE_DIR}/tests/mem)
target_link_options(${FUZZ_TARGET} PRIVATE -Wl,--wrap=MEM_GetMemory_cb)
