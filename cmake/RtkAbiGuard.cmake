# ABI guard at build time: once the library is linked, its dynamic symbols
# must be exactly the checked-in export lists (cmake/exports/*.txt, with their
# kinds), and nothing that the sources mark for export may be missing from
# them. A symbol added or removed without updating a list fails the build.
# The stamp is written only on success, so a failed check runs again on the
# next build. The test abi.exported_symbols runs the same check, for builds
# that name their targets and skip this one.
set(RTK_ABI_CHECK "${PROJECT_SOURCE_DIR}/tests/abi/check_symbols.sh")
set(rtk_abi_stamp "${PROJECT_BINARY_DIR}/rtk-abi.stamp")
add_custom_command(OUTPUT "${rtk_abi_stamp}"
  COMMAND sh "${RTK_ABI_CHECK}" "$<TARGET_FILE:rtk>" "${RTK_EXPORT_TABLE}" "$<TARGET_OBJECTS:rtk>"
  COMMAND "${CMAKE_COMMAND}" -E touch "${rtk_abi_stamp}"
  DEPENDS rtk "${RTK_EXPORT_TABLE}" "${RTK_ABI_CHECK}"
  COMMENT "Checking the exported symbols of librtk against cmake/exports"
  VERBATIM)
add_custom_target(rtk_abi_guard ALL DEPENDS "${rtk_abi_stamp}")
