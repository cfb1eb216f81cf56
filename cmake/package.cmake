# What `cmake --install` puts where, and the package `--target package`
# makes of it: a Debian package from the native build, a zip from the
# Windows one.
include(GNUInstallDirs)

set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "zapext maintainers <maintainers@users.noreply.c-seed-52ffaaaa.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "remove every file with a given extension from a directory tree")
# Lines as the package shows them: at most 79 characters, from the first column.
set(CPACK_PACKAGE_DESCRIPTION
"zapext removes, from the current directory and every directory beneath it,
each file whose extension is the one given, ignoring letter case: `zapext bak`
removes notes.bak and OLD.BAK, but not archive.bak.zip. It asks no questions;
`zapext -n bak` names the files it would remove, and removes nothing.
Each file is announced with its full path, and the run ends with the total.
Directories are never removed, and symbolic links are never followed.")
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

if(WIN32)
  # Unzipped: a folder with the program and a README that Notepad shows as
  # lines.
  set(CPACK_GENERATOR ZIP)
  configure_file(README.md README.txt @ONLY NEWLINE_STYLE CRLF)
  install(TARGETS zapext RUNTIME DESTINATION .)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.txt DESTINATION .)
  # The license travels with every copy, in the same lines as the README.
  configure_file(LICENSE LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt DESTINATION .)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  # The dependencies are read off the binary by dpkg-shlibdeps (dpkg-dev).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

  # The man page and the changelog are installed compressed, as Debian wants
  # them; -n leaves out the time, so the same text gives the same file.
  set(compressed)
  foreach(source zapext.1 cmake/changelog)
    get_filename_component(name ${source} NAME)
    add_custom_command(OUTPUT ${name}.gz
      COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/${source} ${name}
      COMMAND gzip -9nf ${name}
      DEPENDS ${PROJECT_SOURCE_DIR}/${source}
      VERBATIM)
    list(APPEND compressed ${name}.gz)
  endforeach()
  add_custom_target(zapext_compressed_docs ALL DEPENDS ${compressed})

  install(TARGETS zapext RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zapext.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES README.md cmake/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  include(cmake/tarball.cmake)
endif()

include(CPack)
