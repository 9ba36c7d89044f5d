# The program's version is that of the newest release the metainfo file lists (the first one):
# the Debian package carries it, and the program prints it on the protocol's page.
file(STRINGS ${CMAKE_SOURCE_DIR}/packaging/ru.lumo.UserLumo.metainfo.xml lumo_release
     REGEX "<release " LIMIT_COUNT 1)
if(NOT lumo_release MATCHES "version=\"([^\"]+)\"")
  message(FATAL_ERROR "no <release version=...> in packaging/ru.lumo.UserLumo.metainfo.xml")
endif()
set(LUMO_VERSION ${CMAKE_MATCH_1})
