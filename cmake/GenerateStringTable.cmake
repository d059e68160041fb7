# Generates the native build's string table from the resource script, so the script stays the one
# source of the plug-in's texts. Run as: cmake -DRC=... -DHEADER=... -DOUT=... -P this file.
#
# Understands what the script uses: "#define IDS_NAME number" in the header and, between
# STRINGTABLE's BEGIN and END, lines of the form IDS_NAME "text" (with "" for a quote).

file(STRINGS "${HEADER}" defines REGEX "^#define[ \t]+IDS_[A-Z0-9_]+[ \t]+[0-9]+")
foreach(line IN LISTS defines)
  string(REGEX REPLACE "^#define[ \t]+(IDS_[A-Z0-9_]+)[ \t]+([0-9]+).*" "\\1;\\2" pair "${line}")
  list(GET pair 0 name)
  list(GET pair 1 value)
  set(id_${name} ${value})
endforeach()

file(STRINGS "${RC}" lines)
set(inside FALSE)
set(entries "")
set(count 0)
foreach(line IN LISTS lines)
  if(line MATCHES "^STRINGTABLE")
    set(inside TRUE)
  elseif(inside AND line MATCHES "^END")
    set(inside FALSE)
  elseif(inside AND line MATCHES "^[ \t]*(IDS_[A-Z0-9_]+)[ \t]+\"(.*)\"[ \t]*$")
    set(name "${CMAKE_MATCH_1}")
    set(text "${CMAKE_MATCH_2}")
    if(NOT DEFINED id_${name})
      message(FATAL_ERROR "${RC}: ${name} has no #define in ${HEADER}")
    endif()
    string(REPLACE "\"\"" "\\\"" text "${text}")
    string(APPEND entries "    {${id_${name}}, L\"${text}\"},\n")
    math(EXPR count "${count} + 1")
  endif()
endforeach()
if(count EQUAL 0)
  message(FATAL_ERROR "${RC}: no STRINGTABLE entries found")
endif()

set(content "// Generated from TamrelScratches.rc by GenerateStringTable.cmake. Do not edit.
#include \"texmap/StringTable.h\"

const StringTableEntry kStringTable[] = {
${entries}};
const int kStringTableSize = ${count};
")
# Only rewrite when the text changes, so an unchanged table does not trigger a rebuild.
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
endif()
if(NOT "${old}" STREQUAL "${content}")
  file(WRITE "${OUT}" "${content}")
endif()
