# rtkctl's JSON output and its bash completion, run from the build tree:
#   rtkctl.json        every --json form parses with jq and holds what it
#                      should; the paths of a walk come back byte for byte
#   rtkctl.completion  tools/rtkctl/completion.bash completes subcommands,
#                      options and paths
if(TARGET rtkctl)
  foreach(name json completion)
    add_test(NAME rtkctl.${name}
      COMMAND bash "${CMAKE_CURRENT_LIST_DIR}/${name}.sh" "${PROJECT_BINARY_DIR}/rtk-layout.sh"
              "${CMAKE_CURRENT_BINARY_DIR}/rtkctl/${name}")
    set_tests_properties(rtkctl.${name} PROPERTIES LABELS rtkctl)
  endforeach()
endif()
