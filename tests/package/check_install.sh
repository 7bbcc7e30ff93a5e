#!/usr/bin/env sh
# Installs the build into a scratch prefix and builds and runs a separate project against it,
# through find_package and through pkg-config.
set -eu
build_dir=$1
source_dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build_dir" --prefix "$work/prefix" > "$work/install.log"
cmake -S "$source_dir/tests/package/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$work/prefix" > "$work/configure.log"
cmake --build "$work/consumer" > "$work/build.log"
LD_LIBRARY_PATH="$work/prefix/lib:$work/prefix/lib64:${LD_LIBRARY_PATH:-}" "$work/consumer/consumer"
# The installed tool runs without the library directory on any search path.
if [ -x "$work/prefix/bin/vexdaq" ]; then
  env -u LD_LIBRARY_PATH "$work/prefix/bin/vexdaq" --log-dir "$work/log" --sim info > /dev/null
fi
libdir=$(dirname "$(find "$work/prefix" -name vexdaq.pc)")
PKG_CONFIG_PATH="$libdir" pkg-config --cflags --libs vexdaq > /dev/null
test -f "$(find "$work/prefix" -name 60-vexdaq.rules)"
grep -q 'TAG+="uaccess"' "$(find "$work/prefix" -name 60-vexdaq.rules)"
if grep -q 'MODE="0666"' "$(find "$work/prefix" -name 60-vexdaq.rules)"; then exit 1; fi
