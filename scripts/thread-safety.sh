#!/usr/bin/env bash
# Builds the library's own targets (every layer of src/ through vexdaq_core and the vexdaq shared library, the
# libusb backend included) with Clang and -Wthread-safety -Werror in build-tsa/: a lock rule
# broken anywhere in src/ fails the build. Tests, benchmarks and tools are not built.
set -euo pipefail
cd "$(dirname "$0")/.."
need=()
command -v clang++ >/dev/null || need+=(clang)
command -v pkg-config >/dev/null || need+=(pkg-config)
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
pkg-config --exists libusb-1.0 2>/dev/null || need+=(libusb-1.0-0-dev)
if ((${#need[@]})); then
  if [ "$(id -u)" != 0 ]; then
    echo "thread-safety: missing ${need[*]}; install them (as root: apt-get install ${need[*]})" >&2
    exit 1
  fi
  echo "thread-safety: installing ${need[*]}"
  scripts/apt-install.sh "${need[@]}"
fi
echo "thread-safety: $(clang++ --version | head -n1)"
set -x
# The analysis is the compiler's front end: no optimisation, no debug information.
CC=clang CXX=clang++ cmake -S . -B build-tsa -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS_RELEASE=-O0 -DCMAKE_C_FLAGS_RELEASE=-O0 -DVEXDAQ_THREAD_SAFETY=ON \
  -DVEXDAQ_BUILD_TESTS=OFF -DVEXDAQ_BUILD_BENCH=OFF
cmake --build build-tsa -j2 --target vexdaq_core vexdaq
