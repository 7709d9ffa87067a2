# Runs the Windows vorn.exe's convert command: one sample to each output
# format, checked by the files' own signatures (GIF89a with its looping
# block, PNG with an animation chunk, an animated WebP, an OpenRaster zip
# whose first member is its stored mimetype), and a batch over two threads
# in which one broken file is reported and the others are converted.
# Usage: cmake -DTOOL=<vorn.exe> -DSOURCE_DIR=<project> -DWORK_DIR=<scratch>
#              [-DEMULATOR=<wine64>] -P windowsconvert.cmake
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/batch)
set(walk ${SOURCE_DIR}/samples/walk.vrn)

function(run expected_status)
  execute_process(COMMAND ${EMULATOR} ${TOOL} ${ARGN}
                  WORKING_DIRECTORY ${WORK_DIR}
                  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
  if(NOT status EQUAL expected_status)
    message(FATAL_ERROR "vorn ${ARGN}: status ${status}, not ${expected_status}\n${out}\n${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
  set(err "${err}" PARENT_SCOPE)
endfunction()

# Fails unless the file's bytes from offset match the hexadecimal text.
function(expect_bytes file offset hex)
  string(LENGTH "${hex}" digits)
  math(EXPR count "${digits} / 2")
  file(READ ${file} found OFFSET ${offset} LIMIT ${count} HEX)
  if(NOT found STREQUAL hex)
    message(FATAL_ERROR "${file} at ${offset}: ${found}, not ${hex}")
  endif()
endfunction()

function(expect_text file text)
  file(READ ${file} bytes HEX)
  string(HEX "${text}" wanted)
  string(TOLOWER "${wanted}" wanted)
  string(FIND "${bytes}" "${wanted}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${file} holds no \"${text}\"")
  endif()
endfunction()

run(0 convert ${walk} walk.gif)
expect_bytes(${WORK_DIR}/walk.gif 0 "474946383961")           # GIF89a
expect_text(${WORK_DIR}/walk.gif "NETSCAPE2.0")
run(0 convert ${walk} walk.png)
expect_bytes(${WORK_DIR}/walk.png 0 "89504e470d0a1a0a")
expect_text(${WORK_DIR}/walk.png "acTL")
run(0 convert ${walk} walk.webp)
expect_bytes(${WORK_DIR}/walk.webp 8 "57454250")               # WEBP
expect_text(${WORK_DIR}/walk.webp "ANIM")
run(0 convert ${walk} walk.ora)
expect_bytes(${WORK_DIR}/walk.ora 0 "504b0304")                # a zip
expect_bytes(${WORK_DIR}/walk.ora 8 "0000")                    # stored
expect_bytes(${WORK_DIR}/walk.ora 30 "6d696d6574797065")       # "mimetype", the first member
expect_text(${WORK_DIR}/walk.ora "image/openraster")
expect_text(${WORK_DIR}/walk.ora "stack.xml")

# A batch: every sample and a broken document, on two threads.
file(GLOB samples ${SOURCE_DIR}/samples/*.*)
list(FILTER samples EXCLUDE REGEX "\\.md$")
file(COPY ${samples} DESTINATION ${WORK_DIR}/in)
file(WRITE ${WORK_DIR}/in/broken.vrn "not a document")
run(1 convert -j 2 --to png ${WORK_DIR}/in ${WORK_DIR}/batch)
if(NOT err MATCHES "broken\\.vrn" OR NOT err MATCHES "1 of [0-9]+ files could not be converted")
  message(FATAL_ERROR "the broken file is not reported:\n${err}")
endif()
foreach(sample ${samples})
  get_filename_component(stem ${sample} NAME_WE)
  expect_bytes(${WORK_DIR}/batch/${stem}.png 0 "89504e470d0a1a0a")
endforeach()
