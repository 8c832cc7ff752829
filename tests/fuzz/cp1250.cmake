# The Windows-1250 table. Its source is compiled into the target so that libFuzzer sees it.
veldoran_add_fuzzer(cp1250_fuzz SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/cp1250_fuzz.cpp
  ${PROJECT_SOURCE_DIR}/src/platform/cp1250.cpp
)
target_include_directories(cp1250_fuzz PRIVATE ${PROJECT_SOURCE_DIR}/src)
