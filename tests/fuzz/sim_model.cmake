# The simulated controller's model: any bytes, in any pieces and with any pauses, must neither
# crash it nor keep it from answering a status query afterwards.
veldoran_add_fuzzer(sim_model_fuzz SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/sim_model_fuzz.cpp
  ${PROJECT_SOURCE_DIR}/tools/sim/controller_model.cpp
  ${PROJECT_SOURCE_DIR}/src/link/protocol.cpp
  ${PROJECT_SOURCE_DIR}/src/platform/day_count.cpp
)
target_include_directories(sim_model_fuzz PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/src)
