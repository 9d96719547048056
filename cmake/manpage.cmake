# The manual page, gzipped and installed beside the tool. The Debian package
# takes it from the same install, as it takes everything cmake --install
# puts in place.

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
# pondrel-auto takes pondrel's words, and its page: a link to it.
install(CODE "file(CREATE_LINK pondrel.8.gz
  \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_MANDIR}/man8/pondrel-auto.8.gz\"
  SYMBOLIC)")
