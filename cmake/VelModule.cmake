# Collects the sources of one module folder: every *.cpp except the files of another
# operating system (*_win32.cpp on Linux, *_linux.cpp on Windows) and the program entry.
function(vel_collect_sources out dir)
  file(GLOB srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
  if(WIN32)
    list(FILTER srcs EXCLUDE REGEX "_linux\\.cpp$")
  else()
    list(FILTER srcs EXCLUDE REGEX "_win32\\.cpp$")
  endif()
  list(FILTER srcs EXCLUDE REGEX "/main\\.cpp$")
  set(${out} ${srcs} PARENT_SCOPE)
endfunction()

# vel_module(<target> DEPS <libs...>): a static library from the current folder.
# The folder's parent (src/) is the include root, so code includes "common/Strings.h".
function(vel_module target)
  cmake_parse_arguments(ARG "" "" "DEPS;EXCLUDE" ${ARGN})
  vel_collect_sources(srcs ${CMAKE_CURRENT_SOURCE_DIR})
  foreach(pattern IN LISTS ARG_EXCLUDE)
    list(FILTER srcs EXCLUDE REGEX "${pattern}")
  endforeach()
  if(srcs)
    add_library(${target} STATIC ${srcs})
    target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/src ${CMAKE_BINARY_DIR}/generated)
    target_link_libraries(${target} PUBLIC ${ARG_DEPS})
  else()
    # Header-only until its first source file lands.
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${PROJECT_SOURCE_DIR}/src ${CMAKE_BINARY_DIR}/generated)
    target_link_libraries(${target} INTERFACE ${ARG_DEPS})
  endif()
endfunction()
