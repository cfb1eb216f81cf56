# Which code reads directories on POSIX: Linux's getdents64, in large blocks
# (platform/file_system_posix.cpp), or readdir, which
# every POSIX.1-2008 system has (platform/listing_portable_posix.cpp): the
# latter where getdents64 is missing, or where ZAPEXT_PORTABLE_LISTING asks
# for it. The readdir listing is compiled everywhere, for its unit test.
target_sources(zapext_core PRIVATE platform/listing_portable_posix.cpp)
if(NOT ZAPEXT_PORTABLE_LISTING)
  include(CheckCXXSymbolExists)
  # glibc declares it for _GNU_SOURCE only.
  set(CMAKE_REQUIRED_DEFINITIONS -D_GNU_SOURCE)
  check_cxx_symbol_exists(getdents64 dirent.h ZAPEXT_HAVE_GETDENTS64)
  unset(CMAKE_REQUIRED_DEFINITIONS)
endif()
if(ZAPEXT_PORTABLE_LISTING OR NOT ZAPEXT_HAVE_GETDENTS64)
  message(STATUS "Directories are listed with readdir")
  target_compile_definitions(zapext_core PRIVATE ZAPEXT_PORTABLE_LISTING)
endif()
