# Installing on Linux, and the Debian package made from it (`cpack -G DEB`, scripts/package):
# the program and the simulator in bin/, the desktop launcher, the icon in the hicolor theme,
# the AppStream metainfo and the man page. The data lies in packaging/.
if(NOT LUMO_WITH_QT OR WIN32)
  return()
endif()
include(GNUInstallDirs)

set(LUMO_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)
# The name the desktop knows the program by: its launcher, metainfo and icon carry it.
set(LUMO_APP_ID ru.lumo.UserLumo)
target_compile_definitions(UserLumo PRIVATE LUMO_APP_ID="${LUMO_APP_ID}")

# The package's version is that of the newest release the metainfo file lists (the first one).
file(STRINGS ${LUMO_PACKAGING_DIR}/${LUMO_APP_ID}.metainfo.xml lumo_release
     REGEX "<release " LIMIT_COUNT 1)
if(NOT lumo_release MATCHES "version=\"([^\"]+)\"")
  message(FATAL_ERROR "no <release version=...> in ${LUMO_APP_ID}.metainfo.xml")
endif()
set(LUMO_VERSION ${CMAKE_MATCH_1})

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

# The man page, compressed as Debian keeps them.
set(lumo_man ${CMAKE_BINARY_DIR}/UserLumo.1.gz)
add_custom_command(OUTPUT ${lumo_man}
                   COMMAND gzip -9n -c ${LUMO_PACKAGING_DIR}/UserLumo.1 > ${lumo_man}
                   DEPENDS ${LUMO_PACKAGING_DIR}/UserLumo.1)
add_custom_target(lumo_man_page ALL DEPENDS ${lumo_man})
install(FILES ${lumo_man} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME userlumo)
set(CPACK_PACKAGE_VERSION ${LUMO_VERSION})
set(CPACK_PACKAGE_VENDOR "UserLumo developers")
set(CPACK_PACKAGE_CONTACT "UserLumo developers <userlumo@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "live readings and reports of the LUMO 2210 three-phase meter")
set(CPACK_PACKAGE_DESCRIPTION
    "UserLumo talks to the LUMO 2210 volt-ampere-phase meter on a serial port: it shows the\n\
18 live readings once a second, downloads the statistics stored in the meter and appends\n\
both to a two-sheet spreadsheet report written as .xlsx. Russian user interface.\n\
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
