# The built-in spreadsheet engine (built with the Qt layers only) reads .ods with liborcus and
# legacy .xls with freexl; zlib unpacks the packages it reads (.xlsx it reads itself) and packs
# the ones it writes.
if(NOT LUMO_WITH_ENGINE)
  return()
endif()
find_package(PkgConfig REQUIRED)
pkg_check_modules(LUMO_SHEET_LIBS REQUIRED IMPORTED_TARGET liborcus-0.17 freexl zlib)
target_link_libraries(lumo_spreadsheet PUBLIC PkgConfig::LUMO_SHEET_LIBS)
