# libpow_shared_library(NAME OBJECTS VERSION_SCRIPT HEADERS...)
# A shared library of ours made from an object library: only the names its
# version script lists leave it, it carries the project's version and
# SONAME, and it installs HEADERS. Every reference must resolve against its
# own dependencies; sanitizer runtimes are linked into the programs
# instead, so that check is skipped there.
function(libpow_shared_library name objects version_script)
  add_library(${name} SHARED $<TARGET_OBJECTS:${objects}>)
  add_library(LIB_POW::${name} ALIAS ${name})
  target_link_options(${name} PRIVATE -Wl,--version-script=${version_script})
  if(NOT LIBPOW_SANITIZE)
    target_link_options(${name} PRIVATE -Wl,--no-undefined)
  endif()
  set_target_properties(${name} PROPERTIES
    VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}
    LINK_DEPENDS ${version_script} PUBLIC_HEADER "${ARGN}")
endfunction()
