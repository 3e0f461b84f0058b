# Helpers that run while installing (in cmake_install.cmake, or from CPack
# before it packs): files that name the installation prefix, and links.
include_guard(GLOBAL)

# drax_configure(SOURCE DEST VERSION): writes SOURCE to DEST (relative:
# under CMAKE_INSTALL_PREFIX) with @PREFIX@, @VERSION@ and the default
# product root /opt/DRAXipx replaced by the prefix in use.
macro(drax_configure source dest version)
  if(IS_ABSOLUTE "${dest}")
    set(_drax_dest "${dest}")
  else()
    set(_drax_dest "${CMAKE_INSTALL_PREFIX}/${dest}")
  endif()
  file(READ "${source}" _drax_text)
  string(REPLACE "@PREFIX@" "${CMAKE_INSTALL_PREFIX}" _drax_text "${_drax_text}")
  string(REPLACE "@VERSION@" "${version}" _drax_text "${_drax_text}")
  string(REPLACE "/opt/DRAXipx/" "${CMAKE_INSTALL_PREFIX}/" _drax_text "${_drax_text}")
  message(STATUS "Installing: $ENV{DESTDIR}${_drax_dest}")
  file(WRITE "$ENV{DESTDIR}${_drax_dest}" "${_drax_text}")
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${_drax_dest}")
endmacro()

# drax_make_links(ROOT PREFIX LINKS_PREFIX): for zelterm, every manual page
# and tli.pc installed under ROOT/PREFIX, a symbolic link of the same
# relative name under ROOT/LINKS_PREFIX that points at PREFIX (pkg-config
# looks in LINKS_PREFIX/lib/pkgconfig, man in LINKS_PREFIX/share/man).
macro(drax_make_links root prefix links_prefix)
  file(GLOB _drax_rel RELATIVE "${root}${prefix}"
    "${root}${prefix}/bin/zelterm"
    "${root}${prefix}/share/man/man*/*"
    "${root}${prefix}/lib/pkgconfig/tli.pc")
  foreach(_drax_f IN LISTS _drax_rel)
    get_filename_component(_drax_dir "${root}${links_prefix}/${_drax_f}" DIRECTORY)
    file(MAKE_DIRECTORY "${_drax_dir}")
    file(REMOVE "${root}${links_prefix}/${_drax_f}")
    file(CREATE_LINK "${prefix}/${_drax_f}" "${root}${links_prefix}/${_drax_f}" SYMBOLIC)
    message(STATUS "Installing: ${root}${links_prefix}/${_drax_f} -> ${prefix}/${_drax_f}")
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${links_prefix}/${_drax_f}")
  endforeach()
endmacro()
