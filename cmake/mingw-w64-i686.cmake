# Cross-builds the 32-bit Windows library with Debian's MinGW-w64 (package g++-mingw-w64-i686-posix):
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VEXDAQ_MINGW_TRIPLE i686-w64-mingw32)
set(VEXDAQ_WINE_NAMES wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
