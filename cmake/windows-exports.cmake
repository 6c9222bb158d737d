# Writes the export list of QORasstW.dll: the names of TEMPLATE that the code in ARCHIVE
# defines. Run before every link of the DLL.
#   cmake -DNM=<nm> -DARCHIVE=<lib> -DTEMPLATE=<def> -DOUTPUT=<def> -P windows-exports.cmake
execute_process(COMMAND ${NM} -g --defined-only ${ARCHIVE}
                OUTPUT_VARIABLE symbols RESULT_VARIABLE rc ERROR_VARIABLE errors)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${ARCHIVE}: ${errors}")
endif()

file(STRINGS ${TEMPLATE} lines)
set(text "")
set(in_exports FALSE)
foreach(line IN LISTS lines)
  if(line MATCHES "^[ \t]*;" OR line STREQUAL "")
    continue()
  endif()
  if(line MATCHES "^EXPORTS")
    set(in_exports TRUE)
    string(APPEND text "${line}\n")
  elseif(in_exports AND line MATCHES "^[ \t]+([A-Za-z_][A-Za-z0-9_]*)[ \t]*$")
    set(name ${CMAKE_MATCH_1})
    # i686 prefixes C names with an underscore, x86_64 does not.
    if(symbols MATCHES "(^|\n)[0-9A-Fa-f]+ T _?${name}(\n|$)")
      string(APPEND text "    ${name}\n")
    endif()
  else()
    string(APPEND text "${line}\n")
  endif()
endforeach()

set(old "")
if(EXISTS ${OUTPUT})
  file(READ ${OUTPUT} old)
endif()
if(NOT old STREQUAL text)
  file(WRITE ${OUTPUT} "${text}")
endif()
