# What `cmake --install` puts where users of a C library look for it: the
# public headers, the library (Linux: versioned file, SONAME link and the
# unversioned link for the linker; Windows: the DLL in bin/, its import
# library and the module-definition file in lib/), a CMake package with the
# imported target kez::dvrt, and a pkg-config file. Every path is relative to
# the prefix, so an installed tree may be moved.
#
# Components: `runtime` (what a program needs to run) and `dev` (what it
# needs to be built); the Debian packages follow them.

include(CMakePackageConfigHelpers)

set(KEZ_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/kez_dvrt)

install(TARGETS kez_dvrt EXPORT kez_dvrt_targets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(DIRECTORY include/kez DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev
  FILES_MATCHING PATTERN "*.h")
if(WIN32)
  install(FILES ${KEZ_USER_DEF} DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
endif()

install(EXPORT kez_dvrt_targets NAMESPACE kez:: FILE kez_dvrt-targets.cmake
  DESTINATION ${KEZ_INSTALL_CMAKEDIR} COMPONENT dev)
configure_package_config_file(cmake/package/kez_dvrt-config.cmake.in
  ${CMAKE_BINARY_DIR}/package/kez_dvrt-config.cmake
  INSTALL_DESTINATION ${KEZ_INSTALL_CMAKEDIR})
# Within a major version the export table only grows.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/kez_dvrt-config-version.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/package/kez_dvrt-config.cmake
              ${CMAKE_BINARY_DIR}/package/kez_dvrt-config-version.cmake
  DESTINATION ${KEZ_INSTALL_CMAKEDIR} COMPONENT dev)

# pkg-config finds the prefix from the file's own place.
file(RELATIVE_PATH KEZ_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" KEZ_PC_TO_PREFIX "${KEZ_PC_TO_PREFIX}")
configure_file(cmake/package/kez_dvrt.pc.in ${CMAKE_BINARY_DIR}/package/kez_dvrt.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/package/kez_dvrt.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
