# The client library that monitored applications link: one shared library (velclient.dll
# with its import library on Windows) holding the status-report sender, the exception-log
# writer and what they use, installed with its headers and CMake package config
# (find_package(VelServerMonitor) -> VelServerMonitor::client). In-tree programs link the
# static pieces (velclient), except the Windows demo, which uses the DLL.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

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
  # The event-log entries of the applications that use the DLL are read with its message table.
  target_sources(velclient_shared PRIVATE ${VEL_EVENT_MESSAGES_RC})
  # The writer inside the DLL names the DLL's frames from the map beside it.
  vel_symbol_map(velclient_shared)
  install(FILES $<TARGET_FILE:velclient_shared>.symbols DESTINATION ${CMAKE_INSTALL_BINDIR})
else()
  # The pieces' own link needs: the stack-trace library of the exception-log writer.
  target_link_libraries(velclient_shared PRIVATE Threads::Threads backtrace)
endif()
target_include_directories(velclient_shared INTERFACE
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/velservermonitor>)
set_target_properties(velclient_shared PROPERTIES OUTPUT_NAME velclient EXPORT_NAME client
  VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})

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
