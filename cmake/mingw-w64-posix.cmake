# SPDX-License-Identifier: MIT
# Cross build for 64-bit Windows with Debian's mingw-w64 compiler, posix thread model (the
# win32 model has no std::thread in GCC 12). Everything is linked statically, so the programs
# need no compiler run-time DLL; the test programs run under Wine through cmake/wine-run.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ID_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ID_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ID_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${ID_MINGW_TRIPLET}-windres)
set(CMAKE_OBJDUMP ${ID_MINGW_TRIPLET}-objdump CACHE FILEPATH "The cross objdump")

set(CMAKE_FIND_ROOT_PATH /usr/${ID_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libgcc, libstdc++ and winpthread linked in: no DLL beside the executables.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)
