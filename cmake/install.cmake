# What `cmake --install` puts where (GNU install directories): the shared
# library with its SONAME, the two public headers, a pkg-config file and a
# CMake package exporting vornfile::vornfile. The tool installs its own
# files (tools/vorn/CMakeLists.txt).
include(CMakePackageConfigHelpers)

install(TARGETS vornfile EXPORT vornfileTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/vornfile.h ${PROJECT_SOURCE_DIR}/include/vornfile_gdi.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# pkg-config: the file names the prefix it is installed under, which
# `cmake --install --prefix` may choose, so it is written at install time.
set(VORN_PC_FILE ${CMAKE_CURRENT_BINARY_DIR}/vornfile.pc)
install(CODE "
  set(VORN_INSTALL_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(CMAKE_INSTALL_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(CMAKE_INSTALL_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(PROJECT_VERSION \"${PROJECT_VERSION}\")
  configure_file(\"${CMAKE_CURRENT_LIST_DIR}/vornfile.pc.in\" \"${VORN_PC_FILE}\" @ONLY)")
install(FILES ${VORN_PC_FILE} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set(VORN_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vornfile)
install(EXPORT vornfileTargets NAMESPACE vornfile:: DESTINATION ${VORN_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/vornfileConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/vornfileConfig.cmake INSTALL_DESTINATION ${VORN_CMAKE_DIR})
# Before 1.0 a minor version may change the interface.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/vornfileConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/vornfileConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/vornfileConfigVersion.cmake DESTINATION ${VORN_CMAKE_DIR})
