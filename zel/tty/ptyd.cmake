# Zelptyd: the SPX terminal-service listener.
set(ZELPTYD_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/ptyd.cpp
  ${CMAKE_CURRENT_LIST_DIR}/_vers.cpp)

if(TARGET tli)
  add_executable(Zelptyd ${ZELPTYD_SOURCES})
  target_link_libraries(Zelptyd PRIVATE ipxulib shr zeltrace tli)
endif()

if(DRAX_TESTS)
  # Unit tests: the daemon's own sources with main renamed, against the TLI
  # test double.
  add_executable(ptyd_test
    ${CMAKE_CURRENT_LIST_DIR}/tests/ptyd_test.cpp
    ${ZELPTYD_SOURCES})
  target_compile_definitions(ptyd_test PRIVATE main=zelptyd_main)
  target_include_directories(ptyd_test PRIVATE ${CMAKE_CURRENT_LIST_DIR}
    ${CMAKE_SOURCE_DIR}/ipx/ulib)
  target_link_libraries(ptyd_test PRIVATE ipxulib shr zeltrace tlifake testsupport
    GTest::gtest_main)
  drax_add_test(ptyd_test)

  # End-to-end: the built daemon with the stack daemon, a test Ombrad and a
  # test Zeltty, as root in private namespaces.
  if(TARGET tli AND TARGET ipxstackd)
    add_executable(ptyd_fake_zeltty ${CMAKE_CURRENT_LIST_DIR}/tests/fake_zeltty.cpp)
    target_link_libraries(ptyd_fake_zeltty PRIVATE tli)
    add_executable(ptyd_test_ombrad ${CMAKE_CURRENT_LIST_DIR}/tests/test_ombrad.cpp)
    target_link_libraries(ptyd_test_ombrad PRIVATE tli)
    add_executable(ptyd_e2e_test
      ${CMAKE_CURRENT_LIST_DIR}/tests/ptyd_e2e_test.cpp
      ${CMAKE_CURRENT_LIST_DIR}/_vers.cpp)
    target_include_directories(ptyd_e2e_test PRIVATE ${CMAKE_CURRENT_LIST_DIR})
    target_compile_definitions(ptyd_e2e_test PRIVATE
      ZELPTYD_BIN="$<TARGET_FILE:Zelptyd>"
      FAKE_ZELTTY_BIN="$<TARGET_FILE:ptyd_fake_zeltty>"
      TEST_OMBRAD_BIN="$<TARGET_FILE:ptyd_test_ombrad>"
      IPXSTACKD_BIN="$<TARGET_FILE:ipxstackd>")
    target_link_libraries(ptyd_e2e_test PRIVATE tli testsupport GTest::gtest_main)
    add_dependencies(ptyd_e2e_test Zelptyd ptyd_fake_zeltty ptyd_test_ombrad ipxstackd)
    drax_add_test(ptyd_e2e_test NAMESPACE TIMEOUT 300)
  endif()
endif()
