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

# vel_module(<target> DEPS <libs...> [EXCLUDE <regex...>] [LINUX_ONLY <regex...>]): a static
# library from the current folder. The folder's parent (src/) is the include root, so code
# includes "common/Strings.h". LINUX_ONLY names the files that the Windows build leaves out
# (Linux stand-ins of a facility that Windows does another way).
#
# For Windows, a module is not built (its target does not exist, and the programs and tests
# that need it are left out) while one of its Foo_linux.cpp files has no Foo_win32.cpp yet, or
# while one of its vel_* dependencies is not built.
function(vel_module target)
  cmake_parse_arguments(ARG "" "" "DEPS;EXCLUDE;LINUX_ONLY" ${ARGN})
  vel_collect_sources(srcs ${CMAKE_CURRENT_SOURCE_DIR})
  foreach(pattern IN LISTS ARG_EXCLUDE)
    list(FILTER srcs EXCLUDE REGEX "${pattern}")
  endforeach()
  if(WIN32)
    foreach(pattern IN LISTS ARG_LINUX_ONLY)
      list(FILTER srcs EXCLUDE REGEX "${pattern}")
    endforeach()
    file(GLOB linux_parts CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_linux.cpp)
    foreach(pattern IN LISTS ARG_LINUX_ONLY)
      list(FILTER linux_parts EXCLUDE REGEX "${pattern}")
    endforeach()
    set(missing "")
    foreach(f IN LISTS linux_parts)
      string(REGEX REPLACE "_linux\\.cpp$" "_win32.cpp" counterpart "${f}")
      if(NOT EXISTS "${counterpart}")
        get_filename_component(name "${counterpart}" NAME)
        list(APPEND missing ${name})
      endif()
    endforeach()
    foreach(dep IN LISTS ARG_DEPS)
      if(dep MATCHES "^vel_" AND NOT TARGET ${dep})
        list(APPEND missing ${dep})
      endif()
    endforeach()
    if(missing)
      list(JOIN missing ", " missing)
      message(STATUS "${target}: not built for Windows yet (missing: ${missing})")
      return()
    endif()
  endif()
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

# Windows programs carry the version resource (file and product version, names); the code
# reads the version back from it.
function(vel_version_resource target)
  if(WIN32)
    target_sources(${target} PRIVATE ${CMAKE_BINARY_DIR}/generated/VelVersion.rc)
  endif()
endfunction()

# Windows images carry the names of their functions in <image>.symbols beside them, made from
# the linked image's own symbol table (nm -C): the exception-log writer names stack frames
# from it, since Windows' DbgHelp reads no DWARF and GCC writes no PDB.
function(vel_symbol_map target)
  if(WIN32)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND /usr/bin/python3 ${PROJECT_SOURCE_DIR}/cmake/make_symbol_map.py ${CMAKE_NM}
              $<TARGET_FILE:${target}> $<TARGET_FILE:${target}>.symbols
      VERBATIM)
  endif()
endfunction()
