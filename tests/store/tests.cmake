# Registry cache: pure store logic, in-process.
kalvo_add_test(store_cache_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_regdcache.cpp ${CMAKE_CURRENT_LIST_DIR}/../store_io/io_test_util.cpp
  LIBS kalvo_store kalvo_base)
