# Tests of the TLI library against a real ipxstackd (namespaced: they start
# daemons), and the helper they share with other tests.
set(TLI_TESTS ${CMAKE_CURRENT_LIST_DIR})

# A running stack for tests: ipxstacktest (StackProc).
add_library(ipxstacktest STATIC ${TLI_TESTS}/stackproc.cpp)
target_include_directories(ipxstacktest PUBLIC ${TLI_TESTS})
target_link_libraries(ipxstacktest PUBLIC testsupport)

# The program a test execs with a connection on descriptor 0.
add_executable(tli_child ${TLI_TESTS}/tli_child.cpp)
target_link_libraries(tli_child PRIVATE tli)

add_executable(tli_proto_test ${TLI_TESTS}/proto_test.cpp)
target_link_libraries(tli_proto_test PRIVATE tli GTest::gtest_main)
drax_add_test(tli_proto_test)

add_executable(tli_conformance_test
  ${TLI_TESTS}/tlitest.cpp
  ${TLI_TESTS}/conformance_test.cpp
  ${TLI_TESTS}/datagram_test.cpp
  ${TLI_TESTS}/datapath_test.cpp
  ${TLI_TESTS}/process_test.cpp)
target_link_libraries(tli_conformance_test PRIVATE tli ipxstacktest GTest::gtest_main)
add_dependencies(tli_conformance_test ipxstackd tli_child)
drax_add_test(tli_conformance_test NAMESPACE TIMEOUT 300)
# Again with the stack looking only at endpoints that something happened to
# (no periodic look at every endpoint for 10 minutes): a wake-up the stack
# misses makes a call hang and the test fail, where it would otherwise only
# cost up to a second.
drax_add_test(tli_conformance_lazy PROGRAM tli_conformance_test NAMESPACE TIMEOUT 300)
set_property(TEST tli_conformance_lazy APPEND PROPERTY ENVIRONMENT "TLITEST_STACK_ARGS=--settle-all 600000")
