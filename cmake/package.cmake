# The Debian package (scripts/package.sh runs cpack): everything of the
# installation under /opt/DRAXipx, the systemd units in /lib/systemd/system,
# and links in /usr to zelterm (/usr/bin), the manual pages and tli.pc.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME draxipx)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "DRAXipx")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Remote terminal service for IPX/SPX, with its IPX/SPX stack and TLI library")
set(CPACK_PACKAGE_DESCRIPTION "Zelptyd offers login sessions over SPX and advertises them by SAP;
zelterm is the client. The package brings the user-space IPX/SPX stack
ipxstackd, the SAP daemon Ombrad, the diagnostic dunmere, the System V
TLI library (libtli, <tiuser.h>, pkg-config module tli), manual pages and
systemd units.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "DRAXipx maintainers <root@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.36), libstdc++6 (>= 12), libgcc-s1")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /opt/DRAXipx)
# postrm names the manual pages, whose formatted copies man may have cached.
set(DRAX_MAN_PAGE_NAMES "")
foreach(page IN LISTS DRAX_MAN_PAGES)
  get_filename_component(name ${page} NAME)
  string(APPEND DRAX_MAN_PAGE_NAMES " ${name}")
endforeach()
foreach(call IN LISTS DRAX_TLI_CALLS)
  string(APPEND DRAX_MAN_PAGE_NAMES " ${call}.3")
endforeach()
string(STRIP "${DRAX_MAN_PAGE_NAMES}" DRAX_MAN_PAGE_NAMES)
configure_file(${CMAKE_SOURCE_DIR}/packaging/deb/postrm.in ${CMAKE_BINARY_DIR}/packaging/postrm @ONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_SOURCE_DIR}/packaging/deb/postinst
  ${CMAKE_SOURCE_DIR}/packaging/deb/prerm
  ${CMAKE_BINARY_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)

# One package of these components (not `links`: the package makes its own
# in /usr).
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL programs tli manuals units)

set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/package-layout.cmake)
set(CPACK_DRAX_SOURCE_DIR ${CMAKE_SOURCE_DIR})
set(CPACK_DRAX_UNIT_DIR ${DRAX_SYSTEMD_UNIT_DIR})
include(CPack)
