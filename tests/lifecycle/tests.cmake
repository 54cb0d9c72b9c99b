kalvo_add_test(lifecycle_ipcs_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ipcs_test.cpp
  LIBS kalvo_sync)
