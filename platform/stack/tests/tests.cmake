# Tests of ipxstackd: the endpoint layer without sockets (fake clock and
# client), and the program itself (namespaced: starts daemons).
set(STACKD_TESTS ${CMAKE_CURRENT_LIST_DIR})

add_executable(ipxstackd_endpoint_test ${STACKD_TESTS}/endpoint_test.cpp)
target_link_libraries(ipxstackd_endpoint_test PRIVATE ipxstackd_lib GTest::gtest_main)
drax_add_test(ipxstackd_endpoint_test)

add_executable(ipxstackd_daemon_test ${STACKD_TESTS}/daemon_test.cpp)
target_link_libraries(ipxstackd_daemon_test PRIVATE tli ipxstacktest GTest::gtest_main)
add_dependencies(ipxstackd_daemon_test ipxstackd)
drax_add_test(ipxstackd_daemon_test NAMESPACE TIMEOUT 300)

add_executable(ipxstackd_links_test ${STACKD_TESTS}/links_test.cpp)
target_link_libraries(ipxstackd_links_test PRIVATE ipxstackd_lib GTest::gtest_main)
drax_add_test(ipxstackd_links_test)

add_executable(ipxstackd_router_test ${STACKD_TESTS}/router_test.cpp)
target_link_libraries(ipxstackd_router_test PRIVATE ipxstackd_lib GTest::gtest_main)
drax_add_test(ipxstackd_router_test)
