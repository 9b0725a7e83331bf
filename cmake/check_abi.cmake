# Compares the ABI of a built client library with its committed description
# (abi/<processor>/<library>.abi, written by abidw) and fails on an
# incompatible change: a function or variable removed or changed (a
# parameter's type, a return type, a type they reach), the SONAME changed.
# Additions are compatible: reported, not failed. With -DUPDATE=ON it
# writes the description from the build instead (the abi_update target).
#   cmake -DABIDW=<abidw> -DABIDIFF=<abidiff> -DREADELF=<readelf> -DLIB=<library>
#         -DDESCRIPTION=<committed .abi> -DCURRENT=<scratch .abi> -DSOURCE_DIR=<tree>
#         -DBUILD_DIR=<build> [-DUPDATE=ON] -P check_abi.cmake
# The test is skipped (its output says "ABI check skipped") when abidw is
# missing or the library has no debug info to describe (a build without
# -g); with LIBPOW_ABI_REQUIRED=1 in the environment, as the test command
# sets it, those fail instead.
cmake_minimum_required(VERSION 3.20)
get_filename_component(file ${LIB} NAME)

function(cannot_check why)
  if("$ENV{LIBPOW_ABI_REQUIRED}" STREQUAL "1" OR UPDATE)
    message(FATAL_ERROR "${file}: ${why}")
  endif()
  message("ABI check skipped: ${file}: ${why}")
  return()
endfunction()

if(NOT ABIDW OR NOT ABIDIFF)
  cannot_check("abidw and abidiff not found (Debian package abigail-tools, see scripts/setup.sh)")
  return()
endif()
execute_process(COMMAND ${READELF} -S ${LIB} OUTPUT_VARIABLE sections RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${READELF} failed on ${LIB}")
endif()
if(NOT sections MATCHES "\\.debug_info")
  cannot_check("no debug info to describe; build with -g (Debug, RelWithDebInfo, or -DCMAKE_C_FLAGS=-g -DCMAKE_CXX_FLAGS=-g)")
  return()
endif()

# Only what the library exports, with nothing that names this machine or
# build: no paths, no source locations (lines move without the ABI moving),
# no DT_NEEDED (checked on its own by check_needed.cmake), and type ids
# derived from the types, not from the order they were met in.
execute_process(COMMAND ${ABIDW} --exported-interfaces-only --no-corpus-path --no-comp-dir-path
                        --no-show-locs --no-elf-needed --drop-undefined-syms --type-id-style hash
                        --out-file ${CURRENT} ${LIB}
                RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "abidw failed on ${LIB}: ${err}")
endif()
file(READ ${CURRENT} xml)
string(REPLACE "path='${SOURCE_DIR}/" "path='" xml "${xml}")
file(WRITE ${CURRENT} "${xml}")

if(UPDATE)
  file(WRITE ${DESCRIPTION} "${xml}")
  message(STATUS "${file}: wrote ${DESCRIPTION}")
  return()
endif()
if(NOT EXISTS ${DESCRIPTION})
  cannot_check("no committed description ${DESCRIPTION} for this processor; "
               "make one with: cmake --build ${BUILD_DIR} --target abi_update")
  return()
endif()

execute_process(COMMAND ${ABIDIFF} ${DESCRIPTION} ${CURRENT}
                RESULT_VARIABLE rc OUTPUT_VARIABLE report ERROR_VARIABLE err)
if(rc EQUAL 0)
  message(STATUS "${file}: ABI as described in ${DESCRIPTION}")
  return()
endif()
# abidiff's status bits: 1 error, 2 usage error, 4 the ABIs differ,
# 8 a change it knows to be incompatible (a removal).
math(EXPR failed "${rc} & 3")
if(NOT failed EQUAL 0)
  message(FATAL_ERROR "abidiff failed (${rc}) on ${DESCRIPTION} and ${CURRENT}: ${err}${report}")
endif()

# Compatible means added functions and variables and nothing else. abidiff
# ranks a changed parameter type as a change, not an incompatible one, so
# every summary line is read: any removal or change, or anything that is
# not a summary of additions, counts as incompatible.
math(EXPR incompatible "${rc} & 8")
string(REGEX MATCHALL "[^\n]+" lines "${report}")
set(additions OFF)
foreach(line IN LISTS lines)
  if(line MATCHES "^(Function|Variable)s changes summary: ([0-9]+) Removed, ([0-9]+) Changed.*, ([0-9]+) Added")
    if(CMAKE_MATCH_2 GREATER 0 OR CMAKE_MATCH_3 GREATER 0)
      set(incompatible 1)
    elseif(CMAKE_MATCH_4 GREATER 0)
      set(additions ON)
    endif()
  elseif(line MATCHES "^(Function|Variable) symbols changes summary: ([0-9]+) Removed, ([0-9]+) Added")
    if(CMAKE_MATCH_2 GREATER 0)
      set(incompatible 1)
    elseif(CMAKE_MATCH_3 GREATER 0)
      set(additions ON)
    endif()
  elseif(line MATCHES "SONAME|architecture|^ELF")
    set(incompatible 1)
  endif()
endforeach()
if(NOT additions)
  set(incompatible 1) # a difference abidiff reports that is no addition
endif()

if(incompatible)
  message(NOTICE "${file}: incompatible ABI change against ${DESCRIPTION}:\n${report}\n"
    "If the change is not meant, undo it. If it is a deliberate break, programs built against\n"
    "the old library must not load the new one: raise the major version in CMakeLists.txt\n"
    "(project(LIB_POW VERSION ...); every library gets a new SONAME, libLIB_POW.so.2 and so on),\n"
    "then record the new ABI for each processor you build (the host and the powerpc target):\n"
    "  cmake --build ${BUILD_DIR} --target abi_update\n"
    "and commit the files under abi/.")
  message(FATAL_ERROR "${file}: incompatible ABI change")
endif()
message(NOTICE "${file}: compatible ABI change (additions only) against ${DESCRIPTION}:\n${report}"
  "Record it with: cmake --build ${BUILD_DIR} --target abi_update (and commit abi/)")
