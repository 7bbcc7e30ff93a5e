#!/usr/bin/env bash
# Windows: cross-builds vexdaq.dll, vexdaq.exe and the tests with MinGW-w64, checks what each DLL
# exports and imports, and runs the tests and the tool under Wine against the virtual instrument.
#
# Both DLLs are always built and checked; none of the checks runs 32-bit code. Which Wine runs
# the suites depends on the machine, found out by running a tiny 32-bit program, and is printed:
#   - it runs 32-bit code: the 32-bit build's suites under 32-bit Wine; then, under 64-bit Wine,
#     the 64-bit DLL's own suite (loading, exports, ending with a session open) and its tool;
#   - it cannot (a kernel without IA-32 emulation): the 64-bit build's suites under 64-bit Wine.
# Whichever Wine runs the suites runs all of them, and each compares the tool's captures with the
# Linux build's byte for byte.
#   scripts/test-windows.sh [build-dir]      (default: build-windows/; win32/ and win64/ in it)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
dir="${1:-build-windows}"
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
started=$(date +%s)

# ---- Can this machine run 32-bit x86 code? ---------------------------------------------------
# A 96-byte static i386 ELF program that exits with 42 through the 32-bit system call gate. A
# kernel without IA-32 emulation refuses to execute it ("Exec format error").
probe="$dir/ia32-probe"
{
  printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'             # ident
  printf '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00'  # exec, i386
  printf '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00'  # one phdr
  printf '\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08'  # PT_LOAD
  printf '\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00'  # r-x
  printf '\x00\x10\x00\x00\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80'  # exit(42)
} >"$probe"
chmod +x "$probe"
probe_status=0
"$probe" >/dev/null 2>&1 || probe_status=$?
if [ "$probe_status" = 42 ]; then
  suites_way=win32 other_way=win64
  echo "Windows suites: 32-bit Wine (this machine runs 32-bit code); the 64-bit DLL's own suite" \
    "and tool: 64-bit Wine"
else
  suites_way=win64 other_way=win32
  echo "Windows suites: 64-bit Wine (this machine cannot run 32-bit code: the 32-bit probe" \
    "ended with status $probe_status); the 32-bit DLL is built and checked, not run"
fi

# ---- Tools: the cross compilers (posix threads: std::thread), their binutils, Wine ------------
scripts/install-deps.sh  # the host build below compares the Linux tool's output
# The i686 compiler always: the 32-bit DLL is built and checked on every machine.
packages=(g++-mingw-w64-i686-posix binutils-mingw-w64-i686 googletest libcli11-dev nlohmann-json3-dev wine)
packages+=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64)
scripts/apt-install.sh "${packages[@]}"
# 32-bit Wine needs the i386 packages to match the installed amd64 ones; when the mirror cannot
# give them (its i386 lists mid-sync, say), the suites run under 64-bit Wine instead of not at all.
if [ "$suites_way" = win32 ] && ! APT_INSTALL_PAUSES="" scripts/apt-install.sh wine32:i386; then
  suites_way=win64 other_way=win32 why_win64="32-bit Wine could not be installed"
  echo "Windows suites: 64-bit Wine after all: wine32:i386 could not be installed from this" \
    "machine's mirror; the 32-bit DLL is built and checked, not run"
fi

# The Wine loaders, named explicitly: Debian's `wine` starts the 32-bit loader whenever wine32 is
# installed, and that loader cannot run 64-bit programs in a 32-bit prefix.
wine_loader() {
  case $1 in
    win32) echo /usr/lib/wine/wine ;;
    win64) command -v wine64 || echo /usr/lib/wine/wine64 ;;
  esac
}

# ---- One Windows build: configure and build the given targets --------------------------------
# win32: i686, cmake/mingw-w64-i686.cmake; win64: x86_64, cmake/mingw-w64-x86_64.cmake.
toolchain_of() { [ "$1" = win32 ] && echo i686 || echo x86_64; }
# Optimised as a release is, without debug information, which costs a third of the compile time
# here and which nothing under Wine reads.
build() {
  local way=$1
  shift
  cmake -S . -B "$dir/$way" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-$(toolchain_of "$way").cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
    -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" -DVEXDAQ_BUILD_BENCH=OFF >/dev/null
  cmake --build "$dir/$way" -j2 --target "$@"
}

# ---- The DLL: its machine, exactly the declared functions by plain name, system DLLs only, the
# version resource -------------------------------------------------------------------------------
check_dll() {
  local way=$1 bdir="$dir/$1" triple format
  triple="$(toolchain_of "$way")-w64-mingw32"
  [ "$way" = win32 ] && format=pei-i386 || format=pei-x86-64
  local dll="$bdir/vexdaq.dll"
  "$triple"-objdump -f "$dll" | grep -q "file format $format" ||
    { echo "$way: vexdaq.dll is not $format"; exit 1; }
  "$triple"-objdump -p "$dll" >"$bdir/vexdaq.dll.txt"
  sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' "$bdir/vexdaq.dll.txt" |
    sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p' | sort >"$bdir/exports.actual"
  cat include/vexdaq/*.h | tr -s ' \n' ' ' | grep -o 'VEXDAQ_CALL vexdaq_[A-Za-z0-9_]*(' |
    sed 's/VEXDAQ_CALL //; s/($//' | sort -u >"$bdir/exports.expected"
  if ! diff -u "$bdir/exports.expected" "$bdir/exports.actual"; then
    echo "$way: vexdaq.dll exports differ from the functions the headers declare" \
      "(- declared, + exported)"
    exit 1
  fi
  [ "$(grep -c . "$bdir/exports.expected")" -ge 40 ] || { echo "fewer than 40 exports"; exit 1; }
  grep -q '^EXPORTS' "$bdir/vexdaq.def" || { echo "$way: no vexdaq.def"; exit 1; }
  # The same plain names in the .def file (each followed by its ordinal, " @n").
  sed '0,/^EXPORTS/d; s/^[[:space:]]*\([^[:space:]]*\).*/\1/' "$bdir/vexdaq.def" | sort |
    diff -u "$bdir/exports.expected" - || { echo "$way: vexdaq.def names differ"; exit 1; }
  local system_dlls='^(kernel32|msvcrt|setupapi|advapi32|user32|ntdll|ws2_32|api-ms-win-.*)\.dll$'
  for binary in "$dll" "$bdir/tools/vexdaq.exe"; do
    "$triple"-objdump -p "$binary" | sed -n 's/^[[:space:]]*DLL Name: //p' | while read -r imported; do
      lower=$(echo "$imported" | tr 'A-Z' 'a-z')
      if ! [[ $lower =~ $system_dlls || ($lower == vexdaq.dll && $binary == *.exe) ]]; then
        echo "$way: $(basename "$binary") imports $imported, which a Windows machine does not have"
        exit 1
      fi
    done
  done
  local version
  version=$(sed -n 's/^project(vexdaq VERSION \([0-9]*\)\.\([0-9]*\)\..*/\1, \2,/p' CMakeLists.txt)
  "$triple"-windres -i "$dll" -O rc | grep -q "FILEVERSION $version" ||
    { echo "$way: vexdaq.dll has no version resource for $version"; exit 1; }
  echo "$way: vexdaq.dll is $format: $(grep -c . "$bdir/exports.actual") plain exports," \
    "system imports only, version resource"
}

# ---- The tool's captures as the Linux build writes them ---------------------------------------
profile="waveform=counter;in_channels=4;in_bits=24;in_rates=10000"
# The tool of the README's build (build/) when there is one, brought up to date; otherwise a build
# of the tool alone.
linux_captures() {
  local host="$root/build"
  if [ ! -f "$host/build.ninja" ]; then
    host="$dir/host"
    cmake -S . -B "$host" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVEXDAQ_BUILD_TESTS=OFF \
      -DVEXDAQ_BUILD_BENCH=OFF >/dev/null
  fi
  cmake --build "$host" -j2 --target vexdaq_cli
  rm -rf "$dir/captures" && mkdir -p "$dir/captures/linux"
  for format in wav csv raw; do
    (cd "$dir/captures/linux" &&
      "$host/tools/vexdaq" --sim-profile "$profile" acquire -c all -r 10000 -n 10000 \
        -o "capture.$format" -q)
  done
}

# ---- One Wine: the suites, then the tool's captures byte for byte ----------------------------
# Cases left out under Wine, each for a reason of Wine's, not of the library's:
#  - the slow-reader case needs the reader to wake within one packet (0.6 ms) of its FIFO filling;
#    Wine's instrument clock completes packets in bursts of a millisecond or more, so that race is
#    lost at times with nothing wrong in the library. The Linux runs keep it.
#  - the fast start streams 20 MB/s against 5 ms of device buffer; Wine's clock bursts overflow it
#    with nothing wrong in the library. The Linux runs keep it.
#  - the wake-up count reads Linux's per-thread context switches from /proc, which a Windows
#    program under Wine sees for Wine's own threads, not by the library's thread names.
integrity_filter=-StreamIntegrity.ApplicationTooSlowLosesTheOldestSamplesAndTheCountersSayHowMany
integrity_filter+=:FastStart.StreamWithOutputChannelsKeepsItsFirstFramesAtHighRate
integrity_filter+=:StreamIntegrity.TransferThreadsWaitWithoutWakingPeriodically
run_under_wine() {
  local way=$1 which=$2 bdir="$dir/$1" bits wine_started
  wine_started=$(date +%s)
  [ "$way" = win32 ] && bits=32 || bits=64
  local wine
  wine=$(wine_loader "$way")
  (
    export WINELOADER=$wine WINEPREFIX="$bdir/wineprefix" WINEARCH=$way WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml="  # no .NET or browser engine installers
    trap 'wineserver -k 2>/dev/null || true' EXIT
    "$wine" wineboot -i >/dev/null 2>&1 || true
    export WINEPATH
    WINEPATH=$("$wine" winepath -w "$bdir" 2>/dev/null | tr -d '\r' || echo "Z:${bdir//\//\\}")
    # Wine's own server can go away under a suite ("wine client error:0: recvmsg: Connection
    # reset by peer"; seen once, as a suite started), which says nothing of the library: such a
    # run is repeated once, and says so. Any other failure stands.
    # A suite that hangs ends at its time-out, several times its usual length, and fails the run.
    suite_timeout=900
    suite() {
      local log="$bdir/suite.log" status=0
      timeout -k 30 "$suite_timeout" "$wine" "$@" 2>&1 | tee "$log" || status=$?
      if [ "$status" != 0 ] && grep -q "^wine client error" "$log"; then
        echo "Wine's server went away under $(basename "$1"); running it once more"
        timeout -k 30 "$suite_timeout" "$wine" "$@"
        return
      fi
      if [ "$status" = 124 ] || [ "$status" = 137 ]; then
        echo "$(basename "$1") did not end within ${suite_timeout} s under Wine: a hang"
      fi
      return "$status"
    }
    echo "== $bits-bit Wine ($wine): $which of the $bits-bit build"
    suite "$bdir/tests/windows_tests.exe" --gtest_brief=1
    if [ "$which" = "every suite" ]; then
      suite "$bdir/tests/unit_tests.exe" --gtest_brief=1
      suite "$bdir/tests/behaviour_tests.exe" --gtest_brief=1
      suite "$bdir/tests/integrity_tests.exe" --gtest_brief=1 --gtest_filter="$integrity_filter"
      suite "$bdir/tests/fault_tests.exe" --gtest_brief=1
      suite "$bdir/tests/concurrency_tests.exe" --gtest_brief=1
    fi

    mkdir -p "$dir/captures/$way"
    for format in wav csv raw; do
      (cd "$dir/captures/$way" &&
        timeout -k 30 120 "$wine" "$bdir/tools/vexdaq.exe" --sim-profile "$profile" acquire \
          -c all -r 10000 -n 10000 -o "capture.$format" -q)
      cmp "$dir/captures/linux/capture.$format" "$dir/captures/$way/capture.$format"
    done
    echo "$bits-bit vexdaq.exe under $bits-bit Wine writes the Linux build's captures byte for" \
      "byte (wav, csv, raw)"
  )
  echo "$bits-bit Wine: $(($(date +%s) - wine_started)) s"
}

linux_captures
all_targets=(vexdaq vexdaq_cli windows_tests unit_tests behaviour_tests integrity_tests fault_tests
  concurrency_tests)
build "$suites_way" "${all_targets[@]}"
check_dll "$suites_way"
if [ "$other_way" = win64 ]; then
  build win64 vexdaq vexdaq_cli windows_tests
else
  build win32 vexdaq vexdaq_cli
fi
check_dll "$other_way"
run_under_wine "$suites_way" "every suite"
if [ "$other_way" = win64 ]; then run_under_wine win64 windows_tests; fi
case $suites_way in
  win32) echo "Windows suites ran under 32-bit Wine; the 64-bit DLL's own suite under 64-bit Wine" ;;
  win64) echo "Windows suites ran under 64-bit Wine: ${why_win64:-this machine cannot run 32-bit code}" ;;
esac
echo "Windows build and tests: $(($(date +%s) - started)) s"
