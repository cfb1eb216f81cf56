# Cross-builds the same program for x86_64 Windows, shipped beside the 32-bit
# one (it needs no WOW64), and run by the tests under wine64 where 32-bit
# programs cannot run:
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ZAPEXT_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw32.cmake)
