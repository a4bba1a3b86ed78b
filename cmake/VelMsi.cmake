# The Windows installer: VelServerMonitor-<version>-win64.msi in the build folder, made by
# packaging/windows/build-msi.sh (wixl and msibuild, Debian's wixl and msitools) from the same
# install tree as the ZIP. Part of the default build once the programs are there.
if(NOT WIN32 OR NOT TARGET velservermonitor)
  return()
endif()
find_program(VEL_WIXL wixl)
find_program(VEL_MSIBUILD msibuild)
if(NOT VEL_WIXL OR NOT VEL_MSIBUILD)
  message(WARNING "wixl or msibuild not found (scripts/deps windows installs them): no MSI")
  return()
endif()

set(VEL_MSI ${CMAKE_BINARY_DIR}/VelServerMonitor-${PROJECT_VERSION}-win64.msi)
file(GLOB_RECURSE vel_msi_headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/*.h)
add_custom_command(OUTPUT ${VEL_MSI}
  COMMAND bash ${PROJECT_SOURCE_DIR}/packaging/windows/build-msi.sh ${CMAKE_BINARY_DIR}
          ${PROJECT_VERSION} ${VEL_MSI}
  DEPENDS velservermonitor velclient_shared
          ${PROJECT_SOURCE_DIR}/packaging/windows/build-msi.sh
          ${PROJECT_SOURCE_DIR}/packaging/windows/VelServerMonitor.wxs
          ${PROJECT_SOURCE_DIR}/packaging/velservermonitor.ini.example
          ${PROJECT_SOURCE_DIR}/docs/windows.md ${vel_msi_headers}
  COMMENT "Building the installer VelServerMonitor-${PROJECT_VERSION}-win64.msi"
  VERBATIM)
add_custom_target(msi ALL DEPENDS ${VEL_MSI})
