# Packages made by `cpack` from an installed build:
# - Linux: the Debian pair libkez-dvrt<major> (the library) and
#   libkez-dvrt-dev (headers, the unversioned link, the CMake and pkg-config
#   files). Configure with -DCMAKE_INSTALL_PREFIX=/usr so the library lands
#   in the multiarch folder, as Debian's own libraries do.
# - Windows (mingw build): one zip of the installed tree.

set(CPACK_PACKAGE_NAME kez-dvrt)
set(CPACK_PACKAGE_VENDOR "kez run-time engine developers")
set(CPACK_PACKAGE_CONTACT "kez run-time engine developers <kez-dvrt@users.noreply.kez.dev>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# The project's description is both packages' synopsis line (CPack puts it
# first); the texts below are their extended descriptions.
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_VERBATIM_VARIABLES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME kez_dvrt-${PROJECT_VERSION}-win64)
else()
  set(KEZ_DEB_LIB_PACKAGE libkez-dvrt${PROJECT_VERSION_MAJOR})
  set(KEZ_DEB_DEV_PACKAGE libkez-dvrt-dev)
  set(KEZ_DEB_RELEASE 1)
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL runtime dev)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_RELEASE ${KEZ_DEB_RELEASE})
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://kez.dev/dvrt")
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${KEZ_DEB_LIB_PACKAGE})
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
  # The library's shlibs file and an ldconfig trigger (instead of maintainer
  # scripts that call ldconfig).
  configure_file(cmake/package/debian/shlibs.in ${CMAKE_BINARY_DIR}/package/control/shlibs @ONLY)
  file(COPY cmake/package/debian/triggers DESTINATION ${CMAKE_BINARY_DIR}/package/control)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
      ${CMAKE_BINARY_DIR}/package/control/shlibs ${CMAKE_BINARY_DIR}/package/control/triggers)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "The engine is one shared library that instrument-control and
data-acquisition programs call: their C library, formatting and file I/O,
timers and logging, locks, thread pools and thread-safe queues, and run-time
checks for programs built for debugging.
.
This package holds the shared library.")
  set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${KEZ_DEB_DEV_PACKAGE})
  set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${KEZ_DEB_LIB_PACKAGE} (= ${PROJECT_VERSION}-${KEZ_DEB_RELEASE})")
  set(CPACK_DEBIAN_DEV_DESCRIPTION "The development files of the engine, a shared library that
instrument-control and data-acquisition programs call.
.
This package holds the C headers, the link to the library, the CMake
package (target kez::dvrt) and the pkg-config file (kez_dvrt).")

  # Each Debian package carries its copyright file and changelog.
  find_program(KEZ_GZIP gzip)
  foreach(package ${KEZ_DEB_LIB_PACKAGE} ${KEZ_DEB_DEV_PACKAGE})
    if(package STREQUAL KEZ_DEB_DEV_PACKAGE)
      set(component dev)
    else()
      set(component runtime)
    endif()
    set(doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package})
    install(FILES cmake/package/debian/copyright DESTINATION ${doc} COMPONENT ${component})
    if(KEZ_GZIP)
      set(changelog ${CMAKE_BINARY_DIR}/package/${package}/changelog.Debian.gz)
      configure_file(cmake/package/debian/changelog.in ${CMAKE_BINARY_DIR}/package/${package}/changelog @ONLY)
      execute_process(COMMAND ${KEZ_GZIP} -9nc ${CMAKE_BINARY_DIR}/package/${package}/changelog
                      OUTPUT_FILE ${changelog})
      install(FILES ${changelog} DESTINATION ${doc} COMPONENT ${component})
    endif()
  endforeach()
endif()

include(CPack)
