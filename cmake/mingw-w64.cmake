# Cross build for 64-bit Windows with Debian's g++-mingw-w64-x86-64-posix.
# Programs built here run under wine (CTest starts them through it). Programs
# without Qt link the C++ runtime statically (tandrel_static_runtime); the
# wizard shares the runtime DLLs with Qt's, which are deployed beside it.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-compilers.cmake)

# A Qt built for Windows (scripts/qt-windows.sh) lies outside the mingw
# root: CMAKE_PREFIX_PATH names it, and it is searched as a root of its own.
if(CMAKE_PREFIX_PATH)
  list(APPEND CMAKE_FIND_ROOT_PATH ${CMAKE_PREFIX_PATH})
endif()

find_program(TANDREL_WINE wine REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${TANDREL_WINE})
