# Runs as `cmake -P` after doxygen: picks the man pages that the -dev package
# installs from doxygen's output and gzips them as Debian wants (-n: no time
# stamp). Doxygen writes a page per header and, for every member, a stub
# that sources it; the exported functions keep theirs, as symbolic links,
# which Debian prefers to `.so` stubs. The macros and globals keep none:
# names such as `communication` do not belong in man3 at large.
file(REMOVE_RECURSE "${OUT_DIR}")
file(MAKE_DIRECTORY "${OUT_DIR}")
file(GLOB pages RELATIVE "${MAN_DIR}" "${MAN_DIR}/*.3")
set(kept 0)
foreach(page IN LISTS pages)
  # The guides stay in the HTML manual: doxygen's man output hands the
  # backslashes of their transcripts to troff unescaped (\n, \033).
  if(page MATCHES "^q48_(install|tools|building|python|cups|armhf|troubleshooting|inside)\\.3$")
    continue()
  endif()
  file(READ "${MAN_DIR}/${page}" text)
  if(text MATCHES "^\\.so man3/([^\n]+)")
    set(target "${CMAKE_MATCH_1}")
    if(page MATCHES "^Q48_(api|tb)_[a-z_]+\\.3$")
      file(CREATE_LINK "${target}.gz" "${OUT_DIR}/${page}.gz" SYMBOLIC)
      math(EXPR kept "${kept} + 1")
    endif()
  else()
    # The double quotes that docs/man_quotes.sed marked, as troff spells them.
    string(REPLACE "Q48DQUOTE" "\\(dq" text "${text}")
    file(WRITE "${OUT_DIR}/${page}" "${text}")
    execute_process(COMMAND "${GZIP}" -9n "${OUT_DIR}/${page}" RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "gzip ${page}: ${rc}")
    endif()
  endif()
endforeach()
if(kept EQUAL 0)
  message(FATAL_ERROR "doxygen wrote no page for any exported function in ${MAN_DIR}")
endif()
