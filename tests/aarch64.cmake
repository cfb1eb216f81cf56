# The arm64 build under qemu. zapext is cross-built for arm64 Linux
# (cmake/toolchain-aarch64-linux.cmake) by a CMake build of its own, into
# build/tests/aarch64/, and the scenarios run against the static program
# that its tarball ships, under qemu's user-mode emulation: the native
# runner with qemu-aarch64-static before the program, which needs no binfmt
# registration and no arm64 libraries. Without the cross compiler or qemu
# the scenarios are skipped (failed under CI), saying which is missing.
include(ExternalProject)
find_program(ZAPEXT_AARCH64_CXX aarch64-linux-gnu-g++)
find_program(ZAPEXT_QEMU_AARCH64 qemu-aarch64-static)

set(aarch64_missing "")
if(NOT ZAPEXT_AARCH64_CXX)
  set(aarch64_missing "no arm64 scenarios: no aarch64-linux-gnu-g++ to build the program")
elseif(NOT ZAPEXT_QEMU_AARCH64)
  set(aarch64_missing "no arm64 scenarios: no qemu-aarch64-static to run the program")
endif()
set(aarch64_dir ${CMAKE_CURRENT_BINARY_DIR}/aarch64)
# qemu opens the program itself, with the rights of the user it runs as: for
# the scenarios run as nobody, a copy outside the build tree, which may lie
# in a folder only root can enter (as the wine prefix does).
string(MD5 aarch64_key "${CMAKE_CURRENT_BINARY_DIR}")
set(aarch64_program /tmp/zapext-aarch64-${aarch64_key}/zapext)

add_executable(zapext_e2e_aarch64 e2e_test.cpp)
target_link_libraries(zapext_e2e_aarch64 PRIVATE zapext_e2e_support GTest::gtest_main)
target_compile_definitions(zapext_e2e_aarch64 PRIVATE ZAPEXT_BINARY="${aarch64_program}"
  ZAPEXT_EMULATOR="${ZAPEXT_QEMU_AARCH64}" ZAPEXT_RUNNER_MISSING="${aarch64_missing}")
gtest_discover_tests(zapext_e2e_aarch64 TEST_PREFIX Aarch64.)

if(aarch64_missing)
  message(STATUS "${aarch64_missing}")
  return()
endif()
message(STATUS "arm64 scenarios: the static arm64 program under ${ZAPEXT_QEMU_AARCH64}")
ExternalProject_Add(zapext_aarch64
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${aarch64_dir}
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/toolchain-aarch64-linux.cmake
    -DCMAKE_BUILD_TYPE=Release
    -DBUILD_TESTING=OFF
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  BUILD_BYPRODUCTS ${aarch64_dir}/static/zapext)
ExternalProject_Add_Step(zapext_aarch64 reachable
  COMMAND ${CMAKE_COMMAND} -E make_directory /tmp/zapext-aarch64-${aarch64_key}
  COMMAND chmod 755 /tmp/zapext-aarch64-${aarch64_key}
  COMMAND ${CMAKE_COMMAND} -E copy ${aarch64_dir}/static/zapext ${aarch64_program}
  DEPENDEES build
  ALWAYS ON)
add_dependencies(zapext_e2e_aarch64 zapext_aarch64)
