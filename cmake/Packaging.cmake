# The service, its configuration, the documents and the Debian packages (cpack -G DEB):
# libtallyfold0 (component lib), libtallyfold-dev (dev) and tallyfold (tools), each with
# a -dbgsym package of its debug symbols.
# The service's host folder: /var/lib/tallyfold for the package, else the prefix itself.
set(TALLYFOLD_SERVICE_HOME ${CMAKE_INSTALL_PREFIX})
if(TALLYFOLD_DEFAULT_HOME)
    set(TALLYFOLD_SERVICE_HOME ${TALLYFOLD_DEFAULT_HOME})
endif()
set(TALLYFOLD_ENVIRONMENT_FILE ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/tallyfold)
# Both services keep the same fence, written once.
file(READ packaging/tallyfold-fence.in TALLYFOLD_FENCE)
string(CONFIGURE "${TALLYFOLD_FENCE}" TALLYFOLD_FENCE @ONLY)
foreach(unit gather follow)
    configure_file(packaging/tallyfold-${unit}.service.in ${PROJECT_BINARY_DIR}/packaging/tallyfold-${unit}.service @ONLY)
endforeach()
install(FILES ${PROJECT_BINARY_DIR}/packaging/tallyfold-gather.service packaging/tallyfold-gather.timer
    ${PROJECT_BINARY_DIR}/packaging/tallyfold-follow.service
    DESTINATION lib/systemd/system COMPONENT tools)
if(NOT TALLYFOLD_HOST_LAYOUT)
    install(FILES packaging/tallyfold.default DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default RENAME tallyfold
        COMPONENT tools)
endif()

set(TALLYFOLD_DEBIAN_REVISION 1)
set(TALLYFOLD_MAINTAINER "Tallyfold Maintainers <maintainers@tallyfold.org>")
set(components lib dev tools)
set(packages libtallyfold0 libtallyfold-dev tallyfold)

# Every package carries the copyright and the Debian changelog, compressed as policy asks
# (gzip -9n: the same bytes for the same text); tallyfold also the upstream changes.
set(doc_build ${PROJECT_BINARY_DIR}/packaging/doc)
add_custom_command(OUTPUT ${doc_build}/changelog.Debian.gz ${doc_build}/changelog.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${doc_build}
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/packaging/changelog ${doc_build}/changelog.Debian
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${doc_build}/changelog
    COMMAND gzip -9nf ${doc_build}/changelog.Debian ${doc_build}/changelog
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog ${PROJECT_SOURCE_DIR}/CHANGELOG.md
    VERBATIM)
add_custom_target(tallyfold_package_docs ALL DEPENDS ${doc_build}/changelog.Debian.gz ${doc_build}/changelog.gz)
foreach(component package IN ZIP_LISTS components packages)
    if(package STREQUAL "tallyfold" OR NOT TALLYFOLD_HOST_LAYOUT)
        install(FILES packaging/copyright ${doc_build}/changelog.Debian.gz
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
    endif()
    if(NOT TALLYFOLD_HOST_LAYOUT AND EXISTS ${PROJECT_SOURCE_DIR}/packaging/${package}.lintian-overrides)
        install(FILES packaging/${package}.lintian-overrides DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
            RENAME ${package} COMPONENT ${component})
    endif()
endforeach()
install(FILES README.md ${doc_build}/changelog.gz DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tallyfold
    COMPONENT tools)

set(CPACK_PACKAGE_NAME tallyfold)
set(CPACK_PACKAGE_VENDOR "Tallyfold")
set(CPACK_PACKAGE_CONTACT "${TALLYFOLD_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL lib dev tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${TALLYFOLD_DEBIAN_REVISION})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TALLYFOLD_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://tallyfold.org/")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SOURCE tallyfold)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})
# Stripped programs and library, their symbols in the -dbgsym packages.
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Before the split one package held all; its files move to the new ones.
set(before_split "tallyfold (<< ${PROJECT_VERSION}-${TALLYFOLD_DEBIAN_REVISION})")

set(CPACK_DEBIAN_LIB_PACKAGE_NAME libtallyfold0)
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# It warns that tools' tallyfold-command.so has no soname: a private module, loaded by its path from
# a folder of its own, it needs no shlibs entry, no soname links and no ldconfig.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# Scripts of our own, or CPack would write ones that call ldconfig instead of the trigger.
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/libtallyfold0/triggers
    ${PROJECT_SOURCE_DIR}/packaging/libtallyfold0/postinst ${PROJECT_SOURCE_DIR}/packaging/libtallyfold0/postrm)
# Loaded at run time, so dpkg-shlibdeps cannot see it: the embedded database's driver.
set(CPACK_DEBIAN_LIB_PACKAGE_DEPENDS "libqt6sql6-sqlite")
set(CPACK_DEBIAN_LIB_PACKAGE_RECOMMENDS "fonts-noto-cjk, qt6-translations-l10n, libqt6sql6-psql")
set(CPACK_DEBIAN_LIB_PACKAGE_SUGGESTS "libqt6sql6-odbc, tdsodbc")
set(CPACK_DEBIAN_LIB_PACKAGE_BREAKS "${before_split}")
set(CPACK_DEBIAN_LIB_PACKAGE_REPLACES "${before_split}")
# The lines of the long descriptions are broken by hand: CPack copies them as they are.
string(CONCAT CPACK_COMPONENT_LIB_DESCRIPTION
    "library to gather the records of count-type canteen terminals\n"
    "The library a host attendance and canteen application loads to gather the\n"
    "card-swipe records of its count-type terminals over serial lines or serial\n"
    "device servers into the host database (SQLite, PostgreSQL or SQL Server).\n"
    "It shows the gathering window, in which the operator gathers, imports and\n"
    "clears the records of a terminal and tests its link.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libtallyfold-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "qt6-base-dev")
set(CPACK_DEBIAN_DEV_PACKAGE_BREAKS "${before_split}")
set(CPACK_DEBIAN_DEV_PACKAGE_REPLACES "${before_split}")
set(CPACK_DEBIAN_DEV_PACKAGE_SHLIBDEPS OFF)
string(CONCAT CPACK_COMPONENT_DEV_DESCRIPTION
    "library to gather the records of count-type terminals - development files\n"
    "The library a host attendance and canteen application loads to gather the\n"
    "card-swipe records of its count-type terminals into the host database.\n"
    "This package holds the headers, the CMake package (find_package(Tallyfold))\n"
    "and the pkg-config file, for hosts written in C++ or C.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME tallyfold)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION misc)
# The user management of the maintainer scripts, and the embedded database's driver.
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libqt6sql6-sqlite, adduser")
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS "libqt6sql6-psql")
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS "xvfb")
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/tallyfold/postinst ${PROJECT_SOURCE_DIR}/packaging/tallyfold/prerm
    ${PROJECT_SOURCE_DIR}/packaging/tallyfold/postrm ${PROJECT_SOURCE_DIR}/packaging/tallyfold/conffiles)
string(CONCAT CPACK_COMPONENT_TOOLS_DESCRIPTION
    "gather the records of count-type canteen terminals into a database\n"
    "The tallyfold command runs the operations of the gathering window without\n"
    "it: it gathers the records of terminals over serial lines or device servers,\n"
    "imports record files, clears terminals and tests their links, with JSON\n"
    "output for scripts. The timer tallyfold-gather.timer, once enabled, gathers\n"
    "every terminal every 15 minutes as the system user tallyfold.\n"
    "Also tallyfold-show, a small host of the window, and tallyfold-terminal-sim,\n"
    "a simulator of the terminals.")

set(CPACK_GENERATOR DEB)
include(CPack)
cpack_add_component(lib)
cpack_add_component(dev DEPENDS lib)
cpack_add_component(tools DEPENDS lib)
