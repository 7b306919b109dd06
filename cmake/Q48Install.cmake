# What `cmake --install` puts in place, by component: runtime (the two
# libraries and the udev rule), dev (headers, pkg-config files q48tb.pc and
# q48api.pc, the CMake package Q48, the section-3 man pages), tools
# (Q48_Api_Test, q48-list, q48-send, q48-doctor), python (the Python
# package q48) and cups (the CUPS backend, filter and PPD). The programs
# install themselves where they are built; cmake/Q48Packages.cmake makes
# Debian packages of the components.
#
#   cmake --install build --prefix "/some/where"

include(GNUInstallDirs)
# Debian looks for libraries in the multiarch folder, also under /usr/local,
# and the armhf packages must not put their libraries where amd64's go.
# The programs (and GoogleTest) include GNUInstallDirs before this file, so a
# plain "lib" is its default rather than a choice.
set(_libdir ${CMAKE_INSTALL_LIBDIR})
if(_libdir STREQUAL "lib" AND CMAKE_LIBRARY_ARCHITECTURE)
  set(_libdir "lib/${CMAKE_LIBRARY_ARCHITECTURE}")
endif()
set(Q48_INSTALL_LIBDIR ${_libdir} CACHE PATH "Where the Q48 libraries are installed")
include(CMakePackageConfigHelpers)

# Programs installed into a prefix of one's own ($HOME/q48) find that
# prefix's libraries without LD_LIBRARY_PATH: they look next to themselves.
# libQ48Api looks beside itself for libQ48Tb, which a program that uses no
# toolbox function of its own does not load first. Under /usr the loader
# finds the libraries anyway, and Debian's packages carry no search paths,
# so there the paths are taken out again once the files are in place.
function(q48_install_rpath target component origin_to_prefix)
  if(TARGET ${target})
    set_target_properties(${target} PROPERTIES
      INSTALL_RPATH "$ORIGIN/${origin_to_prefix}${Q48_INSTALL_LIBDIR}")
    install(CODE "
      if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
        file(GLOB _files \"\$ENV{DESTDIR}/usr/${ARGN}\")
        foreach(_file IN LISTS _files)
          file(RPATH_REMOVE FILE \"\${_file}\")
        endforeach()
      endif()" COMPONENT ${component})
  endif()
endfunction()

set(Q48_CMAKE_DIR "${Q48_INSTALL_LIBDIR}/cmake/Q48")

# Consumers see the headers where they are installed.
foreach(lib Q48Tb Q48Api)
  target_include_directories(${lib} PUBLIC $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
endforeach()
set_target_properties(Q48Tb PROPERTIES EXPORT_NAME Tb)
set_target_properties(Q48Api PROPERTIES EXPORT_NAME Api)

install(TARGETS Q48Tb Q48Api EXPORT Q48Targets
        LIBRARY DESTINATION ${Q48_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_SKIP)
set_target_properties(Q48Api PROPERTIES INSTALL_RPATH "$ORIGIN")
install(CODE "
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    file(RPATH_REMOVE FILE \"\$ENV{DESTDIR}/usr/${Q48_INSTALL_LIBDIR}/$<TARGET_FILE_NAME:Q48Api>\")
  endif()" COMPONENT runtime)
q48_install_rpath(Q48_Api_Test tools "../" bin/Q48_Api_Test)
q48_install_rpath(q48-list tools "../" bin/q48-list)
q48_install_rpath(q48-send tools "../" bin/q48-send)
q48_install_rpath(q48-doctor tools "../" bin/q48-doctor)
q48_install_rpath(q48-cups-backend cups "../../../" lib/cups/backend/q48)
q48_install_rpath(q48-coded-to-raw cups "../../../" lib/cups/filter/q48-coded-to-raw)
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

# Debian wants man pages and changelogs compressed, without time stamps.
find_program(Q48_GZIP gzip REQUIRED)
set(_gz_outputs "")
# page:component
set(_pages Q48_Api_Test.1:tools)
if(Q48_BUILD_TOOLS)
  list(APPEND _pages q48-list.1:tools q48-send.1:tools q48-doctor.1:tools)
endif()
if(Q48_CUPS)
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

# Where Debian's python3 looks for packages that dpkg installs. Pure Python,
# so the same files serve every architecture.
install(DIRECTORY python/q48/ DESTINATION lib/python3/dist-packages/q48 COMPONENT python
        FILES_MATCHING PATTERN "*.py" PATTERN "py.typed" PATTERN "__pycache__" EXCLUDE)

install(FILES packaging/udev/60-q48-printer.rules
        DESTINATION lib/udev/rules.d COMPONENT runtime)

# Every package carries its copyright and changelog.
set(_packages runtime:libq48-1 dev:libq48-dev tools:q48-tools python:python3-q48)
if(Q48_CUPS)
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

