# The Windows program against a static Qt for Windows (scripts/build-windows): UserLumo.exe,
# lumo-demo.exe (the scripted run that scripts/test-windows-app drives) and lumo-ports.exe (the
# settings dialog's list of ports, printed), each one stripped,
# static executable with the Windows platform plugin and Qt's own Russian translations built
# in; UserLumo.exe also carries the icon and the version information (app/windows/UserLumo.rc).
if(NOT (WIN32 AND LUMO_WITH_QT))
  return()
endif()

# Qt's Russian texts (standard buttons, file dialogs): in a cross build Debian's
# qt6-translations-l10n of the same Qt version, on Windows the Qt kit's own. They are a resource
# under :/i18n, and the embedded qt.conf makes that Qt's translations folder, which is where the
# program looks for them.
set(qm /usr/share/qt6/translations/qtbase_ru.qm)
if(NOT CMAKE_CROSSCOMPILING)
  set(qm ${QT6_INSTALL_PREFIX}/${QT6_INSTALL_TRANSLATIONS}/qtbase_ru.qm)
endif()
set(LUMO_QT_RU_QM ${qm}
    CACHE FILEPATH "Qt's Russian translations (qtbase_ru.qm) to build into the Windows program")
if(NOT EXISTS ${LUMO_QT_RU_QM})
  message(FATAL_ERROR "${LUMO_QT_RU_QM} is missing (Debian: qt6-translations-l10n; -DLUMO_QT_RU_QM=...)")
endif()
set_source_files_properties(${LUMO_QT_RU_QM} PROPERTIES QT_RESOURCE_ALIAS qtbase_ru.qm)

# The icon: packaging/UserLumo.ico; until that exists a plain one is drawn with ImageMagick.
set(LUMO_ICON_DIR ${CMAKE_SOURCE_DIR}/packaging)
if(NOT EXISTS ${LUMO_ICON_DIR}/UserLumo.ico)
  set(LUMO_ICON_DIR ${CMAKE_BINARY_DIR}/icon)
  if(NOT EXISTS ${LUMO_ICON_DIR}/UserLumo.ico)
    file(MAKE_DIRECTORY ${LUMO_ICON_DIR})
    execute_process(
      COMMAND convert -size 256x256 xc:none -fill "#1f4e8c" -draw "roundrectangle 8,8 247,247 36,36"
              -fill white -font DejaVu-Sans-Bold -pointsize 170 -gravity center -annotate +0+0 "Л"
              -define icon:auto-resize=256,48,32,16 ${LUMO_ICON_DIR}/UserLumo.ico
      RESULT_VARIABLE icon_result)
    if(NOT icon_result EQUAL 0)
      message(FATAL_ERROR "cannot draw the placeholder icon (ImageMagick's convert)")
    endif()
  endif()
endif()
set_source_files_properties(${CMAKE_SOURCE_DIR}/app/windows/UserLumo.rc
                            PROPERTIES INCLUDE_DIRECTORIES ${LUMO_ICON_DIR})
target_sources(UserLumo PRIVATE ${CMAKE_SOURCE_DIR}/app/windows/UserLumo.rc)

foreach(target UserLumo lumo-demo lumo-ports)
  qt_add_resources(${target} ${target}_translations PREFIX /i18n FILES ${LUMO_QT_RU_QM})
  qt_add_resources(${target} ${target}_qtconf PREFIX /qt/etc BASE ${CMAKE_SOURCE_DIR}/app/windows
                   FILES ${CMAKE_SOURCE_DIR}/app/windows/qt.conf)
  # The platform plugin and the native widget style, linked in (static Qt loads no plugin files).
  qt_import_plugins(${target} INCLUDE Qt6::QWindowsIntegrationPlugin Qt6::QWindowsVistaStylePlugin)
  if(MINGW)
    target_link_options(${target} PRIVATE -s)
  endif()
endforeach()
