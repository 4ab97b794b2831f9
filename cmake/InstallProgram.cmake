# SPDX-License-Identifier: GPL-3.0-or-later
# kelmora_install_program(TARGET COMPONENT): installs a program into the
# binary folder as part of COMPONENT. A stripped install (cpack, or
# cmake --install --strip) also drops the .comment section: the
# compiler's version notes say nothing to a user and make the program
# differ by the compiler that built it, so Debian's packages leave them out.
function(kelmora_install_program target component)
  if(WIN32)
    # The zip holds the program at its top, as Windows users unpack and run it.
    install(TARGETS ${target} RUNTIME DESTINATION . COMPONENT ${component})
    return()
  endif()
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${component})
  if(CMAKE_OBJCOPY)
    set(installed "\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${target}")
    install(CODE "
      if(CMAKE_INSTALL_DO_STRIP)
        execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment \"${installed}\"
                        RESULT_VARIABLE failed)
        if(failed)
          message(FATAL_ERROR \"cannot remove .comment from ${installed}\")
        endif()
      endif()" COMPONENT ${component})
  endif()
endfunction()
