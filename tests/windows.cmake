# Tests of the Windows builds (included from tests/CMakeLists.txt).
#
# Both builds check vornfile.dll's export table and build the test
# programs. Where the programs can run (the 64-bit build under 64-bit Wine,
# found by the toolchain file as CMAKE_CROSSCOMPILING_EMULATOR, or either
# build on Windows itself), a C host loads the DLL by name and by ordinal and
# must read from the files of data/dll/files.txt exactly what the Linux
# library reads, and the unit tests that do not depend on Linux run against
# the system's GDI, kernel and AVIFile.

add_test(NAME Dll.ExportsTheSixteenFunctionsAtTheirOrdinals
  COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} -DLIBRARY=$<TARGET_FILE:vornfile>
          -P ${CMAKE_CURRENT_SOURCE_DIR}/dllexports.cmake)

set(VORN_RUN_PROGRAMS ON)
if(CMAKE_CROSSCOMPILING AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(VORN_RUN_PROGRAMS OFF)
endif()

# Wine keeps its own Windows folder in the build tree, and must never wait
# on a window: it runs without a display and without debug output.
set(VORN_WINE_ENVIRONMENT
  "WINEPREFIX=set:${CMAKE_BINARY_DIR}/wine" "WINEDEBUG=set:-all" "DISPLAY=unset:"
  "WINEDLLOVERRIDES=set:mscoree,mshtml=")

add_executable(dll_host dll_host.c)
target_include_directories(dll_host PRIVATE ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(dll_host PRIVATE gdi32)
if(VORN_RUN_PROGRAMS)
  add_test(NAME DllHost.ReportMatchesReference
    COMMAND ${CMAKE_COMMAND} -DHOST=$<TARGET_FILE:dll_host> -DLIBRARY=vornfile.dll
            -DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}
            -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/dll-host
            -P ${CMAKE_CURRENT_SOURCE_DIR}/dllhost.cmake)
  set_tests_properties(DllHost.ReportMatchesReference PROPERTIES
    ENVIRONMENT_MODIFICATION "${VORN_WINE_ENVIRONMENT}" RESOURCE_LOCK wine)
endif()

# The unit tests that do not depend on Linux: not the library's own GDI,
# user interface and video layers (Windows has its own), not the work files
# of the swap storage, and not the tests that run the tool or Python, count
# opens with inotify, limit the process's memory or encode video with FFmpeg.
file(GLOB VORN_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
file(GLOB VORN_TEST_SUPPORT CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/support/*.cpp)
list(FILTER VORN_TEST_SOURCES EXCLUDE REGEX
  "/(gdi|user|swapstrms|kernel|tool|convert|documentcap|avi|apng|fileopens|outofmemory)_test\\.cpp$")
list(FILTER VORN_TEST_SUPPORT EXCLUDE REGEX "/(aviwriter|failingnew)\\.cpp$")
add_executable(vorn_tests ${VORN_TEST_SOURCES} ${VORN_TEST_SUPPORT})
target_include_directories(vorn_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(vorn_tests PRIVATE vorncore gtest gtest_main)
target_compile_definitions(vorn_tests PRIVATE VORN_TEST_DATA="${CMAKE_CURRENT_SOURCE_DIR}/data")
# GCC 12 sees impossible sizes in the vector and string copies it inlines
# into the tests when it optimises for Release (its bugs 105705 and 105651):
# not the tests'.
target_compile_options(vorn_tests PRIVATE -Wno-array-bounds -Wno-restrict -Wno-stringop-overread)
if(VORN_RUN_PROGRAMS)
  add_test(NAME Windows.UnitTests COMMAND vorn_tests)
  set_tests_properties(Windows.UnitTests PROPERTIES
    ENVIRONMENT_MODIFICATION "${VORN_WINE_ENVIRONMENT}" RESOURCE_LOCK wine)
endif()

# The tool's convert command: its writers' libraries are linked into
# vorn.exe alone.
if(VORN_RUN_PROGRAMS)
  add_test(NAME Windows.Convert
    COMMAND ${CMAKE_COMMAND} -DTOOL=$<TARGET_FILE:vorn> -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
            -DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}
            -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/convert
            -P ${CMAKE_CURRENT_SOURCE_DIR}/windowsconvert.cmake)
  set_tests_properties(Windows.Convert PROPERTIES
    ENVIRONMENT_MODIFICATION "${VORN_WINE_ENVIRONMENT}" RESOURCE_LOCK wine)
endif()
