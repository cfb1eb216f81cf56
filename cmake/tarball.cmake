# The Linux tarball, zapext-VERSION-linux-ARCH.tar.gz: one folder of that
# name holding a statically linked zapext, which runs on any Linux of that
# architecture whatever its C library, with the man page, the README and
# the license. `--target package` makes it beside the Debian package, or
# alone in a cross build (which dpkg-shlibdeps cannot read).
#
# The static program is a target of its own: the Debian one stays linked to
# the system's libc. It is made on Linux alone (macOS links nothing
# statically), not with the sanitizers (they cannot be), and only where the
# C library can be linked statically (Debian's libc6-dev can).
if(NOT CMAKE_SYSTEM_NAME STREQUAL Linux OR ZAPEXT_SANITIZE OR ZAPEXT_TSAN)
  return()
endif()
include(CheckCXXSourceCompiles)
set(CMAKE_REQUIRED_LINK_OPTIONS -static)
check_cxx_source_compiles("int main() { return 0; }" ZAPEXT_LINKS_STATIC)
unset(CMAKE_REQUIRED_LINK_OPTIONS)
if(NOT ZAPEXT_LINKS_STATIC)
  message(STATUS "No static C library: no Linux tarball")
  return()
endif()
add_executable(zapext_static cli/main.cpp)
target_link_libraries(zapext_static PRIVATE zapext_core)
target_link_options(zapext_static PRIVATE -static)
set_target_properties(zapext_static PROPERTIES OUTPUT_NAME zapext
                      RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/static)

# A component of its own, left out of a plain `cmake --install`.
install(TARGETS zapext_static RUNTIME DESTINATION . COMPONENT tarball EXCLUDE_FROM_ALL)
install(FILES zapext.1 README.md LICENSE DESTINATION . COMPONENT tarball EXCLUDE_FROM_ALL)

if(CMAKE_CROSSCOMPILING)
  set(CPACK_GENERATOR TGZ)
else()
  list(APPEND CPACK_GENERATOR TGZ)
endif()
# CPack reads this for each generator: the tarball takes its component alone.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/tarball_cpack.cmake)
set(CPACK_ZAPEXT_TARBALL_NAME zapext-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
set(CPACK_ZAPEXT_BINARY_DIR ${CMAKE_CURRENT_BINARY_DIR})
