# The settings dialog lists the computer's serial ports through Qt's serial port module. A Qt for
# Windows built without that module still builds the program, with the fixed port names only.
if(NOT LUMO_WITH_QT)
  return()
endif()
if(WIN32)
  find_package(Qt6 QUIET COMPONENTS SerialPort)
else()
  find_package(Qt6 REQUIRED COMPONENTS SerialPort)
endif()
if(TARGET Qt6::SerialPort)
  target_link_libraries(lumo_app PUBLIC Qt6::SerialPort)
  target_compile_definitions(lumo_app PRIVATE LUMO_WITH_QT_SERIALPORT=1)
endif()
