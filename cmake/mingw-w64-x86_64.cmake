# Cross-compiling the Windows (x86_64) binaries on Debian with mingw-w64 (posix threads).
# The programs link their runtime statically, so an .exe needs no mingw DLL beside it, and
# run under Wine as the cross-compiling emulator (ctest, test discovery).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

# Libraries built with this toolchain (GoogleTest) are installed under VEL_WIN_PREFIX.
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
if(VEL_WIN_PREFIX)
  list(APPEND CMAKE_FIND_ROOT_PATH ${VEL_WIN_PREFIX})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

find_program(VEL_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT VEL_WINE64)
  find_program(VEL_WINE64 NAMES wine64)
endif()
if(VEL_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VEL_WINE64})
endif()

# DWARF 4: Wine's DbgHelp names the frames of an exception-log stack only from it (GCC 12
# writes DWARF 5 by default).
set(CMAKE_C_FLAGS_INIT "-gdwarf-4")
set(CMAKE_CXX_FLAGS_INIT "-gdwarf-4")
