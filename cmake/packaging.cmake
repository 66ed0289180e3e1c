# Installing on Linux and the Debian package (cpack -G DEB in a release
# build): /usr/bin/tolvex, its man page and, in /usr/share/doc/tolvex, the
# copyright file and the changelog, all compressed as Debian wants them.
include(GNUInstallDirs)
# Folders the install creates are 0755 whatever the umask of the build.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
  GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The man page with this version in its title line, and the changelog,
# gzip -9n (no name, no time stamp: the same bytes at every build).
set(TOLVEX_MAN_PAGE ${CMAKE_BINARY_DIR}/packaging/tolvex.1.gz)
set(TOLVEX_CHANGELOG ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${TOLVEX_MAN_PAGE}
  COMMAND ${CMAKE_COMMAND} -DINPUT=${PROJECT_SOURCE_DIR}/docs/tolvex.1 -DOUTPUT=${TOLVEX_MAN_PAGE}
          -DVERSION=${PROJECT_VERSION} -P ${PROJECT_SOURCE_DIR}/cmake/gzip_doc.cmake
  DEPENDS ${PROJECT_SOURCE_DIR}/docs/tolvex.1 ${PROJECT_SOURCE_DIR}/cmake/gzip_doc.cmake
  VERBATIM)
add_custom_command(OUTPUT ${TOLVEX_CHANGELOG}
  COMMAND ${CMAKE_COMMAND} -DINPUT=${PROJECT_SOURCE_DIR}/CHANGELOG.md -DOUTPUT=${TOLVEX_CHANGELOG}
          -P ${PROJECT_SOURCE_DIR}/cmake/gzip_doc.cmake
  DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_SOURCE_DIR}/cmake/gzip_doc.cmake
  VERBATIM)
add_custom_target(tolvex_docs ALL DEPENDS ${TOLVEX_MAN_PAGE} ${TOLVEX_CHANGELOG})

install(FILES ${TOLVEX_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/deb/copyright ${TOLVEX_CHANGELOG}
  DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tolvex)
set(CPACK_PACKAGE_VENDOR "The Tolvex authors")
set(CPACK_PACKAGE_CONTACT "The Tolvex authors <tolvex@users.noreply.github.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "unattended Japanese mail sender")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # tolvex_<version>_amd64.deb
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://github.com/tolvex/tolvex)
# The long description; CPack puts the summary above it and indents it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [[Tolvex reads its whole job from command.txt in the folder it is started in
(Shift_JIS, UTF-8 or UTF-16), composes one Japanese MIME message
(ISO-2022-JP, or UTF-8 when ISO-2022-JP cannot carry the text) with an
encoded subject and optional attachments, delivers it over SMTP (port 25,
or submission with STARTTLS or TLS, SMTP AUTH or OAuth 2.0), logs each
delivery in LOG.txt and can wait and repeat on a schedule. It suits cron
jobs, schedulers and scripts.]])
# The libraries the program links, found by dpkg-shlibdeps; libcurl is
# opened at run time only for OAuth 2.0 token requests, so it is
# recommended rather than required (a run without OAuth never loads it);
# so is libidn2, opened only for an address whose domain is not ASCII.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libcurl4 | libcurl4t64, libidn2-0")
include(CPack)
