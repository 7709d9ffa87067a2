# Installs the build into a temporary prefix and has gdk-pixbuf-thumbnailer
# draw a document through the installed module, as a desktop would after
# gdk-pixbuf-query-loaders and update-mime-database: the module must sit in
# GdkPixbuf's folder under the prefix and find the installed library.
#
#   cmake -DBUILD_DIR=... -DWORK_DIR=... -DMODULE_DIR=... -DQUERY_LOADERS=...
#         -DTHUMBNAILER=... -DSAMPLE=... -P install_test.cmake
cmake_minimum_required(VERSION 3.25)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    string(REPLACE ";" " " command "${ARGN}")
    message(FATAL_ERROR "${command}\nfailed (${status}):\n${out}${err}")
  endif()
  set(OUT "${out}" PARENT_SCOPE)
endfunction()

set(prefix "${WORK_DIR}/prefix")
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
run(${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${prefix}")
set(module "${prefix}/${MODULE_DIR}/libpixbufloader-vrn.so")
if(NOT EXISTS "${module}")
  message(FATAL_ERROR "not installed: ${module}")
endif()

run(${QUERY_LOADERS} "${module}")
file(WRITE "${WORK_DIR}/loaders.cache" "${OUT}")
run(update-mime-database "${prefix}/share/mime")
set(env GDK_PIXBUF_MODULE_FILE=${WORK_DIR}/loaders.cache XDG_DATA_HOME=${prefix}/share
    LD_LIBRARY_PATH=)
run(${CMAKE_COMMAND} -E env ${env} ${THUMBNAILER} -s 64 "${SAMPLE}" "${WORK_DIR}/thumbnail.png")
file(READ "${WORK_DIR}/thumbnail.png" head LIMIT 8 HEX)
if(NOT head STREQUAL "89504e470d0a1a0a")
  message(FATAL_ERROR "the thumbnailer wrote no PNG file")
endif()
file(REMOVE_RECURSE "${WORK_DIR}")
message(STATUS "the installed module drew a thumbnail")
