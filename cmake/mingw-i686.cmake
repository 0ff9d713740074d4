# Cross build for 32-bit Windows with MinGW-w64 (Debian g++-mingw-w64-i686).
#
#   cmake -S . -B build-win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
#
# KL_MINGW_THREADS picks the compiler's thread model: "win32" (default)
# builds KLSRV32.dll against nothing but system DLLs; "posix" adds the
# C++ thread library (std::thread, std::mutex), which the test programs
# and the test peer need, linked statically into each test program.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(KL_MINGW_THREADS win32 CACHE STRING "Thread model of the MinGW-w64 compiler (win32 or posix)")
set_property(CACHE KL_MINGW_THREADS PROPERTY STRINGS win32 posix)

set(KL_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${KL_MINGW_PREFIX}-gcc-${KL_MINGW_THREADS})
set(CMAKE_CXX_COMPILER ${KL_MINGW_PREFIX}-g++-${KL_MINGW_THREADS})
set(CMAKE_RC_COMPILER ${KL_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs are run through Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
