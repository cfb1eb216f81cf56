# Read by CPack once per generator (see tarball.cmake).
if(CPACK_GENERATOR STREQUAL TGZ)
  set(CPACK_PACKAGE_FILE_NAME ${CPACK_ZAPEXT_TARBALL_NAME})
  set(CPACK_INSTALL_CMAKE_PROJECTS "${CPACK_ZAPEXT_BINARY_DIR};zapext;tarball;/")
endif()
