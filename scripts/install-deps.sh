#!/usr/bin/env bash
# Installs what building and testing vexdaq needs on a Debian machine (run as root or via sudo).
set -euo pipefail
packages=(
  cmake ninja-build g++ make pkg-config
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  sdcc sdcc-ucsim
  libcli11-dev nlohmann-json3-dev libsndfile1-dev
  libusb-1.0-0-dev umockdev libumockdev-dev
  clang libclang-rt-14-dev
  libhdf5-dev python3-numpy python3-h5py python3-pytest python3-venv python3-setuptools flit
  libusbredirparser-dev qemu-system-x86 busybox-static udev xz-utils
  libcivetweb-dev libfftw3-dev
  chromium chromium-driver python3-selenium
)
# The panel's page is built with npm; a Node.js from elsewhere that brings its own npm is kept
# (Debian's npm package would conflict with it).
if command -v npm >/dev/null; then
  echo "install-deps: npm found at $(command -v npm), keeping it"
else
  echo "install-deps: no npm, installing Debian's nodejs and npm"
  packages+=(nodejs npm)
fi
"$(dirname "$0")/apt-install.sh" "${packages[@]}"
