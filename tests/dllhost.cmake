# Runs dll_host over the files of tests/data/dll/files.txt and compares its
# report with tests/data/dll/report.txt, which every build must reproduce:
# the Linux library and the Windows DLL under Wine read the same values.
# Usage: cmake -DHOST=<dll_host> -DLIBRARY=<library> -DSOURCE_DIR=<project>
#              -DWORK_DIR=<scratch folder> [-DEMULATOR=<wine64>]
#              [-DUPDATE=ON] -P dllhost.cmake
# With UPDATE=ON the report becomes the new reference.
cmake_minimum_required(VERSION 3.25)
set(reference ${SOURCE_DIR}/tests/data/dll/report.txt)
file(STRINGS ${SOURCE_DIR}/tests/data/dll/files.txt files REGEX "^[^#]")
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

execute_process(
  COMMAND ${EMULATOR} ${HOST} ${LIBRARY} ${SOURCE_DIR} ${WORK_DIR} ${files}
  WORKING_DIRECTORY ${WORK_DIR}
  OUTPUT_FILE ${WORK_DIR}/report.txt
  ERROR_VARIABLE errors
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(READ ${WORK_DIR}/report.txt report)
  message(FATAL_ERROR "dll_host failed (${status}):\n${report}\n${errors}")
endif()
if(UPDATE)
  file(COPY_FILE ${WORK_DIR}/report.txt ${reference})
  message(STATUS "wrote ${reference}")
  return()
endif()

execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files --ignore-eol
                        ${reference} ${WORK_DIR}/report.txt
                RESULT_VARIABLE different)
if(different)
  find_program(DIFF diff)
  if(DIFF)
    execute_process(COMMAND ${DIFF} -u --strip-trailing-cr ${reference} ${WORK_DIR}/report.txt
                    OUTPUT_VARIABLE changes)
  endif()
  message(FATAL_ERROR "the report differs from ${reference}:\n${changes}")
endif()
list(LENGTH files count)
message(STATUS "${LIBRARY}: the report of ${count} files matches")
