# Fails unless vornfile.dll exports exactly the sixteen functions under
# their plain names at the ordinals hosts use, and imports nothing but
# system DLLs a bare Windows has (no C++ runtime, no pthreads, no third-party
# libraries beside it).
# Usage: cmake -DOBJDUMP=<objdump> -DLIBRARY=<vornfile.dll> -P dllexports.cmake
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${OBJDUMP} -p ${LIBRARY}
                OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} failed on ${LIBRARY}")
endif()

set(expected
  "1 vnExportAlphaChannel" "2 vnExportBitmap" "3 vnDrawBitmap" "4 vnGetAlphaChannel"
  "5 vnGetPalette" "6 vnGetBitmap" "7 vnGetLayerName" "8 vnGetLayerInfo"
  "9 vnGetFrameName" "10 vnGetFrameInfo" "11 vnGetInfo" "12 vnGetLayerCount"
  "13 vnGetFrameCount" "14 vnGetLastError" "15 vnClose" "16 vnOpen")
set(systemDlls ADVAPI32.DLL AVIFIL32.DLL GDI32.DLL KERNEL32.DLL MSVCRT.DLL USER32.DLL)

# The name pointer table: "[   n] name" with n the index from the ordinal
# base.
string(REGEX MATCH "Ordinal Base[\t ]+([0-9]+)" base "${listing}")
set(base ${CMAKE_MATCH_1})
string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n(.*)" table "${listing}")
set(table "${CMAKE_MATCH_1}")
string(REPLACE "\n" ";" lines "${table}")
set(exported "")
foreach(line IN LISTS lines)
  if(line MATCHES "^[\t ]*\\[ *([0-9]+)\\] ([A-Za-z0-9_@]+)$")
    math(EXPR ordinal "${CMAKE_MATCH_1} + ${base}")
    list(APPEND exported "${ordinal} ${CMAKE_MATCH_2}")
  elseif(line MATCHES "^[^\t ]")
    break()
  endif()
endforeach()
list(SORT exported)
list(SORT expected)
if(NOT exported STREQUAL expected)
  message(FATAL_ERROR "exports of ${LIBRARY}:\n  ${exported}\nexpected:\n  ${expected}")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${listing}")
string(REPLACE "DLL Name: " "" imports "${imports}")
foreach(dll IN LISTS imports)
  string(TOUPPER "${dll}" dll)
  if(NOT dll IN_LIST systemDlls)
    message(FATAL_ERROR "${LIBRARY} needs ${dll}, which a bare Windows lacks")
  endif()
endforeach()
message(STATUS "${LIBRARY}: 16 exports at their ordinals; imports ${imports}")
