# The registry end to end: raw procedures and the client library against
# real private daemons.
kalvo_add_test(registry_rpc_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_registry_rpc.cpp
  LIBS kalvo_test_harness kalvoclient)
add_dependencies(registry_rpc_tests kalvo_registryd)

kalvo_add_test(registry_client_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_winreg.cpp
  LIBS kalvo_test_harness kalvoclient)
add_dependencies(registry_client_tests kalvo_registryd)

kalvo_add_test(registry_notify_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/notify_test.cpp
  LIBS kalvo_test_harness kalvoclient)
target_compile_definitions(registry_notify_tests PRIVATE KALVOREG_PATH="$<TARGET_FILE:kalvoreg>")
add_dependencies(registry_notify_tests kalvo_registryd kalvoreg)
