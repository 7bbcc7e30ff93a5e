# What both MinGW-w64 toolchain files share; they set VEXDAQ_MINGW_TRIPLE and VEXDAQ_WINE_NAMES
# first. The posix thread model is required: the win32 one has no std::thread or std::mutex.
set(CMAKE_SYSTEM_NAME Windows)

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

# Runs the cross-built programs (tests, gtest discovery) under Wine of the same width.
find_program(VEXDAQ_WINE NAMES ${VEXDAQ_WINE_NAMES} PATHS /usr/lib/wine)
if(VEXDAQ_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VEXDAQ_WINE})
endif()
