# kalvoreg: the .reg text format in-process; the tool against real private
# daemons; the installation into a staging directory.
kalvo_add_test(kalvoreg_text_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/regtext_test.cpp
          ${CMAKE_SOURCE_DIR}/tools/regargs.cpp
          ${CMAKE_SOURCE_DIR}/tools/regdata.cpp
          ${CMAKE_SOURCE_DIR}/tools/regfile.cpp
          ${CMAKE_SOURCE_DIR}/tools/regpath.cpp
          ${CMAKE_SOURCE_DIR}/tools/regtext.cpp
  LIBS kalvoclient)

if(TARGET kalvoreg)
  kalvo_add_test(kalvoreg_tool_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tool_test.cpp
    LIBS kalvo_test_harness)
  target_compile_definitions(kalvoreg_tool_tests PRIVATE KALVOREG_PATH="$<TARGET_FILE:kalvoreg>")
  add_dependencies(kalvoreg_tool_tests kalvoreg kalvo_registryd)

  include(GNUInstallDirs)
  kalvo_add_test(kalvoreg_install_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/install_test.cpp
    LIBS kalvo_test_harness)
  target_compile_definitions(kalvoreg_install_tests PRIVATE
    KALVOREG_PATH="$<TARGET_FILE:kalvoreg>"
    KALVO_CMAKE="${CMAKE_COMMAND}"
    KALVO_BUILD_DIR="${CMAKE_BINARY_DIR}"
    KALVO_INSTALL_PREFIX="${CMAKE_INSTALL_PREFIX}"
    KALVO_BINDIR="${CMAKE_INSTALL_BINDIR}"
    KALVO_SBINDIR="${CMAKE_INSTALL_SBINDIR}"
    KALVO_LIBDIR="${CMAKE_INSTALL_LIBDIR}"
    KALVO_MANDIR="${CMAKE_INSTALL_MANDIR}"
    # An instrumented library links only into an instrumented program.
    KALVO_TEST_CFLAGS="$<$<BOOL:${KALVO_SANITIZE}>:-fsanitize=address,undefined>")
  add_dependencies(kalvoreg_install_tests kalvoreg kalvo_registryd kalvoclient)
endif()
