# The built-in spreadsheet engine (built with the Qt layers only) reads and writes .xlsx
# packages with zlib; off Windows it also reads .ods with liborcus and legacy .xls with freexl
# (the *_posix.cpp parts of the loader). The Windows build takes zlib from Debian's
# libz-mingw-w64-dev and links it statically.
if(NOT LUMO_WITH_ENGINE)
  return()
endif()
if(WIN32)
  find_package(ZLIB REQUIRED)
  target_link_libraries(lumo_spreadsheet PUBLIC ZLIB::ZLIB)
  return()
endif()
find_package(PkgConfig REQUIRED)
pkg_check_modules(LUMO_SHEET_LIBS REQUIRED IMPORTED_TARGET liborcus-0.17 freexl zlib)
target_link_libraries(lumo_spreadsheet PUBLIC PkgConfig::LUMO_SHEET_LIBS)
