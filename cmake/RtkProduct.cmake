# The product's constants, each written once: in the public header that
# programs compile against. The build reads them from there for what it
# makes beside the library (the sample package's misc/version.txt and the
# installation directory in its scripts), so that they cannot drift apart.
#   RTK_DRIVER_VERSION  the driver version that the library carries
#                       (RTK_DRIVER_VERSION in include/rtk.h), e.g. 1.0.0.8
#   RTK_INSTALL_DIR     the product's installation directory without its
#                       trailing '/' (PF_INSTALL_DIR in include/pf_user.h)

# Sets `out` to the text of the line '#define NAME "TEXT"' of a header and
# configures the build again when the header changes.
function(rtk_read_define header name out)
  file(STRINGS "${header}" line REGEX "^#define ${name} \"[^\"]*\"$")
  if(NOT line MATCHES "^#define ${name} \"([^\"]*)\"$")
    message(FATAL_ERROR "${header}: no line '#define ${name} \"...\"'")
  endif()
  set(${out} "${CMAKE_MATCH_1}" PARENT_SCOPE)
  set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${header}")
endfunction()

rtk_read_define("${PROJECT_SOURCE_DIR}/include/rtk.h" RTK_DRIVER_VERSION RTK_DRIVER_VERSION)
rtk_read_define("${PROJECT_SOURCE_DIR}/include/pf_user.h" PF_INSTALL_DIR rtk_install_dir)
string(REGEX REPLACE "/$" "" RTK_INSTALL_DIR "${rtk_install_dir}")
