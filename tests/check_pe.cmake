# Checks that zapext.exe (EXE) is a 32-bit console program that needs no DLL
# beyond the system's own, so it runs on a bare Windows.
#   cmake -DOBJDUMP=i686-w64-mingw32-objdump -DEXE=zapext.exe -P check_pe.cmake
cmake_minimum_required(VERSION 3.16)
set(system_dlls kernel32.dll msvcrt.dll ntdll.dll user32.dll)

execute_process(COMMAND ${OBJDUMP} -p ${EXE} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${OBJDUMP} cannot read ${EXE}")
endif()
if(NOT dump MATCHES "Magic[\t ]+010b")
  message(FATAL_ERROR "${EXE} is not a 32-bit (PE32) program")
endif()
if(NOT dump MATCHES "Subsystem[\t ]+00000003")
  message(FATAL_ERROR "${EXE} is not a console program")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
if(NOT imports)
  message(FATAL_ERROR "${EXE} imports nothing: is this the right file?")
endif()
foreach(import IN LISTS imports)
  string(REPLACE "DLL Name: " "" dll "${import}")
  string(TOLOWER "${dll}" dll)
  if(NOT dll IN_LIST system_dlls)
    message(FATAL_ERROR "${EXE} needs ${dll}, which a bare Windows does not have")
  endif()
  message(STATUS "imports ${dll}")
endforeach()
