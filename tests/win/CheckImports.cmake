# SPDX-License-Identifier: MIT
# Fails when an executable's import table names WS2_32.DLL. Run as
# cmake -DOBJDUMP=<cross objdump> -DEXECUTABLES=<a;b> -P CheckImports.cmake
foreach(exe ${EXECUTABLES})
  execute_process(COMMAND ${OBJDUMP} -p ${exe} OUTPUT_VARIABLE dump RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} -p ${exe} failed")
  endif()
  string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
  string(TOUPPER "${imports}" imports)
  # The check itself works only when the table was read: every program imports kernel32.
  if(NOT imports MATCHES "KERNEL32\\.DLL")
    message(FATAL_ERROR "${exe}: no import table found (${imports})")
  endif()
  if(imports MATCHES "WS2_32\\.DLL")
    message(FATAL_ERROR "${exe} imports WS2_32.DLL: ${imports}")
  endif()
  message(STATUS "${exe}: ${imports}")
endforeach()
