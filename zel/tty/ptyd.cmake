# Zelptyd: the SPX terminal-service listener.
set(ZELPTYD_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/ptyd.cpp
  ${CMAKE_CURRENT_LIST_DIR}/_vers.cpp)

if(TARGET tli)
  add_executable(Zelptyd ${ZELPTYD_SOURCES})
  target_link_libraries(Zelptyd PRIVATE ipxulib shr zeltrace tli)
endif()

if(DRAX_TESTS)
  # Unit tests: the daemon's own sources with main renamed, against the TLI
  # test double.
  add_executable(ptyd_test
    ${CMAKE_CURRENT_LIST_DIR}/tests/ptyd_test.cpp
    ${ZELPTYD_SOURCES})
  target_compile_definitions(ptyd_test PRIVATE main=zelptyd_main)
  target_include_directories(ptyd_test PRIVATE ${CMAKE_CURRENT_LIST_DIR}
    ${CMAKE_SOURCE_DIR}/ipx/ulib)
  target_link_libraries(ptyd_test PRIVATE ipxulib shr zeltrace tlifake testsupport
    GTest::gtest_main)
  drax_add_test(ptyd_test)

  # End-to-end: the built daemon with the stack daemon, Ombrad (a test one
  # or the real one) and a test Zeltty, as root in private namespaces. The
  # scenario files share their set-up (tests/e2e_setup.h): ptyd_e2e_test,
  # the daemon's own paths; ptyd_attack_test, an ordinary user attacking it.
  if(TARGET tli AND TARGET ipxstackd)
    add_executable(ptyd_fake_zeltty ${CMAKE_CURRENT_LIST_DIR}/tests/fake_zeltty.cpp)
    target_link_libraries(ptyd_fake_zeltty PRIVATE tli)
    add_executable(ptyd_test_ombrad ${CMAKE_CURRENT_LIST_DIR}/tests/test_ombrad.cpp)
    target_link_libraries(ptyd_test_ombrad PRIVATE tli)
    foreach(t ptyd_e2e_test ptyd_attack_test)
      add_executable(${t}
        ${CMAKE_CURRENT_LIST_DIR}/tests/${t}.cpp
        ${CMAKE_CURRENT_LIST_DIR}/_vers.cpp)
      target_include_directories(${t} PRIVATE ${CMAKE_CURRENT_LIST_DIR})
      target_compile_definitions(${t} PRIVATE
        ZELPTYD_BIN="$<TARGET_FILE:Zelptyd>"
        FAKE_ZELTTY_BIN="$<TARGET_FILE:ptyd_fake_zeltty>"
        TEST_OMBRAD_BIN="$<TARGET_FILE:ptyd_test_ombrad>"
        OMBRAD_BIN="$<TARGET_FILE:Ombrad>"
        IPXSTACKD_BIN="$<TARGET_FILE:ipxstackd>")
      # The SAP client library and Ombrad's wire formats come from
      # platform/ombrad, configured after this directory.
      target_link_libraries(${t} PRIVATE sapclient ombradcore tli testsupport GTest::gtest_main)
      add_dependencies(${t} Zelptyd ptyd_fake_zeltty ptyd_test_ombrad Ombrad ipxstackd)
      drax_add_test(${t} NAMESPACE TIMEOUT 300)
    endforeach()
  endif()
endif()
