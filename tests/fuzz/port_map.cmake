# The port map and the device list, on a fake sysfs the input lays out (the platform library is
# instrumented by the fuzz preset).
if(UNIX)
  veldoran_add_fuzzer(port_map_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/port_map_fuzz.cpp
                      LIBS veldoran_platform)
endif()
