# The registry across daemon restarts, start-up fall-backs, seeding and hive
# files, against real private daemons.
kalvo_add_test(persistence_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/persistence_util.cpp ${CMAKE_CURRENT_LIST_DIR}/persistence_test.cpp
  LIBS kalvo_test_harness kalvoclient)
add_dependencies(persistence_tests kalvo_registryd)

# SIGKILL at random moments during saves of a large registry, 25 times.
kalvo_add_test(persistence_crash_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/persistence_util.cpp ${CMAKE_CURRENT_LIST_DIR}/crash_test.cpp
          ${CMAKE_SOURCE_DIR}/tests/harness/big_registry.cpp
  LIBS kalvo_test_harness kalvoclient kalvo_store kalvo_base)
add_dependencies(persistence_crash_tests kalvo_registryd)
