# The Windows build under wine. zapext.exe, the 32-bit and the 64-bit
# programs we ship, are cross-built with mingw-w64 by CMake builds of their
# own, and their headers and imports are checked. The scenarios run against
# the 32-bit one under wine where this machine runs 32-bit programs; where it
# does not (a kernel without IA-32 emulation), against the 64-bit one, under
# wine64. Which
# way is decided by trying the 32-bit wine loader, and said at configure time,
# by the fixture and in any failure. A CTest fixture makes the wine prefix
# once per test run. With no way, the scenarios are skipped (failed under CI).
include(ExternalProject)
find_program(ZAPEXT_MINGW_CXX i686-w64-mingw32-g++)
find_program(ZAPEXT_MINGW_OBJDUMP i686-w64-mingw32-objdump)
find_program(ZAPEXT_MINGW64_CXX x86_64-w64-mingw32-g++)
find_program(ZAPEXT_MINGW64_OBJDUMP x86_64-w64-mingw32-objdump)
# Where Debian's wine32 and wine64 put their loaders and servers.
find_program(ZAPEXT_WINE_LOADER wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(ZAPEXT_WINE64_LOADER wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(ZAPEXT_WINESERVER NAMES wineserver64 wineserver32 PATHS /usr/lib/wine NO_DEFAULT_PATH)

# Cross-builds zapext.exe with the toolchain file into build/tests/DIR; the
# build that wine runs (UNIT_TESTS ON) also its unit tests.
function(zapext_windows_build dir toolchain unit_tests)
  ExternalProject_Add(zapext_${dir}
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${CMAKE_CURRENT_BINARY_DIR}/${dir}
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/${toolchain}
      -DCMAKE_BUILD_TYPE=Release
      -DBUILD_TESTING=OFF
      -DZAPEXT_WINDOWS_UNIT_TESTS=${unit_tests}
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    BUILD_BYPRODUCTS ${CMAKE_CURRENT_BINARY_DIR}/${dir}/zapext.exe)
endfunction()

# Sets VAR to "" when LOADER starts on this machine, else to why it does not.
function(zapext_wine_fails var loader package)
  if(NOT loader)
    set(${var} "no ${package}" PARENT_SCOPE)
    return()
  endif()
  execute_process(COMMAND ${loader} --version RESULT_VARIABLE failed
                  OUTPUT_QUIET ERROR_QUIET TIMEOUT 60)
  set(${var} "" PARENT_SCOPE)
  if(failed)
    set(${var} "${loader} does not start: ${failed}" PARENT_SCOPE)
  endif()
endfunction()

zapext_wine_fails(no_wine32 "${ZAPEXT_WINE_LOADER}" wine32)
if(no_wine32 AND ZAPEXT_WINE_LOADER)
  # The usual reason, told apart from a broken wine32.
  execute_process(COMMAND /lib/ld-linux.so.2 --help RESULT_VARIABLE no_ia32
                  OUTPUT_QUIET ERROR_QUIET)
  if(no_ia32)
    set(no_wine32 "this machine runs no 32-bit programs")
  endif()
endif()

# Checks that build/tests/DIR/zapext.exe is a standalone console program of
# the given kind (PE32 or PE32+).
function(zapext_check_exe dir objdump kind)
  add_test(NAME ${dir}_exe_is_a_standalone_console_program
    COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${objdump} -DKIND=${kind}
            -DEXE=${CMAKE_CURRENT_BINARY_DIR}/${dir}/zapext.exe
            -P ${CMAKE_CURRENT_SOURCE_DIR}/check_pe.cmake)
endfunction()

# Which build wine runs: the 32-bit one where it can.
set(wine32_runs OFF)
if(ZAPEXT_MINGW_CXX AND ZAPEXT_MINGW_OBJDUMP AND NOT no_wine32)
  set(wine32_runs ON)
endif()
if(wine32_runs)
  set(wine64_runs OFF)
else()
  set(wine64_runs ON)
endif()

if(ZAPEXT_MINGW64_CXX AND ZAPEXT_MINGW64_OBJDUMP)
  zapext_windows_build(win64 toolchain-mingw64.cmake ${wine64_runs})
  zapext_check_exe(win64 ${ZAPEXT_MINGW64_OBJDUMP} PE32+)
endif()

set(wine_loader "")
if(ZAPEXT_MINGW_CXX AND ZAPEXT_MINGW_OBJDUMP)
  zapext_windows_build(win32 toolchain-mingw32.cmake ${wine32_runs})
  zapext_check_exe(win32 ${ZAPEXT_MINGW_OBJDUMP} PE32)
  if(NOT no_wine32)
    set(wine_build win32)
    set(wine_loader ${ZAPEXT_WINE_LOADER})
    set(wine_way "the 32-bit zapext.exe under wine (this machine runs 32-bit programs)")
  else()
    zapext_wine_fails(no_wine64 "${ZAPEXT_WINE64_LOADER}" wine64)
    if(no_wine64)
      set(wine_way "${no_wine32}, and ${no_wine64}")
    elseif(NOT TARGET zapext_win64)
      set(wine_way "${no_wine32}, and no x86_64-w64-mingw32-g++ for wine64")
    else()
      set(wine_build win64)
      set(wine_loader ${ZAPEXT_WINE64_LOADER})
      set(wine_way "x86_64 build under wine64 (${no_wine32})")
    endif()
  endif()
else()
  set(wine_way "no i686-w64-mingw32-g++ to build zapext.exe")
endif()
if(wine_loader)
  message(STATUS "Windows scenarios: ${wine_way}")
else()
  message(STATUS "Windows scenarios skipped: ${wine_way}")
endif()

# The scenarios run as nobody need a prefix and a zapext.exe that nobody can
# reach, and the build tree may lie below a directory only its owner may
# enter (a fresh mktemp -d): the fixture works in a directory of /tmp named
# after this build, and runs a copy of zapext.exe there.
string(MD5 build_key "${CMAKE_CURRENT_BINARY_DIR}")
string(SUBSTRING "${build_key}" 0 12 build_key)
set(wine_dir /tmp/zapext-wine-${build_key})
add_executable(zapext_e2e_wine e2e_wine_test.cpp)
target_link_libraries(zapext_e2e_wine PRIVATE zapext_e2e_support GTest::gtest_main)
target_compile_definitions(zapext_e2e_wine PRIVATE
  ZAPEXT_WINE_LOADER="${wine_loader}" ZAPEXT_WINESERVER="${ZAPEXT_WINESERVER}"
  ZAPEXT_WINE_WAY="${wine_way}" ZAPEXT_WINE_DIR="${wine_dir}" ZAPEXT_WINE_BUILD="${wine_build}")

if(NOT wine_loader)
  gtest_discover_tests(zapext_e2e_wine)
  return()
endif()

add_dependencies(zapext_e2e_wine zapext_${wine_build})
add_test(NAME wine_prefix_start COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/wine_prefix.sh start
         ${wine_dir} ${CMAKE_CURRENT_BINARY_DIR}/${wine_build}/zapext.exe)
add_test(NAME wine_prefix_stop COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/wine_prefix.sh stop ${wine_dir})
set_tests_properties(wine_prefix_start wine_prefix_stop PROPERTIES ENVIRONMENT
  "WINELOADER=${wine_loader};WINESERVER=${ZAPEXT_WINESERVER};ZAPEXT_WINE_WAY=${wine_way}")
set_tests_properties(wine_prefix_start PROPERTIES FIXTURES_SETUP wine)
set_tests_properties(wine_prefix_stop PROPERTIES FIXTURES_CLEANUP wine)
gtest_discover_tests(zapext_e2e_wine PROPERTIES FIXTURES_REQUIRED wine)

# The Windows file system over each kind of volume (tests/volume_kinds.h),
# through the real sweep; "bak" is the argument its front end reads.
add_test(NAME wine_VolumeSweep
  COMMAND ${wine_loader} ${CMAKE_CURRENT_BINARY_DIR}/${wine_build}/tests/win32/zapext_volume_tests.exe bak
  WORKING_DIRECTORY ${wine_dir})
set_tests_properties(wine_VolumeSweep PROPERTIES FIXTURES_REQUIRED wine ENVIRONMENT
  "WINELOADER=${wine_loader};WINESERVER=${ZAPEXT_WINESERVER};WINEDEBUG=-all;WINEPREFIX=${wine_dir}/prefix;LC_ALL=C.UTF-8")
