# The reference manual: `cmake --build <dir> --target docs` runs doxygen over
# the two public headers and docs/*.md into <dir>/docs/html and
# <dir>/docs/man. The man pages of the exported functions are part of every
# build, so that `cmake --install` and the -dev package carry them.
set(Q48_DOCS_WARN_AS_ERROR YES CACHE STRING "doxygen WARN_AS_ERROR: YES, NO or FAIL_ON_WARNINGS")
if(NOT DOXYGEN_FOUND)
  message(FATAL_ERROR "Q48_BUILD_DOCS needs doxygen (apt-get install doxygen)")
endif()

set(Q48_DOCS_DIR ${CMAKE_BINARY_DIR}/docs)
configure_file(${PROJECT_SOURCE_DIR}/docs/Doxyfile.in ${Q48_DOCS_DIR}/Doxyfile @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/docs/Doxyfile-man.in ${Q48_DOCS_DIR}/Doxyfile-man @ONLY)
set(_stamp ${Q48_DOCS_DIR}/docs.stamp)
set(Q48_MAN3_DIR ${CMAKE_BINARY_DIR}/packaging/man3)
file(GLOB _doc_pages CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
add_custom_command(OUTPUT ${_stamp}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${Q48_DOCS_DIR}/html ${Q48_DOCS_DIR}/man
  COMMAND Doxygen::doxygen ${Q48_DOCS_DIR}/Doxyfile
  COMMAND Doxygen::doxygen ${Q48_DOCS_DIR}/Doxyfile-man
  COMMAND ${CMAKE_COMMAND} -DMAN_DIR=${Q48_DOCS_DIR}/man/man3 -DOUT_DIR=${Q48_MAN3_DIR}
          -DGZIP=${Q48_GZIP} -P ${PROJECT_SOURCE_DIR}/cmake/q48_man_pages.cmake
  COMMAND ${CMAKE_COMMAND} -E touch ${_stamp}
  DEPENDS ${Q48_DOCS_DIR}/Doxyfile ${Q48_DOCS_DIR}/Doxyfile-man ${_doc_pages}
          ${PROJECT_SOURCE_DIR}/docs/man_quotes.sed
          ${PROJECT_SOURCE_DIR}/cmake/q48_man_pages.cmake
          ${PROJECT_SOURCE_DIR}/Q48_Api/Sources/Q48_Api.h
          ${PROJECT_SOURCE_DIR}/Q48_Tb/Sources/Q48_Tb.h
  COMMENT "Building the reference manual (HTML and man pages)" VERBATIM)
add_custom_target(docs ALL DEPENDS ${_stamp})
install(DIRECTORY ${Q48_MAN3_DIR}/ DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT dev)
