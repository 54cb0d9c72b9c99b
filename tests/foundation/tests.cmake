kalvo_add_test(foundation_utils_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/log_test.cpp ${CMAKE_CURRENT_LIST_DIR}/dirs_test.cpp
  LIBS kalvo_base kalvo_test_harness)
kalvo_add_test(foundation_daemon_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/daemon_cli_test.cpp
  LIBS kalvo_test_harness kalvoclient)
add_dependencies(foundation_daemon_test kalvo_registryd)
