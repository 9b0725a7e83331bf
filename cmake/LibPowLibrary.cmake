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

# libpow_c_runtime_only(TARGET [OBJECTS])
# The client libraries (LIB_POW and PLAT) are loaded into every process of
# the device, most of them small C programs: they must cost such a process
# libc and nothing more. Their C++ is compiled without exceptions and RTTI
# (a throw, typeid or dynamic_cast does not compile), and they are linked
# by the C driver with --as-needed: libgcc's helpers (64-bit division on the
# 32-bit target) then come from its static archive, where the C++ driver
# would take them from libgcc_s, and the runtime libraries CMake names for
# C++ objects (libstdc++, libm) are dropped while nothing uses them. Only a
# real use (operator new, a guarded static) can bring one back; the tests
# needed_libraries* read DT_NEEDED and the undefined symbols and fail then
# (tests/CMakeLists.txt, cmake/check_needed.cmake).
function(libpow_c_runtime_only target)
  foreach(compiled ${target} ${ARGN})
    target_compile_options(${compiled} PRIVATE -fno-exceptions -fno-rtti)
  endforeach()
  set_target_properties(${target} PROPERTIES LINKER_LANGUAGE C)
  target_link_options(${target} PRIVATE -Wl,--as-needed)
endfunction()
