# Installation and packaging of the service: the executable, its unit file and example
# configuration, the man page. The client library has cmake/VelClientLibrary.cmake.
include(GNUInstallDirs)

if(TARGET velservermonitor)
  install(TARGETS velservermonitor RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(FILES ${PROJECT_SOURCE_DIR}/packaging/velservermonitor.service
  DESTINATION lib/systemd/system)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/velservermonitor.ini.example
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/velservermonitor)
install(FILES ${PROJECT_SOURCE_DIR}/docs/velservermonitor.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_PACKAGE_NAME velservermonitor)
set(CPACK_PACKAGE_VENDOR "VelServerMonitor developers")
set(CPACK_PACKAGE_CONTACT "VelServerMonitor developers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Watches Velmora web applications and sends alerts and status reports")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
include(CPack)
