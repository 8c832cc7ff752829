# The receive dispatcher on the real window (needs the window: VELDORAN_GUI).
if(TARGET veldoran_window)
  veldoran_add_fuzzer(dispatcher_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/dispatcher_fuzz.cpp
                      LIBS veldoran_window)
endif()
