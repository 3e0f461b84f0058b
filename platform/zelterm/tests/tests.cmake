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
