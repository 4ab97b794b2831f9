# SPDX-License-Identifier: GPL-3.0-or-later
# Cross-builds Kelmora for 64-bit Windows with Debian's mingw-w64 compilers
# (g++-mingw-w64-x86-64-posix: the POSIX thread model, which std::thread
# needs). Tests run under Wine when it is installed.
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KELMORA_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KELMORA_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KELMORA_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KELMORA_MINGW_TRIPLE}-windres)

# Libraries and headers come from the mingw tree only: a host header found
# by accident would be glibc's.
set(CMAKE_FIND_ROOT_PATH /usr/${KELMORA_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained .exe: the compiler's runtimes and winpthread linked in,
# so neither Wine nor a user has to find their DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Wine's own diagnostics would bury the tests' output.
find_program(KELMORA_WINE NAMES wine64 wine)
if(KELMORA_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR env WINEDEBUG=-all ${KELMORA_WINE})
endif()
