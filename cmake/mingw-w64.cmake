# Cross build for Windows x64 with Debian's mingw-w64 (posix thread model, so std::thread and
# std::mutex work): cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
# Test programs run under wine64 (CMAKE_CROSSCOMPILING_EMULATOR), so ctest works as on Linux.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ZEP_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZEP_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZEP_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ZEP_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${ZEP_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
find_program(ZEP_WINE64 NAMES wine64 wine PATHS /usr/lib/wine /usr/bin)
if(ZEP_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZEP_WINE64})
endif()
