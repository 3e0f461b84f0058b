# The stack's protocol core: IPX and SPX codecs, the SPX connection, the
# link interface and link impairment, Ethernet framing and the relay's
# wire format. No I/O; the daemon and the tests drive it.
set(IPXCORE_DIR ${CMAKE_CURRENT_LIST_DIR})
add_library(ipxcore STATIC
  ${IPXCORE_DIR}/ipx.cpp
  ${IPXCORE_DIR}/spx.cpp
  ${IPXCORE_DIR}/link.cpp
  ${IPXCORE_DIR}/impair.cpp
  ${IPXCORE_DIR}/frame.cpp
  ${IPXCORE_DIR}/relay_wire.cpp)
target_include_directories(ipxcore PUBLIC ${IPXCORE_DIR})

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
endif()
