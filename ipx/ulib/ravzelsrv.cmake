# ravzelsrv: the service requests to Ombrad (bind, unbind) over IPX datagrams.
# The TLI calls are resolved at the final link: programs link `tli`, the
# unit tests link the TLI test double `tlifake` in its place.
target_sources(ipxulib PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/ravzelsrv.cpp)
if(TARGET shr)
  target_link_libraries(ipxulib PUBLIC shr)
endif()

if(DRAX_TESTS)
  add_executable(ravzelsrv_test ${CMAKE_CURRENT_SOURCE_DIR}/tests/ravzelsrv_test.cpp)
  target_include_directories(ravzelsrv_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(ravzelsrv_test PRIVATE ipxulib tlifake GTest::gtest_main)
  drax_add_test(ravzelsrv_test)
endif()
