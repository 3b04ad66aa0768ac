# Cross build for Windows x64 with MinGW-w64 (POSIX threading model); tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TOVI_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TOVI_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOVI_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TOVI_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TOVI_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One DLL and nothing else to ship: C, C++ and winpthread runtimes linked statically.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

find_program(TOVI_WINE wine REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${TOVI_WINE})
