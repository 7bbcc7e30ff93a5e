#!/bin/sh
# Rebuilds the loader from firmware/loader/ and compares it byte for byte with
# the committed firmware/loader_image.bin, so the two cannot drift apart.
# Exit status: 0 identical, 1 different (or the build failed), 77 skipped
# because SDCC (or the SDCC release the image was made with) is not present.
set -u

here=$(cd "$(dirname "$0")" && pwd)

if ! command -v sdcc >/dev/null 2>&1; then
	echo "sdcc not installed; skipping"
	exit 77
fi
want=$(cat "$here/loader/SDCC_VERSION")
have=$(sdcc --version 2>&1 | sed -n '1s/.* \([0-9][0-9.]*\) #\([0-9]*\).*/\1 #\2/p')
if [ "$have" != "$want" ]; then
	echo "SDCC $have cannot reproduce an image made with SDCC $want; skipping"
	exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
trap 'exit 1' INT TERM

if ! "$here/build_loader.sh" "$work/loader_image.bin"; then
	echo "loader build failed"
	exit 1
fi
if ! cmp "$here/loader_image.bin" "$work/loader_image.bin"; then
	echo "firmware/loader_image.bin is stale: run firmware/build_loader.sh and commit the result"
	exit 1
fi
echo "firmware/loader_image.bin matches its sources"
