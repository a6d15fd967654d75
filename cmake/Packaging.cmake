# The service, its configuration, the documents and the Debian package (cpack -G DEB).
# The service's host folder: /var/lib/tallyfold for the package, else the prefix itself.
set(TALLYFOLD_SERVICE_HOME ${CMAKE_INSTALL_PREFIX})
if(TALLYFOLD_DEFAULT_HOME)
    set(TALLYFOLD_SERVICE_HOME ${TALLYFOLD_DEFAULT_HOME})
endif()
set(TALLYFOLD_ENVIRONMENT_FILE ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/tallyfold)
configure_file(packaging/tallyfold-gather.service.in ${PROJECT_BINARY_DIR}/packaging/tallyfold-gather.service @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/packaging/tallyfold-gather.service packaging/tallyfold-gather.timer
    DESTINATION lib/systemd/system)
if(NOT TALLYFOLD_HOST_LAYOUT)
    install(FILES packaging/tallyfold.default DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default RENAME tallyfold)
endif()
set(doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/tallyfold)
install(FILES LICENSE DESTINATION ${doc_dir} RENAME copyright)
install(FILES README.md CHANGELOG.md DESTINATION ${doc_dir})

set(CPACK_PACKAGE_NAME tallyfold)
set(CPACK_PACKAGE_VENDOR "Tallyfold")
set(CPACK_PACKAGE_CONTACT "Tallyfold maintainers <tallyfold@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "gathers the records of count-type canteen terminals into a host database")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "The library a host application loads to gather the card-swipe records of its count-type terminals, "
    "the tallyfold command that runs the same operations without a window, and a timer that gathers "
    "every terminal every 15 minutes.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})
# Loaded at run time, so dpkg-shlibdeps cannot see them: the embedded database's
# driver, and the user management of the maintainer scripts.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6sql6-sqlite, adduser")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-noto-cjk, qt6-translations-l10n, libqt6sql6-psql")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libqt6sql6-odbc, tdsodbc, xvfb")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/postinst ${PROJECT_SOURCE_DIR}/packaging/prerm
    ${PROJECT_SOURCE_DIR}/packaging/postrm ${PROJECT_SOURCE_DIR}/packaging/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_GENERATOR DEB)
include(CPack)
