# Installs the build into a temporary prefix, checks what lands where, and
# builds examples/host.c against the installed copy twice, with pkg-config
# and with find_package(vornfile), and runs both hosts on a sample.
#
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... -DLIBDIR=lib
#         -DVERSION=x.y.z -DC_COMPILER=cc -DGENERATOR=Ninja -DOBJDUMP=objdump
#         -P install.cmake
cmake_minimum_required(VERSION 3.25)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0)
    string(REPLACE ";" " " command "${ARGN}")
    message(FATAL_ERROR "${command}\nfailed (${status}):\n${out}")
  endif()
  set(OUT "${out}" PARENT_SCOPE)
endfunction()

set(prefix "${WORK_DIR}/prefix")
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
run(${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${prefix}")

string(REGEX MATCH "^[0-9]+" major "${VERSION}")
foreach(file
    ${LIBDIR}/libvornfile.so ${LIBDIR}/libvornfile.so.${major} ${LIBDIR}/libvornfile.so.${VERSION}
    include/vornfile.h include/vornfile_gdi.h
    ${LIBDIR}/pkgconfig/vornfile.pc
    ${LIBDIR}/cmake/vornfile/vornfileConfig.cmake
    ${LIBDIR}/cmake/vornfile/vornfileConfigVersion.cmake
    bin/vorn share/man/man1/vorn.1
    share/thumbnailers/vorn.thumbnailer share/mime/packages/vornfile.xml)
  if(NOT EXISTS "${prefix}/${file}")
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()
if(NOT IS_SYMLINK "${prefix}/${LIBDIR}/libvornfile.so")
  message(FATAL_ERROR "libvornfile.so is not a link to the versioned library")
endif()
run(${OBJDUMP} -p "${prefix}/${LIBDIR}/libvornfile.so.${VERSION}")
if(NOT OUT MATCHES "SONAME +libvornfile\\.so\\.${major}\n")
  message(FATAL_ERROR "SONAME is not libvornfile.so.${major}:\n${OUT}")
endif()

# The installed tool finds the installed library on its own.
run("${prefix}/bin/vorn" --version)
if(NOT OUT STREQUAL "vorn ${VERSION}\n")
  message(FATAL_ERROR "installed vorn --version says: ${OUT}")
endif()

set(sample "${SOURCE_DIR}/samples/checker.bmp")

# A host built with the flags pkg-config gives.
run(${CMAKE_COMMAND} -E env "PKG_CONFIG_PATH=${prefix}/${LIBDIR}/pkgconfig"
    pkg-config --cflags --libs vornfile)
separate_arguments(flags UNIX_COMMAND "${OUT}")
run(${C_COMPILER} "${SOURCE_DIR}/examples/host.c" ${flags}
    "-Wl,-rpath,${prefix}/${LIBDIR}" -o "${WORK_DIR}/host-pkg-config")
run("${WORK_DIR}/host-pkg-config" "${sample}")
if(NOT OUT MATCHES "draw matches")
  message(FATAL_ERROR "host built with pkg-config: ${OUT}")
endif()

# The examples folder configured on its own against the installed package.
run(${CMAKE_COMMAND} -S "${SOURCE_DIR}/examples" -B "${WORK_DIR}/examples" -G "${GENERATOR}"
    "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_C_COMPILER=${C_COMPILER}")
run(${CMAKE_COMMAND} --build "${WORK_DIR}/examples")
run("${WORK_DIR}/examples/vorn_host" "${sample}")
if(NOT OUT MATCHES "draw matches")
  message(FATAL_ERROR "host built with find_package: ${OUT}")
endif()

file(REMOVE_RECURSE "${WORK_DIR}")
message(STATUS "installed, and both hosts built and ran")
