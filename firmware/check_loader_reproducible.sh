#!/bin/sh
# Rebuilds the loader from firmware/loader/. With the SDCC release the committed
# image was made with (loader/SDCC_VERSION) the result must equal
# firmware/loader_image.bin byte for byte, so the two cannot drift apart. With
# another release the bytes differ; the rebuilt image must then run on the
# emulated chip instead, which needs the loader_run_check program.
#
#   check_loader_reproducible.sh [LOADER_RUN_CHECK]
#
# Exit status: 0 identical (or, with another release, working), 1 different
# or broken (or the build failed), 77 skipped because SDCC is not present, or
# another release is and no loader_run_check was given.
set -u

here=$(cd "$(dirname "$0")" && pwd)
run_check=${1:-}

if ! command -v sdcc >/dev/null 2>&1; then
	echo "sdcc not installed; skipping"
	exit 77
fi
want=$(cat "$here/loader/SDCC_VERSION")
have=$(sdcc --version 2>&1 | sed -n '1s/.* \([0-9][0-9.]*\) #\([0-9]*\).*/\1 #\2/p')
if [ "$have" != "$want" ] && [ -z "$run_check" ]; then
	echo "SDCC $have cannot reproduce an image made with SDCC $want, and no loader_run_check was given to run it; skipping"
	exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
trap 'exit 1' INT TERM

if ! LOADER_RUN_CHECK="$run_check" "$here/build_loader.sh" "$work/loader_image.bin"; then
	echo "loader build failed"
	exit 1
fi
if [ "$have" != "$want" ]; then
	echo "SDCC $have builds a loader that works on the emulated chip (the committed image is from SDCC $want)"
	exit 0
fi
if ! cmp "$here/loader_image.bin" "$work/loader_image.bin"; then
	echo "firmware/loader_image.bin is stale: run firmware/build_loader.sh and commit the result"
	exit 1
fi
echo "firmware/loader_image.bin matches its sources"
