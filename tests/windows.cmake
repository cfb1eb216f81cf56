# The Windows build under wine: zapext.exe is cross-built by a second CMake
# build with the mingw-w64 toolchain, and the scenarios run against it in a
# wine prefix that a CTest fixture makes once per test run. Without the cross
# compiler or wine the scenarios are still listed, and skipped.
find_program(ZAPEXT_MINGW_CXX i686-w64-mingw32-g++)
find_program(ZAPEXT_MINGW_OBJDUMP i686-w64-mingw32-objdump)
find_program(ZAPEXT_WINE wine)

set(win32_binary "")
if(ZAPEXT_MINGW_CXX AND ZAPEXT_MINGW_OBJDUMP AND ZAPEXT_WINE)
  include(ExternalProject)
  set(win32_dir ${CMAKE_CURRENT_BINARY_DIR}/win32)
  set(win32_binary ${win32_dir}/zapext.exe)
  ExternalProject_Add(zapext_win32
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${win32_dir}
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/toolchain-mingw32.cmake
      -DCMAKE_BUILD_TYPE=Release
      -DBUILD_TESTING=OFF
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    BUILD_BYPRODUCTS ${win32_binary})
else()
  message(STATUS "No i686-w64-mingw32-g++ or wine: the wine scenarios will be skipped")
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
  ZAPEXT_WIN32_BUILT=$<BOOL:${win32_binary}> ZAPEXT_WINE_DIR="${wine_dir}")

if(NOT win32_binary)
  gtest_discover_tests(zapext_e2e_wine)
  return()
endif()

add_dependencies(zapext_e2e_wine zapext_win32)
add_test(NAME wine_prefix_start
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/wine_prefix.sh start ${wine_dir} ${win32_binary})
add_test(NAME wine_prefix_stop
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/wine_prefix.sh stop ${wine_dir})
set_tests_properties(wine_prefix_start PROPERTIES FIXTURES_SETUP wine)
set_tests_properties(wine_prefix_stop PROPERTIES FIXTURES_CLEANUP wine)
gtest_discover_tests(zapext_e2e_wine PROPERTIES FIXTURES_REQUIRED wine)

add_test(NAME win32_exe_is_a_standalone_console_program
  COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${ZAPEXT_MINGW_OBJDUMP} -DEXE=${win32_binary}
          -P ${CMAKE_CURRENT_SOURCE_DIR}/check_pe.cmake)
