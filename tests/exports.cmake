# Fails unless the shared library exports exactly the functions of vornfile.h
# and the GDI subset of vornfile_gdi.h.
# Usage: cmake -DNM=<nm> -DLIBRARY=<libvornfile.so> -P exports.cmake
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
                OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
endif()

set(exported "")
string(REPLACE "\n" ";" lines "${listing}")
foreach(line IN LISTS lines)
  # "<address> <type> <name>"; the name may carry a version after '@'.
  if(line MATCHES "^[0-9a-fA-F]* *[A-Za-z] ([^@ ]+)")
    list(APPEND exported "${CMAKE_MATCH_1}")
  endif()
endforeach()
list(SORT exported)

set(expected
  vnOpen vnClose vnGetLastError vnGetFrameCount vnGetLayerCount vnGetInfo
  vnGetFrameInfo vnGetFrameName vnGetLayerInfo vnGetLayerName vnGetBitmap
  vnGetPalette vnGetAlphaChannel vnDrawBitmap vnExportBitmap vnExportAlphaChannel
  GetObjectA GetDIBits GetPaletteEntries CreateCompatibleDC CreateDIBSection
  SelectObject BitBlt DeleteDC DeleteObject)
list(SORT expected)

if(NOT exported STREQUAL expected)
  set(extra ${exported})
  list(REMOVE_ITEM extra ${expected})
  set(missing ${expected})
  list(REMOVE_ITEM missing ${exported})
  message(FATAL_ERROR "exports differ\n  unexpected: ${extra}\n  missing: ${missing}")
endif()
list(LENGTH exported count)
message(STATUS "${count} symbols exported, as expected")
