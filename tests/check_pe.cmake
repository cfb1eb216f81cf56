# Checks that zapext.exe (EXE) is a console program of the kind KIND (PE32,
# the default: 32-bit; PE32+: x86_64, which needs no WOW64) that needs no DLL
# beyond the system's own, so it runs on a bare Windows. Not user32 either:
# with it loaded, Windows never calls a console program's handler for logoff
# or shutdown.
#   cmake -DOBJDUMP=i686-w64-mingw32-objdump -DEXE=zapext.exe [-DKIND=PE32+] -P check_pe.cmake
cmake_minimum_required(VERSION 3.16)
set(system_dlls kernel32.dll msvcrt.dll ntdll.dll)

execute_process(COMMAND ${OBJDUMP} -p ${EXE} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${OBJDUMP} cannot read ${EXE}")
endif()
if(NOT KIND)
  set(KIND PE32)
endif()
set(magic_PE32 010b)
set(magic_PE32+ 020b)
if(NOT dump MATCHES "Magic[\t ]+${magic_${KIND}}")
  message(FATAL_ERROR "${EXE} is not a ${KIND} program")
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
    string(REPLACE ";" ", " allowed "${system_dlls}")
    message(FATAL_ERROR "${EXE} needs ${dll}; it may need only ${allowed}")
  endif()
  message(STATUS "imports ${dll}")
endforeach()
