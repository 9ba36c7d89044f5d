# The built-in spreadsheet engine (built with the Qt layers only) reads workbooks with liborcus
# (and freexl for legacy .xls); zlib unpacks packages for checking before orcus reads them and
# packs the ones the engine writes itself.
if(NOT LUMO_WITH_ENGINE)
  return()
endif()
find_package(PkgConfig REQUIRED)
pkg_check_modules(LUMO_SHEET_LIBS REQUIRED IMPORTED_TARGET liborcus-0.17 freexl zlib)
target_link_libraries(lumo_spreadsheet PUBLIC PkgConfig::LUMO_SHEET_LIBS)
