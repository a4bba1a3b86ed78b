# Installation and packaging of the service: the executable, its unit file and example
# configuration, the man page. The client library has cmake/VelClientLibrary.cmake.
include(GNUInstallDirs)

if(TARGET velservermonitor)
  install(TARGETS velservermonitor RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(WIN32)
    install(FILES $<TARGET_FILE:velservermonitor>.symbols DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endif()
if(WIN32)
  # The writer inside the DLL records the throw sites of the DLL's own code.
  target_link_options(velclient_shared PRIVATE -Wl,--wrap=__cxa_throw)
endif()

if(WIN32)
  # The Windows package is one ZIP: the program and the client library at the top with the
  # example configuration, headers and CMake package beneath, the administrator's notes in
  # docs/. The example's paths become Windows paths, its lines CR LF for Notepad.
  file(READ ${PROJECT_SOURCE_DIR}/packaging/velservermonitor.ini.example example)
  string(REPLACE "end it with \"/\"" "end it with \"\\\"" example "${example}")
  string(REPLACE "/var/log/velservermonitor/" "C:\\ProgramData\\VelServerMonitor\\Logs\\"
         example "${example}")
  string(REPLACE "/var/www/shop/ErrorLog" "C:\\inetpub\\shop\\ErrorLog" example "${example}")
  string(REPLACE "\n" "\r\n" example "${example}")
  file(WRITE ${CMAKE_BINARY_DIR}/packaging/velservermonitor.ini.example "${example}")
  # Beside the executable, where the service looks for velservermonitor.ini.
  install(FILES ${CMAKE_BINARY_DIR}/packaging/velservermonitor.ini.example
    DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/docs/windows.md DESTINATION docs)

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME VelServerMonitor-${PROJECT_VERSION}-win64)
else()
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
endif()

set(CPACK_PACKAGE_NAME velservermonitor)
set(CPACK_PACKAGE_VENDOR "VelServerMonitor developers")
set(CPACK_PACKAGE_CONTACT "VelServerMonitor developers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Watches Velmora web applications and sends alerts and status reports")
if(NOT WIN32)
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
endif()
include(CPack)
