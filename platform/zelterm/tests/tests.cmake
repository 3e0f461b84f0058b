# Tests of zelterm: its pure parts, and whole sessions of the program linked
# with the TLI test double, against Zeltty linked the same way.
add_executable(zelterm_core_test ${CMAKE_CURRENT_LIST_DIR}/termcore_test.cpp)
target_link_libraries(zelterm_core_test PRIVATE zelterm_core GTest::gtest_main)
drax_add_test(zelterm_core_test)

if(TARGET socktli)
  # zelterm whose endpoint is a stream socket given by the test, with a
  # fixed service directory.
  add_executable(zelterm_sock ${CMAKE_CURRENT_LIST_DIR}/sockmain.cpp)
  target_link_libraries(zelterm_sock PRIVATE zelterm_core socktli)

  add_executable(zelterm_session_test ${CMAKE_CURRENT_LIST_DIR}/session_test.cpp)
  target_link_libraries(zelterm_session_test PRIVATE zelterm_core testsupport GTest::gtest_main)
  add_dependencies(zelterm_session_test zelterm_sock zeltty_sock)
  drax_add_test(zelterm_session_test TIMEOUT 180)
endif()

# The whole service through the real stack, once every program exists.
if(TARGET ipxstackd AND TARGET Ombrad AND TARGET Zelptyd AND TARGET Zeltty AND TARGET zelterm)
  add_executable(terminal_e2e_test ${CMAKE_CURRENT_LIST_DIR}/e2e_test.cpp)
  target_link_libraries(terminal_e2e_test PRIVATE testsupport GTest::gtest_main)
  target_compile_definitions(terminal_e2e_test PRIVATE
    IPXSTACKD_PATH="$<TARGET_FILE:ipxstackd>" OMBRAD_PATH="$<TARGET_FILE:Ombrad>"
    ZELPTYD_PATH="$<TARGET_FILE:Zelptyd>" ZELTTY_PATH="$<TARGET_FILE:Zeltty>"
    ZELTERM_PATH="$<TARGET_FILE:zelterm>")
  # In two parts that run side by side: the crowds, and the rest.
  drax_add_test(terminal_e2e_crowd PROGRAM terminal_e2e_test NAMESPACE TIMEOUT 300 COST 30
    FILTER "TerminalService.Twenty*")
  drax_add_test(terminal_e2e_test NAMESPACE TIMEOUT 300 COST 40 FILTER "-TerminalService.Twenty*")
endif()
