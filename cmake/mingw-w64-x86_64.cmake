# Cross-builds the 64-bit Windows library with Debian's MinGW-w64 (package g++-mingw-w64-x86-64-posix):
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# The posix thread model is required: the win32 one has no std::thread or std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VEXDAQ_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VEXDAQ_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VEXDAQ_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VEXDAQ_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VEXDAQ_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Vista and later: CancelIoEx, condition variables and slim reader/writer locks.
add_compile_definitions(_WIN32_WINNT=0x0600 WINVER=0x0600)
# Static runtime: the DLL and the programs need no MinGW DLL beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Runs the cross-built programs (tests, gtest discovery) under 64-bit Wine.
find_program(VEXDAQ_WINE NAMES wine64 PATHS /usr/lib/wine)
if(VEXDAQ_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VEXDAQ_WINE})
endif()
