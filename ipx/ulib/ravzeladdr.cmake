# ravzeladdr: IPX address <-> universal address record.
target_sources(ipxulib PRIVATE ${CMAKE_CURRENT_LIST_DIR}/ravzeladdr.cpp)
target_link_libraries(ipxulib PUBLIC shr)

if(DRAX_TESTS)
  add_executable(ravzeladdr_test ${CMAKE_CURRENT_LIST_DIR}/tests/ravzeladdr_test.cpp)
  target_link_libraries(ravzeladdr_test ipxulib GTest::gtest_main)
  drax_add_test(ravzeladdr_test)
endif()
