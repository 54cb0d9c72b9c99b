# Who may do what: callers that are not root (run as nobody), the two
# policies, private and remote callers, hive files, against real daemons.
kalvo_add_test(security_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/security_test.cpp ${CMAKE_SOURCE_DIR}/daemon/peer_uid.cpp
  LIBS kalvo_test_harness kalvoclient)
add_dependencies(security_tests kalvo_registryd)
