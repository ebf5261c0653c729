# Cross build for 64-bit Windows with Debian's g++-mingw-w64-x86-64-posix.
# The runtime is linked statically, so the programs need no DLLs beside them.
# Programs built here run under wine (CTest starts them through it).
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

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

find_program(TANDREL_WINE wine REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${TANDREL_WINE})
