# Runs as `cmake -P`: a fresh staging install, then the consumer build.
file(REMOVE_RECURSE "${STAGE}" "${WORK}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${STAGE}"
                OUTPUT_QUIET RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install into '${STAGE}' failed: ${rc}")
endif()
foreach(f include/Q48_Api.h include/Q48_Tb.h bin/q48-send bin/q48-list bin/Q48_Api_Test
          bin/q48-doctor lib/udev/rules.d/60-q48-printer.rules share/man/man1/q48-send.1.gz
          share/man/man1/q48-doctor.1.gz)
  if(NOT EXISTS "${STAGE}/${f}")
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
# The programs find the prefix's libraries on their own: no LD_LIBRARY_PATH.
set(_programs "bin/q48-send\;--help" "bin/q48-list" "bin/Q48_Api_Test" "bin/q48-doctor\;--help"
              "lib/cups/backend/q48" "lib/cups/filter/q48-coded-to-raw\;1\;u\;t\;1\;\;/dev/null")
foreach(program IN LISTS _programs)
  list(GET program 0 file)
  if(NOT EXISTS "${STAGE}/${file}")
    continue() # the CUPS programs are built only where libcups is found
  endif()
  list(TRANSFORM program PREPEND "${STAGE}/" AT 0)
  execute_process(COMMAND env -u LD_LIBRARY_PATH ${program}
                  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
  if(err MATCHES "error while loading shared libraries" OR rc EQUAL 127)
    message(FATAL_ERROR "${file} does not find its libraries: ${err}")
  endif()
endforeach()
# Under /usr, where the packages go, the search paths are taken out again.
file(REMOVE_RECURSE "${WORK}-usr")
execute_process(COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${WORK}-usr
                        ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix /usr
                OUTPUT_QUIET RESULT_VARIABLE rc)
file(GLOB_RECURSE _usr_files LIST_DIRECTORIES false "${WORK}-usr/usr/bin/*" "${WORK}-usr/usr/lib/*q48*"
     "${WORK}-usr/usr/lib/*/libQ48Api.so.*")
foreach(f IN LISTS _usr_files)
  execute_process(COMMAND readelf -d "${f}" OUTPUT_VARIABLE dynamic ERROR_QUIET)
  if(dynamic MATCHES "RUNPATH|RPATH")
    message(FATAL_ERROR "a search path left in ${f}")
  endif()
endforeach()
file(REMOVE_RECURSE "${WORK}-usr")

# The soname links: the runtime one and the one for building.
foreach(lib Q48Api Q48Tb)
  foreach(name lib${lib}.so.1 lib${lib}.so)
    file(GLOB_RECURSE found LIST_DIRECTORIES false "${STAGE}/lib/${name}")
    if(NOT found)
      message(FATAL_ERROR "not installed: ${name}")
    endif()
    if(NOT IS_SYMLINK "${found}")
      message(FATAL_ERROR "not a link: ${found}")
    endif()
  endforeach()
endforeach()
# Every exported function has its section-3 page, and man finds it in the
# tree: the page for open is the one that lists open's codes.
if(MAN_PAGES)
  foreach(list IN LISTS SYMBOL_LISTS)
    file(STRINGS "${list}" symbols REGEX "^Q48_(api|tb)_")
    foreach(fn IN LISTS symbols)
      if(NOT EXISTS "${STAGE}/share/man/man3/${fn}.3.gz")
        message(FATAL_ERROR "no man page for ${fn}")
      endif()
    endforeach()
  endforeach()
  execute_process(COMMAND man -M "${STAGE}/share/man" -P cat 3 Q48_api_printer_open
                  OUTPUT_VARIABLE page ERROR_VARIABLE man_err RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0 OR NOT page MATCHES "Q48_api_printer_open \\(char \\*port\\)"
     OR NOT page MATCHES "Q48_API_CLAIM_TIMEOUT +\\(-4\\)")
    message(FATAL_ERROR "man 3 Q48_api_printer_open from the tree: ${rc} ${man_err}\n${page}")
  endif()
  # Doxygen's man output passes some backslashes on as they stand, which
  # troff then takes for escapes: every page must render without a word.
  file(GLOB pages "${STAGE}/share/man/man3/*.3.gz")
  foreach(page IN LISTS pages)
    execute_process(COMMAND sh -c "zcat \"$0\" | groff -man -ww -z" "${page}" ERROR_VARIABLE said)
    if(said)
      message(FATAL_ERROR "${page} does not render cleanly:\n${said}")
    endif()
  endforeach()
endif()
execute_process(COMMAND bash "${SCRIPT}" "${WORK}" "${STAGE}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "consumer test failed: ${rc}")
endif()
