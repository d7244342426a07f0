# Installs the build into a scratch prefix and checks what a user gets.
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD}" --prefix "${PREFIX}"
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${result}")
endif()
foreach(installed bin/morvet share/man/man1/${MANUAL} share/doc/morvet/README.md
                  share/doc/morvet/LICENSE share/doc/morvet/copyright)
  if(NOT EXISTS "${PREFIX}/${installed}")
    message(FATAL_ERROR "not installed: ${installed}")
  endif()
endforeach()

# Stripped: no symbol table and no debug information.
execute_process(COMMAND "${NM}" "${PREFIX}/bin/morvet"
                OUTPUT_VARIABLE symbols ERROR_VARIABLE symbols)
execute_process(COMMAND "${OBJDUMP}" -h "${PREFIX}/bin/morvet" OUTPUT_VARIABLE sections)
if(NOT symbols MATCHES "no symbols" OR sections MATCHES "[.](debug_|symtab)")
  message(FATAL_ERROR "the installed program is not stripped")
endif()

if(MANUAL MATCHES "[.]gz$")
  execute_process(COMMAND "${GZIP}" -dc "${PREFIX}/share/man/man1/${MANUAL}"
                  OUTPUT_VARIABLE page RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "the manual page is not a valid gzip file")
  endif()
else()
  file(READ "${PREFIX}/share/man/man1/${MANUAL}" page)
endif()
foreach(section "SYNOPSIS" "OPTIONS" "EXIT STATUS" "FILES" "EXAMPLES" "\\-\\-check")
  string(FIND "${page}" "${section}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the manual page lacks ${section}")
  endif()
endforeach()
file(REMOVE_RECURSE "${PREFIX}")
