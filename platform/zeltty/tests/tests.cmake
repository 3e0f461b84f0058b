# Tests of Zeltty: the protocol codec, and whole sessions of the program
# linked with the TLI test double over a socket pair.
add_executable(zelproto_test ${CMAKE_CURRENT_LIST_DIR}/proto_test.cpp)
target_link_libraries(zelproto_test PRIVATE zelproto GTest::gtest_main)
drax_add_test(zelproto_test)

# Zeltty whose connection is a stream socket on descriptor 0.
add_library(socktli STATIC ${CMAKE_CURRENT_LIST_DIR}/sockhooks.cpp)
target_include_directories(socktli PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(socktli PUBLIC tlifake)
add_executable(zeltty_sock ${CMAKE_CURRENT_LIST_DIR}/sockmain.cpp)
target_link_libraries(zeltty_sock PRIVATE zeltty_core socktli)

add_executable(zeltty_session_test ${CMAKE_CURRENT_LIST_DIR}/session_test.cpp)
target_link_libraries(zeltty_session_test PRIVATE zelproto zeltty_core testsupport GTest::gtest_main)
add_dependencies(zeltty_session_test zeltty_sock)
drax_add_test(zeltty_session_test TIMEOUT 180)
