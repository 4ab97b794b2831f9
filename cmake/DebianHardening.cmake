# SPDX-License-Identifier: GPL-3.0-or-later
# Debian's hardening flags, as dpkg-buildflags gives them to every package
# built with "hardening=+all": stack protector, fortified C library calls,
# format checks, read-only relocations, binding at start-up and
# position-independent executables (the compiler's default there). The
# build type keeps its own optimisation and debug flags.
find_program(KELMORA_DPKG_BUILDFLAGS dpkg-buildflags)
if(NOT KELMORA_DPKG_BUILDFLAGS)
  message(STATUS "dpkg-buildflags not found: building without Debian's hardening flags")
  return()
endif()

set(KELMORA_HARDENED ON)
foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
            ${KELMORA_DPKG_BUILDFLAGS} --get ${kind}
    OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "dpkg-buildflags --get ${kind} failed")
  endif()
  separate_arguments(flags UNIX_COMMAND "${flags}")
  set(kept)
  foreach(flag ${flags})
    # Optimisation, debug information and source paths are the build
    # type's business; -Wdate-time guards reproducibility, not the binary.
    if(flag MATCHES "^-(O|g)" OR flag MATCHES "prefix-map=" OR flag STREQUAL "-Wdate-time")
      continue()
    endif()
    list(APPEND kept ${flag})
  endforeach()
  if(kind STREQUAL "LDFLAGS")
    add_link_options(${kept})
  elseif(kind STREQUAL "CPPFLAGS")
    # Fortified calls need the optimiser; without it GCC warns and checks
    # nothing.
    foreach(flag ${kept})
      add_compile_options($<$<NOT:$<CONFIG:Debug>>:${flag}>)
    endforeach()
  else()
    add_compile_options(${kept})
  endif()
  list(JOIN kept " " shown)
  message(STATUS "Hardening ${kind}: ${shown}")
endforeach()
