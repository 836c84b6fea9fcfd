# One warning policy for every target of the project.
function(rtk_apply_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror
    $<$<COMPILE_LANGUAGE:CXX>:-Wno-format-security>)
endfunction()
