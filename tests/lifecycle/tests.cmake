kalvo_add_test(lifecycle_daemon_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/lifecycle_test.cpp
  LIBS kalvo_test_harness kalvoclient)
add_dependencies(lifecycle_daemon_test kalvo_registryd)
kalvo_add_test(lifecycle_load_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/load_test.cpp
  LIBS kalvo_test_harness kalvoclient)
add_dependencies(lifecycle_load_test kalvo_registryd)
kalvo_add_test(lifecycle_safe_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/safe_life_test.cpp ${CMAKE_SOURCE_DIR}/tests/harness/big_registry.cpp
  LIBS kalvo_test_harness kalvo_rpc kalvo_store kalvo_base)
add_dependencies(lifecycle_safe_test kalvo_registryd)
