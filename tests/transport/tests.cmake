# The serving loop against hostile clients, the exact reply bytes, calls
# side by side and the client library's retry, all on real daemons.
kalvo_add_test(transport_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/raw_rpc.cpp ${CMAKE_CURRENT_LIST_DIR}/hostile_clients_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/wire_bytes_test.cpp ${CMAKE_CURRENT_LIST_DIR}/concurrency_test.cpp
          ${CMAKE_SOURCE_DIR}/tests/harness/big_registry.cpp
  LIBS kalvo_test_harness kalvoclient kalvo_store kalvo_base)
add_dependencies(transport_tests kalvo_registryd)
# The wire records byte for byte, record assembly and the bounded decode, in process.
kalvo_add_test(transport_unit_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/raw_rpc.cpp ${CMAKE_CURRENT_LIST_DIR}/wire_unit_test.cpp
          ${CMAKE_SOURCE_DIR}/daemon/rpc_wire.cpp
  LIBS kalvo_test_harness kalvoclient)
