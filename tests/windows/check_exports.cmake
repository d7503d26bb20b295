# Reads ZUDOR.dll's headers with objdump: exactly the six exports with their ordinals, a
# version resource, and imports only from DLLs that Windows ships.
#   cmake -DOBJDUMP=... -DMODULE=.../ZUDOR.dll -P check_exports.cmake
execute_process(COMMAND ${OBJDUMP} -p ${MODULE} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "objdump failed on ${MODULE}")
endif()
set(problems "")

string(REGEX MATCH "Ordinal Base[ \t]+([0-9]+)" _ "${dump}")
set(base ${CMAKE_MATCH_1})
string(REGEX MATCH "Export Address Table[ \t]+([0-9a-fA-F]+)\n" _ "${dump}")
if(NOT "${CMAKE_MATCH_1}" STREQUAL "00000006")
    string(APPEND problems "the export address table holds ${CMAKE_MATCH_1} entries, not 6\n")
endif()

# "[   i] name" lines, where i + base is the ordinal.
string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n([^\n]+\n)+" table "${dump}")
string(REGEX MATCHALL "\\[ *[0-9]+\\] [A-Za-z_0-9@]+" rows "${table}")
set(found "")
foreach(row ${rows})
    string(REGEX MATCH "\\[ *([0-9]+)\\] (.+)" _ "${row}")
    math(EXPR ordinal "${CMAKE_MATCH_1} + ${base}")
    list(APPEND found "${ordinal}:${CMAKE_MATCH_2}")
endforeach()
list(SORT found)
set(expected 1:tifGetReaderInterface 2:tifAllocateContext 3:tifFillBuffer 4:tifFreeContext
    5:tifGetSummaryInfo 6:tifInitDoc)
if(NOT found STREQUAL expected)
    string(APPEND problems "exports are '${found}', expected '${expected}'\n")
endif()

# Resource type 16 is the version resource.
if(NOT dump MATCHES "Type Table:[^\n]*\n([^\n]*\n)*[0-9a-f]+ +Entry: ID: 0x000010,")
    string(APPEND problems "no version resource\n")
endif()

include(${CMAKE_CURRENT_LIST_DIR}/imports.cmake)
zudor_foreign_imports("${dump}" "^(kernel32|msvcrt|ucrtbase|api-ms-win-[a-z0-9-]+)\\.dll$" problems)

if(problems)
    message(FATAL_ERROR "${MODULE}:\n${problems}")
endif()
message(STATUS "${MODULE}: six exports, ordinals 1 to 6, version resource, system imports only")
