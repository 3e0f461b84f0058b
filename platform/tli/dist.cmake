# The TLI library as other programs link it: libtli.so.1 and libtli.a, built
# from position-independent objects, exporting the calls and t_errno,
# t_errlist, t_nerr of <tiuser.h> and nothing else. The programs of this tree
# link the static target `tli` instead.
set(TLI_DIR ${CMAKE_CURRENT_LIST_DIR})
add_library(tli_pic OBJECT
  ${TLI_DIR}/tli.cpp ${TLI_DIR}/channel.cpp ${TLI_DIR}/terror.cpp ${TLI_DIR}/proto.cpp)
set_target_properties(tli_pic PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_include_directories(tli_pic PRIVATE ${TLI_DIR})

add_library(tli_shared SHARED $<TARGET_OBJECTS:tli_pic>)
set_target_properties(tli_shared PROPERTIES
  OUTPUT_NAME tli VERSION ${PROJECT_VERSION} SOVERSION 1
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/dist
  LINK_DEPENDS ${TLI_DIR}/libtli.map)
target_link_options(tli_shared PRIVATE -Wl,--version-script=${TLI_DIR}/libtli.map)
if(NOT DRAX_SANITIZE)
  # Everything the library needs is linked in; the sanitizer runtimes are
  # the executable's business.
  target_link_options(tli_shared PRIVATE -Wl,--no-undefined)
endif()

add_library(tli_archive STATIC $<TARGET_OBJECTS:tli_pic>)
set_target_properties(tli_archive PROPERTIES
  OUTPUT_NAME tli ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/dist)
