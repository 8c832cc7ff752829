# The simulator's command input: lines typed on its standard input, read through a pipe.
if(TARGET veldoran_sim)
  veldoran_add_fuzzer(sim_command_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/sim_command_fuzz.cpp
                      LIBS veldoran_sim)
  target_include_directories(sim_command_fuzz PRIVATE ${PROJECT_SOURCE_DIR})
endif()
