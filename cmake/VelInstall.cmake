# Installation and packaging: the service executable, its unit file and example configuration,
# the man page, and the client library with its headers and CMake package config
# (find_package(VelServerMonitor) -> VelServerMonitor::client).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The installed client library is one shared object holding the status-report sender, the
# exception-log writer and what they use. In-tree programs link the static pieces (velclient).
set(client_objects "")
foreach(lib vel_mailslot vel_exceptionlog vel_applog vel_common)
  if(NOT TARGET ${lib})
    continue()  # a piece not built for this system yet
  endif()
  get_target_property(type ${lib} TYPE)
  if(type STREQUAL "STATIC_LIBRARY")
    list(APPEND client_objects $<TARGET_OBJECTS:${lib}>)
  endif()
endforeach()
add_library(velclient_shared SHARED ${PROJECT_SOURCE_DIR}/src/velclient.cpp ${client_objects})
target_include_directories(velclient_shared PRIVATE ${CMAKE_BINARY_DIR}/generated)
if(WIN32)
  # velclient.dll with its import library libvelclient.dll.a. The pieces carry no export
  # marks, so every symbol is exported; the runtime is linked in, as in the programs, so the
  # DLL needs no mingw DLL beside it. The pieces' own system libraries come with them.
  foreach(lib vel_mailslot vel_exceptionlog vel_applog vel_common)
    if(NOT TARGET ${lib})
      continue()
    endif()
    get_target_property(deps ${lib} INTERFACE_LINK_LIBRARIES)
    foreach(dep IN LISTS deps)
      string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" dep "${dep}")
      if(dep AND NOT TARGET ${dep})  # the pieces themselves are linked in whole
        target_link_libraries(velclient_shared PRIVATE ${dep})
      endif()
    endforeach()
  endforeach()
  target_link_libraries(velclient_shared PRIVATE Threads::Threads)
  # Symbols of the runtime archives stay inside (exported, they clash with a program's own).
  target_link_options(velclient_shared PRIVATE -static -Wl,--export-all-symbols
                      -Wl,--exclude-libs,ALL)
  set_target_properties(velclient_shared PROPERTIES PREFIX "" IMPORT_PREFIX "lib")
else()
  # The pieces' own link needs: the stack-trace library of the exception-log writer.
  target_link_libraries(velclient_shared PRIVATE Threads::Threads backtrace)
endif()
target_include_directories(velclient_shared INTERFACE
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/velservermonitor>)
set_target_properties(velclient_shared PROPERTIES OUTPUT_NAME velclient EXPORT_NAME client
  VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})

if(TARGET velservermonitor)
  install(TARGETS velservermonitor RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(WIN32)
  # The writer inside the DLL records the throw sites of the DLL's own code.
  target_link_options(velclient_shared PRIVATE -Wl,--wrap=__cxa_throw)
endif()
install(TARGETS velclient_shared EXPORT VelServerMonitorTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}    # velclient.dll
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})   # its import library
foreach(dir common mailslot exceptionlog)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/src/${dir}
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/velservermonitor FILES_MATCHING PATTERN "*.h")
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/src/applog/AppLog.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/velservermonitor/applog)
install(FILES ${CMAKE_BINARY_DIR}/generated/VelVersion.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/velservermonitor)

install(EXPORT VelServerMonitorTargets NAMESPACE VelServerMonitor::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/VelServerMonitor)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/VelServerMonitorConfig.cmake.in
  ${CMAKE_BINARY_DIR}/VelServerMonitorConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/VelServerMonitor)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/VelServerMonitorConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/VelServerMonitorConfig.cmake
              ${CMAKE_BINARY_DIR}/VelServerMonitorConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/VelServerMonitor)

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
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION admin)
endif()

set(CPACK_PACKAGE_NAME velservermonitor)
set(CPACK_PACKAGE_VENDOR "VelServerMonitor developers")
set(CPACK_PACKAGE_CONTACT "VelServerMonitor developers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Watches Velmora web applications and sends alerts and status reports")
include(CPack)
