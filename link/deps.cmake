# On Windows the serial ports are listed through the registry and the device manager (SetupAPI,
# the configuration manager).
if(WIN32)
  target_link_libraries(lumo_link PUBLIC setupapi cfgmgr32 advapi32)
endif()
