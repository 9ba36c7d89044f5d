# Installing on Linux, and the Debian package made from it (`cpack -G DEB`, scripts/package):
# the program and the simulator in bin/, the desktop launcher, the icon in the hicolor theme,
# the AppStream metainfo, the man pages, and the copyright file and changelog that Debian's
# policy asks for (scripts/test-package runs lintian on the result). The data lies in packaging/.
if(NOT LUMO_WITH_QT OR WIN32)
  return()
endif()
include(GNUInstallDirs)

set(LUMO_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)
# The name the desktop knows the program by: its launcher, metainfo and icon carry it.
set(LUMO_APP_ID ru.lumo.UserLumo)
target_compile_definitions(UserLumo PRIVATE LUMO_APP_ID="${LUMO_APP_ID}")

# The package's version is the program's own (LUMO_VERSION, cmake/Version.cmake).
# The package's changelog names the same version first.
file(STRINGS ${LUMO_PACKAGING_DIR}/changelog lumo_changelog_top LIMIT_COUNT 1)
if(NOT lumo_changelog_top MATCHES "^userlumo \\(${LUMO_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog does not begin with version ${LUMO_VERSION}: ${lumo_changelog_top}")
endif()

install(TARGETS UserLumo lumo-meter-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${LUMO_PACKAGING_DIR}/${LUMO_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${LUMO_PACKAGING_DIR}/${LUMO_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
set(lumo_icons ${CMAKE_INSTALL_DATADIR}/icons/hicolor)
install(FILES ${LUMO_PACKAGING_DIR}/UserLumo.svg DESTINATION ${lumo_icons}/scalable/apps
        RENAME ${LUMO_APP_ID}.svg)
foreach(size 16 22 24 32 48 64 128 256)
  install(FILES ${LUMO_PACKAGING_DIR}/icons/UserLumo-${size}.png
          DESTINATION ${lumo_icons}/${size}x${size}/apps RENAME ${LUMO_APP_ID}.png)
endforeach()

# The man pages and the changelog, compressed as Debian keeps them (gzip -9n: the same bytes
# from the same file), and the copyright file.
set(lumo_compressed)
foreach(file UserLumo.1 lumo-meter-sim.1 changelog)
  set(gz ${CMAKE_BINARY_DIR}/packaging/${file}.gz)
  add_custom_command(OUTPUT ${gz}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
                     COMMAND gzip -9n -c ${LUMO_PACKAGING_DIR}/${file} > ${gz}
                     DEPENDS ${LUMO_PACKAGING_DIR}/${file})
  list(APPEND lumo_compressed ${gz})
endforeach()
add_custom_target(lumo_package_docs ALL DEPENDS ${lumo_compressed})
install(FILES ${CMAKE_BINARY_DIR}/packaging/UserLumo.1.gz ${CMAKE_BINARY_DIR}/packaging/lumo-meter-sim.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
set(lumo_doc ${CMAKE_INSTALL_DATADIR}/doc/userlumo)
install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz ${LUMO_PACKAGING_DIR}/copyright DESTINATION ${lumo_doc})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME userlumo)
set(CPACK_PACKAGE_VERSION ${LUMO_VERSION})
set(CPACK_PACKAGE_VENDOR "UserLumo developers")
set(CPACK_PACKAGE_CONTACT "UserLumo developers <userlumo@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "live readings and reports of the LUMO 2210 three-phase meter")
# Lines of at most 80 characters, none beginning with a dot (a dot alone is an empty line), as
# Debian's policy asks.
set(CPACK_PACKAGE_DESCRIPTION
    "UserLumo talks to the LUMO 2210 volt-ampere-phase meter on a serial port.\n\
It shows the 18 live readings once a second, downloads the statistics stored\n\
in the meter and appends both to a two-sheet spreadsheet report, written as\n\
an .xlsx file. Russian user interface.\n\
.\n\
lumo-meter-sim, a simulated meter on a pseudo-terminal, comes with it.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Used at run time, so invisible to dpkg-shlibdeps: the X11 platform plugin, the icon theme
# whose index lets Qt find the window's icon, and Qt's own Russian texts for the standard
# buttons and file dialogs.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, hicolor-icon-theme")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-translations-l10n")
include(CPack)
