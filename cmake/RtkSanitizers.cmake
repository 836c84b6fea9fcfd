# Applies RTK_SANITIZE ("address;undefined" or "thread") to a target. The
# address preset stops at the first error so that a report fails the test.
function(rtk_apply_sanitizers target)
  if(NOT RTK_SANITIZE)
    return()
  endif()
  list(JOIN RTK_SANITIZE "," san)
  set(flags -fsanitize=${san} -fno-omit-frame-pointer)
  if("undefined" IN_LIST RTK_SANITIZE OR "address" IN_LIST RTK_SANITIZE)
    list(APPEND flags -fno-sanitize-recover=all)
  endif()
  target_compile_options(${target} PRIVATE ${flags})
  target_link_options(${target} PRIVATE ${flags})
endfunction()
