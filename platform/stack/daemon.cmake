# The stack daemon ipxstackd: the endpoint layer (library ipxstackd_lib,
# also linked by the unit tests) and the program.
add_library(ipxstackd_lib STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/daemon/stack.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/daemon/stack_route.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/daemon/router.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/daemon/links.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/daemon/server.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/daemon/sys.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/daemon/link_config.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/daemon/link_udp.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/daemon/link_relay.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/daemon/link_packet.cpp)
target_include_directories(ipxstackd_lib PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/daemon)
target_link_libraries(ipxstackd_lib PUBLIC ipxcore tli_proto)

add_executable(ipxstackd ${CMAKE_CURRENT_SOURCE_DIR}/daemon/main.cpp)
target_link_libraries(ipxstackd PRIVATE ipxstackd_lib)

if(DRAX_TESTS)
  include(${CMAKE_CURRENT_SOURCE_DIR}/tests/tests.cmake)
endif()
