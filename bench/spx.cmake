# SPX through ipxstackd beside TCP loopback: bulk throughput in 2048-byte
# units and round-trip latency. Run as root (it starts its own stack):
#   build/bench/spx_bench
add_executable(spx_bench ${CMAKE_CURRENT_LIST_DIR}/spx_bench.cpp)
target_link_libraries(spx_bench PRIVATE tli)
add_dependencies(spx_bench ipxstackd)
target_compile_definitions(spx_bench PRIVATE
  IPXSTACKD_PATH="$<TARGET_FILE:ipxstackd>")
