# Cross-building for 64-bit Windows with Debian's MinGW-w64 (the posix-threads
# compilers, for std::thread), every program linked statically so that it runs
# without the MinGW runtime DLLs. Tests run under Wine when it is installed.
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DBM_WITH_QT=OFF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(BM_MINGW_PREFIX x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${BM_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${BM_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${BM_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${BM_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Debian's wine64 package keeps its launcher out of PATH.
find_program(BM_WINE NAMES wine64 wine PATHS /usr/lib/wine /usr/lib64/wine NO_CMAKE_FIND_ROOT_PATH)
if(BM_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${BM_WINE})
endif()
