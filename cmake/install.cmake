# What `cmake --install` puts where, relative to CMAKE_INSTALL_PREFIX (the
# product root, /opt/DRAXipx by default), in components:
#
#   programs  bin/: the daemons, Zeltty, zelterm, dunmere, sapwait
#   tli       lib/libtli.so*, lib/libtli.a, include/tiuser.h, lib/pkgconfig/tli.pc
#   manuals   share/man/man{1,3,8}/
#   units     the systemd units (DRAX_SYSTEMD_UNIT_DIR)
#   links     with DRAX_LINKS_PREFIX set (e.g. /usr/local): symbolic links
#             there to zelterm, the manual pages and tli.pc, so that the
#             shell, man and pkg-config find them
#
# Files that name the prefix (tli.pc, the units) are written at install time,
# so `cmake --install BUILD --prefix DIR` gets them right too.

set(DRAX_PROGRAMS ipxstackd Ombrad Zelptyd Zeltty zelterm dunmere sapwait)
set(DRAX_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
  "Where the systemd units go (relative: under the prefix)")
set(DRAX_LINKS_PREFIX "" CACHE PATH
  "Where links to zelterm, the manual pages and tli.pc go (empty: nowhere)")

foreach(p IN LISTS DRAX_PROGRAMS)
  if(TARGET ${p})
    install(TARGETS ${p} RUNTIME DESTINATION bin COMPONENT programs)
  endif()
endforeach()

# The TLI library for other programs.
if(TARGET tli_shared)
  install(TARGETS tli_shared LIBRARY DESTINATION lib COMPONENT tli NAMELINK_COMPONENT tli)
  install(TARGETS tli_archive ARCHIVE DESTINATION lib COMPONENT tli)
  install(FILES ${CMAKE_SOURCE_DIR}/platform/tli/include/tiuser.h DESTINATION include COMPONENT tli)
  install(CODE "
    include(\"${CMAKE_SOURCE_DIR}/cmake/install-time.cmake\")
    drax_configure(\"${CMAKE_SOURCE_DIR}/platform/tli/tli.pc.in\" \"lib/pkgconfig/tli.pc\" \"${PROJECT_VERSION}\")
    " COMPONENT tli)
endif()

# Manual pages, and for each call declared in <tiuser.h> a page that leads
# to tli(3).
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/platform/tli/include/tiuser.h)
file(STRINGS ${CMAKE_SOURCE_DIR}/platform/tli/include/tiuser.h DRAX_TLI_DECLS
  REGEX "^[a-z].*[ *]t_[a-z]+\\(")
set(DRAX_TLI_CALLS "")
foreach(decl IN LISTS DRAX_TLI_DECLS)
  string(REGEX MATCH "t_[a-z]+\\(" call "${decl}")
  string(REPLACE "(" "" call "${call}")
  list(APPEND DRAX_TLI_CALLS ${call})
endforeach()
file(GLOB DRAX_MAN_PAGES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/man/*.[1-8])
foreach(page IN LISTS DRAX_MAN_PAGES)
  get_filename_component(ext ${page} EXT)
  string(SUBSTRING ${ext} 1 1 section)
  install(FILES ${page} DESTINATION share/man/man${section} COMPONENT manuals)
endforeach()
foreach(call IN LISTS DRAX_TLI_CALLS)
  file(WRITE ${CMAKE_BINARY_DIR}/man/${call}.3 ".so man3/tli.3\n")
  install(FILES ${CMAKE_BINARY_DIR}/man/${call}.3 DESTINATION share/man/man3 COMPONENT manuals)
endforeach()

# The systemd units, naming the programs where they are installed.
file(GLOB DRAX_UNITS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/platform/systemd/*.service)
foreach(unit IN LISTS DRAX_UNITS)
  get_filename_component(name ${unit} NAME)
  install(CODE "
    include(\"${CMAKE_SOURCE_DIR}/cmake/install-time.cmake\")
    drax_configure(\"${unit}\" \"${DRAX_SYSTEMD_UNIT_DIR}/${name}\" \"${PROJECT_VERSION}\")
    " COMPONENT units)
endforeach()

# Last, the links to what was installed above.
if(DRAX_LINKS_PREFIX)
  install(CODE "
    include(\"${CMAKE_SOURCE_DIR}/cmake/install-time.cmake\")
    drax_make_links(\"\$ENV{DESTDIR}\" \"\${CMAKE_INSTALL_PREFIX}\" \"${DRAX_LINKS_PREFIX}\")
    " COMPONENT links)
endif()

include(${CMAKE_SOURCE_DIR}/cmake/package.cmake)
