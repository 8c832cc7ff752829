# The INI engine. Its sources are compiled into the target so that libFuzzer sees their branches.
veldoran_add_fuzzer(ini_fuzz SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/ini_fuzz.cpp
  ${PROJECT_SOURCE_DIR}/src/records/ini_file.cpp
  ${PROJECT_SOURCE_DIR}/src/platform/cp1250.cpp
  ${PROJECT_SOURCE_DIR}/src/platform/posix/atomic_file.cpp
)
target_include_directories(ini_fuzz PRIVATE ${PROJECT_SOURCE_DIR}/src)
