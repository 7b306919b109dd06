# Shared settings of the two libraries. They run on small ARM boards next to
# applications in any language, so they must carry no C++ runtime: no
# exceptions, no RTTI, no guarded statics, and nothing but the C library (and
# libgcc's static helpers) at link time.
function(q48_library_settings target)
  q48_library_compile_settings(${target})
  set_target_properties(${target} PROPERTIES
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    VERSION ${PROJECT_VERSION}
    SOVERSION 1)
  q48_hardening(${target})
  if(NOT Q48_SANITIZE)
    # The link guard: with the default libraries gone and undefined symbols
    # refused, any stray use of the C++ runtime (operator new, a std::string,
    # a guarded static, a pure virtual) fails the link instead of shipping.
    # The sanitizer runtimes need the defaults, so sanitized builds skip it.
    target_link_options(${target} PRIVATE -nodefaultlibs -Wl,-z,defs -Wl,--as-needed)
    target_link_libraries(${target} PRIVATE c gcc)
  endif()
endfunction()

# The compile half of the settings, for an object library whose objects go
# into a library elsewhere.
function(q48_library_compile_settings target)
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti -fno-threadsafe-statics -fvisibility-inlines-hidden>
    -fvisibility=hidden)
  set_target_properties(${target} PROPERTIES
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  q48_hardening(${target})
endfunction()

# Hardened as Debian builds its own binaries: read-only relocations bound at
# load time, and fortified C library calls. Fortification needs the optimizer
# and stays out of the sanitizer builds.
function(q48_hardening target)
  target_compile_definitions(${target} PRIVATE
    $<$<AND:$<NOT:$<CONFIG:Debug>>,$<NOT:$<BOOL:${Q48_SANITIZE}>>>:_FORTIFY_SOURCE=2>)
  target_link_options(${target} PRIVATE -Wl,-z,relro -Wl,-z,now)
endfunction()
