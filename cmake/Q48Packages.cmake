# The Debian packages CPack makes of the install components (see
# cmake/Q48Install.cmake): libq48-1, libq48-dev, q48-tools, python3-q48 (for
# every architecture) and, where the CUPS programs are built, q48-cups.
#
#   (cd build && cpack -G DEB)

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
if(Q48_CUPS)
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

# CPack does not run dpkg-shlibdeps here, so the dependencies are spelled out
# for both architectures: what it finds in the native build, or stricter. The
# armhf binaries load the same libraries and need no newer glibc symbol
# version; scripts/build-packages.sh checks both.
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
# q48-doctor asks cupsd about its queues where it was built with libcups.
if(TARGET q48_cups AND Q48_BUILD_TOOLS)
  string(APPEND CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS ", libcups2 (>= 1.7.0)")
endif()
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "Q48 receipt printer command-line tools
q48-list shows the attached Q48 printers, q48-send sends coded command text
to one and shows its answer, Q48_Api_Test sends a form feed and prints a
protocol of each step. q48-doctor checks what stands between a user and a
printed receipt (the printers, access to them, the CUPS queues) and names
the command that fixes each problem.")

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
    "libq48-1 (= ${_deb_version}), libc6 (>= 2.34), libusb-1.0-0 (>= 2:1.0.22)")
set(CPACK_DEBIAN_CUPS_PACKAGE_RECOMMENDS "cups-daemon")
set(CPACK_COMPONENT_CUPS_DESCRIPTION "Q48 receipt printer - CUPS backend, filter and PPD
The backend q48 lists the attached Q48 printers by serial number and
prints through libQ48Api; the filter q48-coded-to-raw turns coded command
text (*.q48 files) into printer bytes. With the PPD of the Q48 receipt
printer a CUPS queue takes raw jobs and coded text from lp, scripts and
applications.")

include(CPack)
