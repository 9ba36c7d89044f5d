# lumo_collect_sources(OUT dir...): the .cpp files of the folders (not of their subfolders),
# without the ones of the other platform: *_win.cpp only on Windows, *_posix.cpp only elsewhere,
# *_qt.cpp only with Qt. Tests follow the same rule with the suffix before "_test"
# (serial_port_posix_test.cpp, automation_com_win_test.cpp, main_window_qt_test.cpp).
function(lumo_collect_sources out)
  set(result)
  foreach(dir ${ARGN})
    file(GLOB files CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*.cpp)
    foreach(f ${files})
      if(WIN32 AND f MATCHES "_posix(_test)?\\.cpp$")
        continue()
      endif()
      if(NOT WIN32 AND f MATCHES "_win(_test)?\\.cpp$")
        continue()
      endif()
      if(NOT LUMO_WITH_QT AND f MATCHES "_qt(_test)?\\.cpp$")
        continue()
      endif()
      list(APPEND result ${f})
    endforeach()
  endforeach()
  set(${out} ${result} PARENT_SCOPE)
endfunction()

# lumo_folder(DIR BELOW...): the static library lumo_DIR from DIR's sources, linked to the
# libraries of the folders BELOW it. The folders it may include from are recorded for
# lumo_write_layers; the sources are left in LUMO_<DIR>_SOURCES.
function(lumo_folder dir)
  lumo_collect_sources(sources ${dir})
  if(dir STREQUAL "app")
    list(REMOVE_ITEM sources ${CMAKE_SOURCE_DIR}/app/main.cpp)
  endif()
  add_library(lumo_${dir} STATIC ${sources})
  target_include_directories(lumo_${dir} PUBLIC ${CMAKE_SOURCE_DIR})
  foreach(below ${ARGN})
    target_link_libraries(lumo_${dir} PUBLIC lumo_${below})
  endforeach()
  string(JOIN " " below_text ${ARGN})
  set_property(GLOBAL APPEND PROPERTY LUMO_LAYERS "${dir}: ${dir} ${below_text}")
endfunction()

# Writes the allowed includes of every folder, one line a folder ("report: report automation
# common"), for the layering test.
function(lumo_write_layers)
  get_property(layers GLOBAL PROPERTY LUMO_LAYERS)
  set(text "")
  foreach(entry ${layers})
    string(APPEND text "${entry}\n")
  endforeach()
  file(WRITE ${CMAKE_BINARY_DIR}/layers.txt "${text}")
endfunction()
