# The manual page and the Debian package. Included from the top-level list
# after the pondrel target, so that install() and CPack see the whole tool.

# Debian ships manual pages compressed; man-db and busybox man read them so.
set(PONDREL_MANPAGE ${CMAKE_CURRENT_BINARY_DIR}/pondrel.8.gz)
add_custom_command(
  OUTPUT ${PONDREL_MANPAGE}
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/man/pondrel.8 pondrel.8
  # -n leaves the name and time out, so the same page gives the same bytes.
  COMMAND gzip -9nf pondrel.8
  DEPENDS ${PROJECT_SOURCE_DIR}/man/pondrel.8
  WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
  VERBATIM)
add_custom_target(pondrel_manpage ALL DEPENDS ${PONDREL_MANPAGE})
install(FILES ${PONDREL_MANPAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)

set(CPACK_PACKAGE_NAME pondrel)
set(CPACK_PACKAGE_VENDOR "pondrel developers")
# Whoever builds a package for others puts their own name and address here.
set(PONDREL_MAINTAINER "pondrel developers <pondrel@localhost>"
  CACHE STRING "Maintainer field of the Debian package")
set(CPACK_PACKAGE_CONTACT "${PONDREL_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "limit a network interface's bandwidth in each direction")
# CPack indents each line for the control file; dpkg wants them short.
set(CPACK_PACKAGE_DESCRIPTION "pondrel is a one-shot command for small Linux systems: it shapes the
traffic leaving an interface with a token-bucket filter, polices the
traffic arriving on it, hands both limits to the kernel over route
netlink and exits. Rates are given in Kbit/s on the command line.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Symbols are for the developer's build tree, not for a small system.
set(CPACK_STRIP_FILES ON)
# The system installs into /usr; /usr/local is for hand-made installs.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# dpkg-shlibdeps reads the binary's needed libraries and gives each package
# with the lowest version that has the symbols it uses (libc6, libnl-3-200).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg names the build machine's architecture; a cross build names its target.
if(PONDREL_DEB_ARCH)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${PONDREL_DEB_ARCH})
endif()
include(CPack)
