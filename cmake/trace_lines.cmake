# Writes the library's trace statements as a table the frame test compares
# printed lines with: one "{LINE, "WORD"}," per POW_LOG statement, WORD the
# first word of its message. Made at build time, so the test program needs
# no source tree where it runs (the PowerPC guest has none).
#   cmake -DSOURCE=<LIB_PowerService.cpp> -DOUT=<file> -P trace_lines.cmake
file(READ ${SOURCE} text)
set(table "")
set(number 0)
while(NOT text STREQUAL "")
  math(EXPR number "${number} + 1")
  string(FIND "${text}" "\n" end)
  if(end EQUAL -1)
    set(line "${text}")
    set(text "")
  else()
    string(SUBSTRING "${text}" 0 ${end} line)
    math(EXPR end "${end} + 1")
    string(SUBSTRING "${text}" ${end} -1 text)
  endif()
  if(line MATCHES "POW_LOG(_CALL_FAILED)?\\([^,]+, *\"([A-Za-z_]+)")
    string(APPEND table "{${number}, \"${CMAKE_MATCH_2}\"},\n")
  endif()
endwhile()
file(WRITE ${OUT}.new "${table}")
file(COPY_FILE ${OUT}.new ${OUT} ONLY_IF_DIFFERENT)
