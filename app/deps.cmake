# On Linux the settings dialog lists the computer's serial ports through Qt's serial port module;
# on Windows it asks the system itself (app/serial_ports_win.cpp), so no such module is needed.
if(NOT LUMO_WITH_QT OR WIN32)
  return()
endif()
find_package(Qt6 REQUIRED COMPONENTS SerialPort)
target_link_libraries(lumo_app PUBLIC Qt6::SerialPort)
