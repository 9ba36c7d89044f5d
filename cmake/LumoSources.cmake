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
