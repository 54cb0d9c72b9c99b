# Database file format, reader, writer, start-up loading and seeding: in-process.
kalvo_add_test(store_io_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/io_test_util.cpp ${CMAKE_CURRENT_LIST_DIR}/writer_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/reader_test.cpp ${CMAKE_CURRENT_LIST_DIR}/loader_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/limits_test.cpp
  LIBS kalvo_store kalvo_base)

