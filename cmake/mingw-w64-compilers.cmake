# Debian's g++-mingw-w64-x86-64-posix as the compilers of a 64-bit Windows
# build. Qt for Windows is built with this alone (its DLLs share the C++
# runtime DLLs); mingw-w64.cmake adds what the project's own build needs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TANDREL_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TANDREL_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TANDREL_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${TANDREL_MINGW}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TANDREL_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
