# The trace facility, library `zeltrace`.
add_library(zeltrace STATIC ${CMAKE_CURRENT_LIST_DIR}/trace.cpp)

if(DRAX_TESTS)
  add_executable(trace_test ${CMAKE_CURRENT_LIST_DIR}/tests/trace_test.cpp)
  target_link_libraries(trace_test zeltrace testsupport GTest::gtest_main)
  drax_add_test(trace_test)
endif()
