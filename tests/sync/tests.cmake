# Sync server: pure units in-process (with the System V set), the rest against
# real private daemons.
kalvo_add_test(sync_unit_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_sync_units.cpp
  LIBS kalvo_sync kalvo_base)

kalvo_add_test(sync_server_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_sync_objects.cpp
  LIBS kalvo_test_harness kalvoclient)
add_dependencies(sync_server_tests kalvo_registryd)

# Waits, signalling, wake-ups, thread exit and disconnect, and who may speak
# for or hear a process: on the wire and through the client library, in real
# processes and threads.
kalvo_add_test(sync_wait_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_sync_waits.cpp
          ${CMAKE_CURRENT_LIST_DIR}/test_synchapi.cpp
          ${CMAKE_CURRENT_LIST_DIR}/test_sync_peers.cpp
  LIBS kalvo_test_harness kalvoclient)
add_dependencies(sync_wait_tests kalvo_registryd)

# Eight processes of four threads each on shared objects for six seconds.
kalvo_add_test(sync_stress_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_sync_stress.cpp
  LIBS kalvo_test_harness kalvoclient)
add_dependencies(sync_stress_test kalvo_registryd)

# The server's batched sends, in-process.
kalvo_add_test(sync_wake_path_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/wake_path_test.cpp
  LIBS kalvo_sync kalvo_base)
