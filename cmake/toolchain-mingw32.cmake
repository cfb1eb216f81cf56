# Cross-builds the 32-bit Windows console program with mingw-w64:
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw32.cmake
# toolchain-mingw64.cmake sets the two names below first, for an x86_64 build.
set(CMAKE_SYSTEM_NAME Windows)
if(NOT ZAPEXT_MINGW_PREFIX)
  set(CMAKE_SYSTEM_PROCESSOR i686)
  set(ZAPEXT_MINGW_PREFIX i686-w64-mingw32)
endif()
set(CMAKE_CXX_COMPILER ${ZAPEXT_MINGW_PREFIX}-g++)
# C only for GoogleTest, in the unit tests that run under wine.
set(CMAKE_C_COMPILER ${ZAPEXT_MINGW_PREFIX}-gcc)

set(CMAKE_FIND_ROOT_PATH /usr/${ZAPEXT_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The program must run on a bare Windows: no libgcc, libstdc++ or
# winpthread DLL beside it, only the system's own.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
