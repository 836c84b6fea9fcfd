# rtkctl's JSON output, refusals, walk paths and bash completion, run from the build tree.
if(TARGET rtkctl)
  add_test(NAME rtkctl.cli COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/rtkctl.sh ${PROJECT_BINARY_DIR}/rtk-layout.sh ${CMAKE_CURRENT_BINARY_DIR}/cli)
  set_tests_properties(rtkctl.cli PROPERTIES LABELS rtkctl)
endif()
