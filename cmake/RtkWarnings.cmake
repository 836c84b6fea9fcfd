# One warning policy for every target of the project. Warnings fail the build
# unless RTK_WARNINGS_AS_ERRORS is off, as it is for the Debian packages,
# which other compilers and flags may build.
option(RTK_WARNINGS_AS_ERRORS "Fail the build on any compiler warning" ON)
function(rtk_apply_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic
    $<$<BOOL:${RTK_WARNINGS_AS_ERRORS}>:-Werror>
    $<$<COMPILE_LANGUAGE:CXX>:-Wno-format-security>)
endfunction()
