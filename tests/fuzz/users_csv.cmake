# The users CSV import: reading, planning, applying and the export read back (Qt Core).
if(TARGET veldoran_users)
  veldoran_add_fuzzer(users_csv_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/users_csv_fuzz.cpp
                      LIBS veldoran_users)
endif()
