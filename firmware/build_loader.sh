#!/bin/sh
# Builds the 8051 EEPROM loader with SDCC and writes it as a raw image for
# internal RAM address 0, zero-padded to the exact size the host uploads.
#
#   firmware/build_loader.sh [OUTPUT]   (default: firmware/loader_image.bin)
#
# Needs sdcc and perl. The image is written only when it passes its checks
# (check_loader_image.sh, and loader_run_check when LOADER_RUN_CHECK names
# it: the program of that name in a build's tests/ folder, which runs the
# image on the emulated chip). An SDCC release other than the one in
# loader/SDCC_VERSION builds other bytes than the committed image, so such a
# build must be run: without LOADER_RUN_CHECK it is refused.
set -eu

IMAGE_SIZE=3475

here=$(cd "$(dirname "$0")" && pwd)
out=${1:-$here/loader_image.bin}
src=$here/loader

command -v sdcc >/dev/null 2>&1 || { echo "build_loader: sdcc not found" >&2; exit 1; }

sdcc_version=$(sdcc --version 2>&1 | sed -n '1s/.* \([0-9][0-9.]*\) #\([0-9]*\).*/\1 #\2/p')
pinned=$(cat "$src/SDCC_VERSION")
run_check=${LOADER_RUN_CHECK:-}
if [ "$sdcc_version" != "$pinned" ] && [ -z "$run_check" ]; then
	echo "build_loader: SDCC $sdcc_version is not $pinned, which made the committed image;" >&2
	echo "build_loader: set LOADER_RUN_CHECK to a build's tests/loader_run_check so the image is run before it is written" >&2
	exit 1
fi
if [ -n "$run_check" ] && [ ! -x "$run_check" ]; then
	echo "build_loader: LOADER_RUN_CHECK=$run_check is not a program" >&2
	exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
trap 'exit 1' INT TERM

# Code and constants from 0; xdata (if any) in the 512-byte scratch RAM at
# 0xE000 so it never overlaps the image; this also fits 8 KiB parts.
CFLAGS="-mmcs51 --model-small --std-c11 --opt-code-size"
LDFLAGS="--code-loc 0x0000 --code-size $IMAGE_SIZE --xram-loc 0xE000 --xram-size 0x0200 --iram-size 256"

# main.c must be linked first: it provides the reset vector at address 0.
objs=
for f in main descriptors eeprom; do
	# Compile from inside the source dir so nothing path-dependent can
	# leak into the output.
	# shellcheck disable=SC2086
	(cd "$src" && sdcc $CFLAGS -c "$f.c" -o "$work/$f.rel")
	objs="$objs $work/$f.rel"
done
# shellcheck disable=SC2086
sdcc $CFLAGS $LDFLAGS -o "$work/loader.ihx" $objs

# Intel HEX -> raw binary from address 0, padded with 0x00.
perl -e '
	use strict; use warnings;
	my ($hex, $bin, $size) = @ARGV;
	open(my $in, "<", $hex) or die "$hex: $!\n";
	my @mem;
	while (my $line = <$in>) {
		$line =~ s/\s+$//;
		next if $line eq "";
		$line =~ /^:([0-9A-Fa-f]{2})+$/ or die "bad HEX line: $line\n";
		my @b = map { hex } unpack("(A2)*", substr($line, 1));
		my $sum = 0; $sum += $_ for @b;
		die "HEX checksum error: $line\n" if $sum & 0xFF;
		my ($len, $ah, $al, $type) = @b[0 .. 3];
		die "HEX length error: $line\n" if @b != $len + 5;
		last if $type == 1;
		die "unsupported HEX record type $type\n" if $type != 0;
		my $addr = $ah << 8 | $al;
		for my $i (0 .. $len - 1) {
			my $a = $addr + $i;
			die sprintf("byte at 0x%04X lies outside the %d-byte image\n", $a, $size)
				if $a >= $size;
			$mem[$a] = $b[4 + $i];
		}
	}
	die "empty HEX file\n" unless @mem;
	printf STDERR "build_loader: image data ends at %d of %d bytes\n", scalar(@mem), $size;
	open(my $out, ">:raw", $bin) or die "$bin: $!\n";
	print $out pack("C*", map { $_ // 0 } @mem[0 .. $size - 1]);
	close($out) or die "$bin: $!\n";
' "$work/loader.ihx" "$work/image.bin" "$IMAGE_SIZE"

size=$(wc -c <"$work/image.bin")
[ "$size" -eq "$IMAGE_SIZE" ] || { echo "build_loader: image is $size bytes" >&2; exit 1; }
if ! sh "$here/check_loader_image.sh" "$work/image.bin" >&2; then
	echo "build_loader: the image fails its checks; $out not written" >&2
	exit 1
fi
if [ -n "$run_check" ] && ! "$run_check" "$work/image.bin" >&2; then
	echo "build_loader: the image does not work on the emulated chip; $out not written" >&2
	exit 1
fi
mv "$work/image.bin" "$out"
