# Installation layout and the Debian package (cpack -G DEB).
#
#   sbin/                      quellsig, quellsig-testkey, quellsig-genkey
#   bin/                       quellsig-check, quellsig-sign
#   share/man/man{1,5,8}/      the manual pages, gzipped
#   share/doc/quellsig/        the guides; examples/ the example files
#   lib/systemd/system/        quellsig.service
#   etc/quellsig/quellsig.conf the service's configuration; /etc/quellsig
#                              when the prefix is /usr
#
# The unit and the configuration directory depend on the prefix in force when
# installing (cmake --install --prefix, or the package's /usr), so they are
# placed by an install script rather than fixed at configure time.
include(GNUInstallDirs)

install(TARGETS quellsig quellsig-testkey quellsig-genkey RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS quellsig-check quellsig-sign RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(QUELLSIG_MAN_PAGES
  quellsig.8 quellsig.conf.5 quellsig-check.1 quellsig-sign.1 quellsig-testkey.8 quellsig-genkey.8)
set(man_outputs)
foreach(page IN LISTS QUELLSIG_MAN_PAGES)
  string(REGEX MATCH "[0-9]$" section ${page})
  set(copy ${PROJECT_BINARY_DIR}/man/${page})
  add_custom_command(OUTPUT ${copy}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/man/${page} ${copy}
    COMMAND gzip -9nf ${copy}
    DEPENDS ${PROJECT_SOURCE_DIR}/man/${page}
    VERBATIM)
  list(APPEND man_outputs ${copy}.gz)
  install(FILES ${copy}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
add_custom_target(quellsig_man ALL DEPENDS ${man_outputs})

install(FILES docs/configuration.md docs/signing.md docs/tools.md docs/genkey.md docs/postfix.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES examples/quellsig.conf examples/quellsig-signing.conf examples/SigningTable
  examples/KeyTable DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(FILES examples/keys/README DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples/keys)

set(QUELLSIG_MAINTAINER_MAIL "quellsig@example.org")
configure_file(packaging/changelog.in ${PROJECT_BINARY_DIR}/packaging/changelog @ONLY)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/packaging/changelog.gz
  COMMAND gzip -9nkf ${PROJECT_BINARY_DIR}/packaging/changelog
  DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog
  VERBATIM)
add_custom_target(quellsig_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
install(FILES packaging/copyright ${PROJECT_BINARY_DIR}/packaging/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DOCDIR})

configure_file(cmake/install-service.cmake.in ${PROJECT_BINARY_DIR}/packaging/install-service.cmake @ONLY)
install(SCRIPT ${PROJECT_BINARY_DIR}/packaging/install-service.cmake)

# The package: built from an install with the prefix /usr (CPACK_SET_DESTDIR
# makes the install script see that prefix, so the configuration lands in
# /etc/quellsig).
set(CPACK_PACKAGE_NAME quellsig)
set(CPACK_PACKAGE_VENDOR "The quellsig developers")
set(CPACK_PACKAGE_CONTACT "The quellsig developers <${QUELLSIG_MAINTAINER_MAIL}>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "DKIM signing and verifying mail filter")
set(CPACK_PACKAGE_DESCRIPTION "quellsig is a milter for Postfix and Sendmail that verifies DKIM
signatures (rsa-sha256 and ed25519-sha256), records the results in
Authentication-Results fields, and signs outgoing mail with the keys its
SigningTable and KeyTable assign to the sender's domain. It never rejects
mail. The package also holds tools to generate keys, check published key
records, and sign and verify message files.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/packaging/deb/conffiles
  ${PROJECT_SOURCE_DIR}/packaging/deb/postinst
  ${PROJECT_SOURCE_DIR}/packaging/deb/prerm
  ${PROJECT_SOURCE_DIR}/packaging/deb/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
