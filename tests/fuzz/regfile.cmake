# The registry store's REGEDIT4 file (the platform library is instrumented by the fuzz preset).
if(UNIX)
  veldoran_add_fuzzer(regfile_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/regfile_fuzz.cpp
                      LIBS veldoran_platform)
endif()
