# What an install holds beside zeps (whose rules sit with it) and the Debian package:
#   cmake --build <build> --target package   ->   zep_<version>_amd64.deb
include(GNUInstallDirs)

# The installed default configuration, read when the current folder holds no client-config.cfg.
set(ZEP_SYSTEM_CONFIG "/etc/zep/client-config.cfg" CACHE STRING "Default configuration file read by zep and zeps")
target_compile_definitions(zep_config PRIVATE ZEP_SYSTEM_CONFIG="${ZEP_SYSTEM_CONFIG}")
get_filename_component(ZEP_SYSTEM_CONFIG_DIR "${ZEP_SYSTEM_CONFIG}" DIRECTORY)

install(TARGETS zep RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Manual pages, compressed as Debian wants them.
set(ZEP_MAN_PAGES)
foreach(page zep.1 zeps.1)
  configure_file(${PROJECT_SOURCE_DIR}/dist/man/${page} ${PROJECT_BINARY_DIR}/dist/man/${page} @ONLY)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/dist/man/${page}.gz
    COMMAND gzip -9nf -k ${PROJECT_BINARY_DIR}/dist/man/${page}
    DEPENDS ${PROJECT_BINARY_DIR}/dist/man/${page} VERBATIM)
  list(APPEND ZEP_MAN_PAGES ${PROJECT_BINARY_DIR}/dist/man/${page}.gz)
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/dist/changelog.in ${PROJECT_BINARY_DIR}/dist/changelog @ONLY)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/dist/changelog.gz
  COMMAND gzip -9nf -k ${PROJECT_BINARY_DIR}/dist/changelog
  DEPENDS ${PROJECT_BINARY_DIR}/dist/changelog VERBATIM)
add_custom_target(zep_dist_files ALL DEPENDS ${ZEP_MAN_PAGES} ${PROJECT_BINARY_DIR}/dist/changelog.gz)

install(FILES ${ZEP_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/dist/copyright ${PROJECT_BINARY_DIR}/dist/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/dist/zep.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
# The default configuration belongs in /etc when installed into /usr (the package); an install
# into any other prefix keeps it under that prefix, so that it never touches the running system.
install(CODE "
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    set(etc \"${ZEP_SYSTEM_CONFIG_DIR}\")
  else()
    set(etc \"\${CMAKE_INSTALL_PREFIX}/etc/zep\")
  endif()
  file(INSTALL DESTINATION \"\${etc}\" TYPE FILE FILES \"${PROJECT_SOURCE_DIR}/dist/client-config.cfg\")
")

file(WRITE ${PROJECT_BINARY_DIR}/dist/control/conffiles "${ZEP_SYSTEM_CONFIG}\n")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zep)
set(CPACK_PACKAGE_VENDOR "zep developers")
set(CPACK_PACKAGE_CONTACT "zep developers <zep@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "cloud-gaming client and its background service")
set(CPACK_PACKAGE_DESCRIPTION "zep streams a game that runs on a remote station to the player's desktop:
video, sound, keyboard, mouse, gamepad, clipboard text and microphone. The
background service zeps, a systemd user unit, starts sessions from the
service's web page (a local TLS port or vekta: URLs) and launches zep.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/dist/control/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
# Installed with DESTDIR into /usr, so that the rules above see the real prefix.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
include(CPack)
