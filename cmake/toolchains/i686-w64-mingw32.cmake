# Cross build for 32-bit Windows, the DLL hosts load; its programs run under
# a 32-bit Wine where the machine has one.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VORN_MINGW_TRIPLET i686-w64-mingw32)
set(VORN_WINE_NAME wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
