# What `cmake --install` puts in place, and the Debian packages CPack makes of
# it: libq48-1 (the two libraries and the udev rule), libq48-dev (headers,
# pkg-config files q48tb.pc and q48api.pc, the CMake package Q48, the
# section-3 man pages), q48-tools (Q48_Api_Test, q48-list, q48-send),
# python3-q48 (the Python package q48, for every architecture) and, on
# amd64, q48-cups (the CUPS backend, filter and PPD).
#
#   cmake --install build --prefix "/some/where"
#   (cd build && cpack -G DEB)

add_subdirectory(shared)
add_subdirectory(tools)
add_subdirectory(examples)
if(Q48_WITH_CUPS)
  add_subdirectory(cups)
endif()

include(GNUInstallDirs)
# Debian looks for libraries in the multiarch folder, also under /usr/local,
# and the armhf packages must not put their libraries where amd64's go.
# GoogleTest has included GNUInstallDirs before us, so a plain "lib" is its
# default rather than a choice.
set(_libdir ${CMAKE_INSTALL_LIBDIR})
if(_libdir STREQUAL "lib" AND CMAKE_LIBRARY_ARCHITECTURE)
  set(_libdir "lib/${CMAKE_LIBRARY_ARCHITECTURE}")
endif()
set(Q48_INSTALL_LIBDIR ${_libdir} CACHE PATH "Where the Q48 libraries are installed")
include(CMakePackageConfigHelpers)

set(Q48_CMAKE_DIR "${Q48_INSTALL_LIBDIR}/cmake/Q48")

# Consumers see the headers where they are installed.
foreach(lib Q48Tb Q48Api)
  target_include_directories(${lib} PUBLIC $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
endforeach()
set_target_properties(Q48Tb PROPERTIES EXPORT_NAME Tb)
set_target_properties(Q48Api PROPERTIES EXPORT_NAME Api)

install(TARGETS Q48Tb Q48Api EXPORT Q48Targets
        LIBRARY DESTINATION ${Q48_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_SKIP)
# The unversioned link is only for building against the libraries.
install(TARGETS Q48Tb Q48Api
        LIBRARY DESTINATION ${Q48_INSTALL_LIBDIR} COMPONENT dev NAMELINK_ONLY)
install(FILES Q48_Tb/Sources/Q48_Tb.h Q48_Api/Sources/Q48_Api.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)

# The .pc files find their prefix from where they lie, so a staged or moved
# tree works as well as /usr.
file(RELATIVE_PATH Q48_PC_TO_PREFIX "/q48/${Q48_INSTALL_LIBDIR}/pkgconfig" "/q48")
string(REGEX REPLACE "/$" "" Q48_PC_TO_PREFIX "${Q48_PC_TO_PREFIX}")
foreach(pc q48tb q48api)
  configure_file(packaging/pkgconfig/${pc}.pc.in ${CMAKE_BINARY_DIR}/packaging/${pc}.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/${pc}.pc
          DESTINATION ${Q48_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
endforeach()

install(EXPORT Q48Targets NAMESPACE Q48:: DESTINATION ${Q48_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(packaging/cmake/Q48Config.cmake.in
  ${CMAKE_BINARY_DIR}/packaging/Q48Config.cmake INSTALL_DESTINATION ${Q48_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/packaging/Q48ConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/packaging/Q48Config.cmake
              ${CMAKE_BINARY_DIR}/packaging/Q48ConfigVersion.cmake
        DESTINATION ${Q48_CMAKE_DIR} COMPONENT dev)

install(TARGETS Q48_Api_Test q48-list q48-send
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)

# Debian wants man pages and changelogs compressed, without time stamps.
find_program(Q48_GZIP gzip REQUIRED)
set(_gz_outputs "")
# page:component
set(_pages Q48_Api_Test.1:tools q48-list.1:tools q48-send.1:tools)
if(Q48_WITH_CUPS)
  list(APPEND _pages q48-cups.7:cups)
endif()
foreach(pair ${_pages})
  string(REPLACE ":" ";" pair ${pair})
  list(GET pair 0 page)
  list(GET pair 1 comp)
  string(REGEX REPLACE ".*\\." "" section ${page})
  set(_src ${PROJECT_SOURCE_DIR}/packaging/man/${page})
  set(_gz ${CMAKE_BINARY_DIR}/packaging/man/${page}.gz)
  add_custom_command(OUTPUT ${_gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging/man
    COMMAND ${Q48_GZIP} -9nc ${_src} > ${_gz}
    DEPENDS ${_src} VERBATIM)
  list(APPEND _gz_outputs ${_gz})
  install(FILES ${_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${comp})
endforeach()
set(_changelog_gz ${CMAKE_BINARY_DIR}/packaging/changelog.Debian.gz)
add_custom_command(OUTPUT ${_changelog_gz}
  COMMAND ${Q48_GZIP} -9nc ${PROJECT_SOURCE_DIR}/packaging/debian/changelog > ${_changelog_gz}
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog VERBATIM)
add_custom_target(q48_packaging_files ALL DEPENDS ${_gz_outputs} ${_changelog_gz})
include(cmake/Q48Docs.cmake)

# Where Debian's python3 looks for packages that dpkg installs. Pure Python,
# so the same files serve every architecture.
install(DIRECTORY python/q48/ DESTINATION lib/python3/dist-packages/q48 COMPONENT python
        FILES_MATCHING PATTERN "*.py" PATTERN "py.typed" PATTERN "__pycache__" EXCLUDE)

install(FILES packaging/udev/60-q48-printer.rules
        DESTINATION lib/udev/rules.d COMPONENT runtime)

# Every package carries its copyright and changelog.
set(_packages runtime:libq48-1 dev:libq48-dev tools:q48-tools python:python3-q48)
if(Q48_WITH_CUPS)
  list(APPEND _packages cups:q48-cups)
endif()
foreach(pair ${_packages})
  string(REPLACE ":" ";" pair ${pair})
  list(GET pair 0 comp)
  list(GET pair 1 pkg)
  install(FILES packaging/debian/copyright ${_changelog_gz}
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${pkg} COMPONENT ${comp})
endforeach()
install(FILES packaging/debian/libq48-1.lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME libq48-1
        COMPONENT runtime)

# ---- Debian packages -------------------------------------------------------
# The architecture is that of the build, not of the machine running CPack.
if(CMAKE_CROSSCOMPILING AND CMAKE_LIBRARY_ARCHITECTURE)
  execute_process(COMMAND dpkg-architecture -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
                  OUTPUT_VARIABLE Q48_DEB_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
else()
  execute_process(COMMAND dpkg --print-architecture
                  OUTPUT_VARIABLE Q48_DEB_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME q48)
set(CPACK_PACKAGE_VENDOR "Mirelvank")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CONTACT "Q48 maintainers <q48@mirelvank.example>")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev tools python)
if(Q48_WITH_CUPS)
  list(APPEND CPACK_COMPONENTS_ALL cups)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${Q48_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://mirelvank.example/q48")
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# shlibs (and with them the ldconfig trigger) for the library package; "="
# because the libraries add symbols only with a new version.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")
set(_deb_version "${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")

# dpkg-shlibdeps cannot look into armhf binaries on an amd64 machine, so the
# dependencies are spelled out; they are what it finds in the native build.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libq48-1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# Our own scripts keep CPack from calling ldconfig in them: the trigger does it.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/triggers ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libc6 (>= 2.34), libusb-1.0-0 (>= 2:1.0.22)")
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "Q48 receipt printer libraries
libQ48Api opens a Q48 printer by path (raw USB device, USB line-printer
node or serial port) and writes and reads it with millisecond time-outs.
libQ48Tb turns coded command text into printer bytes and back.
.
A udev rule gives the logged-in user and the lp group access to the
printer's USB device.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libq48-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libq48-1 (= ${_deb_version}), libusb-1.0-0-dev")
set(CPACK_COMPONENT_DEV_DESCRIPTION "Q48 receipt printer libraries - development files
Headers Q48_Api.h and Q48_Tb.h, pkg-config files q48api and q48tb, and the
CMake package Q48 with the imported targets Q48::Api and Q48::Tb.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME q48-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS
    "libq48-1 (= ${_deb_version}), libc6 (>= 2.34), libusb-1.0-0 (>= 2:1.0.22)")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "Q48 receipt printer command-line tools
q48-list shows the attached Q48 printers, q48-send sends coded command text
to one and shows its answer, Q48_Api_Test sends a form feed and prints a
protocol of each step.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-q48)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
# Any libq48-1 from 1.0.0 on: the package needs only the sonames' first
# symbols, and an exact version would tie it to one architecture's build.
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "libq48-1 (>= 1.0.0), python3")
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/python3-q48/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/python3-q48/prerm)
set(CPACK_COMPONENT_PYTHON_DESCRIPTION "Q48 receipt printer libraries - Python 3 package
The package q48 opens a Q48 printer, writes and reads it with millisecond
time-outs, and turns coded command text into printer bytes and back, over
libQ48Api and libQ48Tb through ctypes. It is typed, and serialises the
access library's calls between threads.")

set(CPACK_DEBIAN_CUPS_PACKAGE_NAME q48-cups)
set(CPACK_DEBIAN_CUPS_PACKAGE_SECTION net)
set(CPACK_DEBIAN_CUPS_PACKAGE_DEPENDS
    "libq48-1 (= ${_deb_version}), libc6 (>= 2.34), libcups2 (>= 2.3~), libusb-1.0-0 (>= 2:1.0.22)")
set(CPACK_DEBIAN_CUPS_PACKAGE_RECOMMENDS "cups-daemon")
set(CPACK_COMPONENT_CUPS_DESCRIPTION "Q48 receipt printer - CUPS backend, filter and PPD
The backend q48 lists the attached Q48 printers by serial number and
prints through libQ48Api; the filter q48-coded-to-raw turns coded command
text (*.q48 files) into printer bytes. With the PPD of the Q48 receipt
printer a CUPS queue takes raw jobs and coded text from lp, scripts and
applications.")

include(CPack)
