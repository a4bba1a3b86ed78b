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
# The configuration the service reads: /etc/velservermonitor/ for the system's prefix (/usr),
# <prefix>/etc/velservermonitor/ for any other. A file already there is an operator's and
# is kept.
string(CONFIGURE [[
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr" OR CMAKE_INSTALL_PREFIX STREQUAL "/")
    set(vel_etc "/etc/velservermonitor")
  else()
    set(vel_etc "${CMAKE_INSTALL_PREFIX}/etc/velservermonitor")
  endif()
  if(EXISTS "$ENV{DESTDIR}${vel_etc}/velservermonitor.ini")
    message(STATUS "Kept: $ENV{DESTDIR}${vel_etc}/velservermonitor.ini")
  else()
    file(INSTALL "@PROJECT_SOURCE_DIR@/packaging/velservermonitor.ini.example"
         DESTINATION "${vel_etc}" RENAME velservermonitor.ini PERMISSIONS OWNER_READ OWNER_WRITE
         GROUP_READ)
  endif()
]] vel_install_config @ONLY)
install(CODE "${vel_install_config}")

set(CPACK_PACKAGE_NAME velservermonitor)
set(CPACK_PACKAGE_VENDOR "VelServerMonitor developers")
set(CPACK_PACKAGE_CONTACT "VelServerMonitor developers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Watches Velmora web applications and sends alerts and status reports")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
# Installed with DESTDIR, so that the configuration lands in the package's /etc, marked as a
# conffile: an upgrade never overwrites the operator's settings.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
file(WRITE ${CMAKE_BINARY_DIR}/debian/conffiles "/etc/velservermonitor/velservermonitor.ini\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/debian/conffiles)
include(CPack)
