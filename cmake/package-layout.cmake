# Run by CPack on the staged installation before it packs it: moves the
# systemd units to /lib/systemd/system and adds the links in /usr.
set(prefix "${CPACK_PACKAGING_INSTALL_PREFIX}")
include("${CPACK_DRAX_SOURCE_DIR}/cmake/install-time.cmake")

# The staged tree: the temporary directory itself, or (components packed
# into one package) a directory in it.
set(root "")
file(GLOB candidates LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(c "${CPACK_TEMPORARY_INSTALL_DIRECTORY}" ${candidates})
  if(IS_DIRECTORY "${c}${prefix}/bin")
    set(root "${c}")
    break()
  endif()
endforeach()
if(NOT root)
  message(FATAL_ERROR "no staged installation of ${prefix} in ${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
endif()

if(NOT IS_ABSOLUTE "${CPACK_DRAX_UNIT_DIR}")
  file(GLOB units "${root}${prefix}/${CPACK_DRAX_UNIT_DIR}/*.service")
  file(MAKE_DIRECTORY "${root}/lib/systemd/system")
  foreach(u IN LISTS units)
    get_filename_component(name "${u}" NAME)
    file(RENAME "${u}" "${root}/lib/systemd/system/${name}")
  endforeach()
  # Leave no empty directories behind in the package.
  set(d "${root}${prefix}/${CPACK_DRAX_UNIT_DIR}")
  while(NOT d STREQUAL "${root}${prefix}")
    file(GLOB left "${d}/*")
    if(left)
      break()
    endif()
    file(REMOVE_RECURSE "${d}")
    get_filename_component(d "${d}" DIRECTORY)
  endwhile()
endif()

drax_make_links("${root}" "${prefix}" /usr)
