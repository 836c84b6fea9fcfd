# Build-level tests of the public interface (label abi).
# c_consumer: a C99 program that includes every public header compiles
#   pedantically, links against the library and runs.
file(GLOB public_headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/include/*.h)
list(TRANSFORM public_headers REPLACE "^.*/([^/]*)$" "#include <\\1>\n")
string(JOIN "" includes ${public_headers})
file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/all_headers.c CONTENT "${includes}\n#include \"${CMAKE_CURRENT_LIST_DIR}/c_consumer.inc\"\n")
add_executable(c_consumer ${CMAKE_CURRENT_BINARY_DIR}/all_headers.c)
target_compile_options(c_consumer PRIVATE -std=c99 -pedantic -Wall -Wextra -Werror)
target_link_libraries(c_consumer PRIVATE rtk)
rtk_apply_sanitizers(c_consumer)
add_test(NAME abi.c_consumer COMMAND c_consumer)
# exported_symbols: the library's dynamic symbols are exactly the export
#   list, and every symbol that the sources mark for export is on it.
add_test(NAME abi.exported_symbols
  COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/check_symbols.sh $<TARGET_FILE:rtk> ${RTK_EXPORT_TABLE} "$<TARGET_OBJECTS:rtk>")
# record_layouts: every record of a public header keeps static_asserts on its
#   size and field offsets.
add_test(NAME abi.record_layouts COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/check_layouts.sh ${PROJECT_SOURCE_DIR}/include ${RTK_SUBSYSTEM_DIRS})
set_tests_properties(abi.record_layouts PROPERTIES WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})
# debian_symbols: debian/librtk1.symbols lists exactly the exported symbols,
#   as cmake/RtkExports.cmake writes the file from the export lists.
#   On a difference, copy the written file over debian/librtk1.symbols.
add_test(NAME abi.debian_symbols COMMAND diff -u ${PROJECT_SOURCE_DIR}/debian/librtk1.symbols ${RTK_DEBIAN_SYMBOLS})
# layers: modules call only downward: no object uses a symbol of a module
#   listed after its own in cmake/layers.txt.
add_test(NAME abi.layers COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/check_layers.sh ${PROJECT_SOURCE_DIR}/cmake/layers.txt "$<TARGET_OBJECTS:rtk>" --picture)
set_tests_properties(abi.c_consumer abi.exported_symbols abi.record_layouts abi.debian_symbols abi.layers PROPERTIES LABELS abi)
