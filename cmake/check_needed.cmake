# A client library must cost the process that loads it nothing beyond libc:
# its DT_NEEDED entries must be exactly REQUIRED (plus the dynamic loader
# when LOADER is ON), and every symbol it leaves undefined must come from
# glibc (a versioned GLIBC_ name), be weak, or start with one of PREFIXES
# (the names of a needed library of ours, which carries no versions).
# Anything else - libstdc++, libgcc_s, libm, a CXXABI_ or GCC_ version -
# fails and is named.
#   cmake -DREADELF=<readelf> -DNM=<nm> -DLIB=<library> -DREQUIRED=a,b
#         [-DLOADER=ON] [-DPREFIXES=PLAT_,...] -P check_needed.cmake
cmake_minimum_required(VERSION 3.20)
string(REPLACE "," ";" REQUIRED "${REQUIRED}")
string(REPLACE "," ";" PREFIXES "${PREFIXES}")
execute_process(COMMAND ${READELF} -d ${LIB} OUTPUT_VARIABLE dynamic RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${READELF} failed on ${LIB}")
endif()
string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*\\[[^]\n]+\\]" rows "${dynamic}")
set(needed "")
foreach(row IN LISTS rows)
  string(REGEX REPLACE ".*\\[([^]]+)\\]" "\\1" name "${row}")
  list(APPEND needed "${name}")
endforeach()

set(problems "")
foreach(name IN LISTS needed)
  # ld-linux-x86-64.so.2, ld.so.1 (powerpc), ld64.so.2, ld-linux-armhf.so.3...
  if(LOADER AND name MATCHES "^ld[-.a-z0-9_]*\\.so\\.[0-9]+$")
    continue()
  endif()
  if(NOT name IN_LIST REQUIRED)
    string(APPEND problems "\n  needs ${name}, which it must not")
  endif()
endforeach()
foreach(name IN LISTS REQUIRED)
  if(NOT name IN_LIST needed)
    string(APPEND problems "\n  does not need ${name}")
  endif()
endforeach()

execute_process(COMMAND ${NM} -D --undefined-only ${LIB} OUTPUT_VARIABLE table RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIB}")
endif()
string(REGEX MATCHALL "[^\n]+" rows "${table}")
set(undefined 0)
foreach(row IN LISTS rows)
  # "         U name@VERSION", "         w name"
  if(NOT row MATCHES "^ *([A-Za-z]) ([^ @]+)(@+([^ ]+))?$")
    string(APPEND problems "\n  unreadable nm line: ${row}")
    continue()
  endif()
  set(kind ${CMAKE_MATCH_1})
  set(symbol ${CMAKE_MATCH_2})
  set(versioned "${CMAKE_MATCH_3}")
  set(version "${CMAKE_MATCH_4}")
  math(EXPR undefined "${undefined} + 1")
  if(kind STREQUAL "w" OR kind STREQUAL "v" OR version MATCHES "^GLIBC_")
    continue()
  endif()
  set(ours OFF)
  foreach(prefix IN LISTS PREFIXES)
    string(FIND "${symbol}" "${prefix}" at)
    if(at EQUAL 0 AND version STREQUAL "")
      set(ours ON)
    endif()
  endforeach()
  if(NOT ours)
    string(APPEND problems "\n  uses ${symbol}${versioned}, which is neither glibc's nor ours")
  endif()
endforeach()

get_filename_component(file ${LIB} NAME)
set(loader "")
if(LOADER)
  set(loader " and the dynamic loader")
endif()
string(REPLACE ";" ", " REQUIRED "${REQUIRED}")
string(REPLACE ";" ", " needed "${needed}")
if(problems)
  message(FATAL_ERROR "${file} must need only ${REQUIRED}${loader}${problems}\n"
    "The client libraries must not use the C++ runtime (cmake/LibPowLibrary.cmake): "
    "malloc and plain structs there, no new or delete, no guarded function-local statics.")
endif()
message(STATUS "${file} needs ${needed}; ${undefined} undefined symbols, all from those")
