# The stack's protocol core: IPX and SPX codecs, the SPX connection, the
# link interface and link impairment, Ethernet framing, the relay's wire
# format, and routing (the RIP codec and the routing core). No I/O; the
# daemon and the tests drive it.
set(IPXCORE_DIR ${CMAKE_CURRENT_LIST_DIR})
add_library(ipxcore STATIC
  ${IPXCORE_DIR}/ipx.cpp
  ${IPXCORE_DIR}/spx.cpp
  ${IPXCORE_DIR}/link.cpp
  ${IPXCORE_DIR}/impair.cpp
  ${IPXCORE_DIR}/frame.cpp
  ${IPXCORE_DIR}/relay_wire.cpp
  ${IPXCORE_DIR}/rip_wire.cpp
  ${IPXCORE_DIR}/rip.cpp)
target_include_directories(ipxcore PUBLIC ${IPXCORE_DIR})

# Routing cores over a scripted internetwork on a fake clock: the routing
# tests and the routing simulation benchmark use it.
add_library(ipxcore_fakerip STATIC ${IPXCORE_DIR}/tests/fakerip.cpp)
target_include_directories(ipxcore_fakerip PUBLIC ${IPXCORE_DIR}/tests)
target_link_libraries(ipxcore_fakerip PUBLIC ipxcore)

if(DRAX_TESTS)
  add_executable(ipxcore_codec_test ${IPXCORE_DIR}/tests/codec_test.cpp
    ${IPXCORE_DIR}/tests/linkwire_test.cpp)
  target_link_libraries(ipxcore_codec_test ipxcore GTest::gtest_main)
  drax_add_test(ipxcore_codec_test)

  add_executable(ipxcore_spx_test
    ${IPXCORE_DIR}/tests/spx_test.cpp
    ${IPXCORE_DIR}/tests/spx_robust_test.cpp
    ${IPXCORE_DIR}/tests/fakenet.cpp)
  target_link_libraries(ipxcore_spx_test ipxcore GTest::gtest_main)
  drax_add_test(ipxcore_spx_test)

  add_executable(ipxcore_rip_test ${IPXCORE_DIR}/tests/rip_test.cpp
    ${IPXCORE_DIR}/tests/rip_net_test.cpp)
  target_link_libraries(ipxcore_rip_test ipxcore_fakerip GTest::gtest_main)
  drax_add_test(ipxcore_rip_test)
endif()
