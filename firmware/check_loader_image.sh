#!/bin/sh
# Sanity checks on a loader image (default: the committed one): exact upload
# size, a reset vector that jumps into the image, and the manufacturer and
# product string descriptors the host expects to find.
# Exit status: 0 good, 1 bad.
set -u

here=$(cd "$(dirname "$0")" && pwd)
image=${1:-$here/loader_image.bin}

exec perl -e '
	use strict; use warnings;
	my ($path, $size) = @ARGV;
	open(my $f, "<:raw", $path) or die "$path: $!\n";
	local $/; my $img = <$f>;
	my @errors;
	push @errors, sprintf("size is %d bytes, expected %d", length $img, $size)
		if length $img != $size;
	my ($op, $target) = unpack("C n", $img);
	if ($op != 0x02) {
		push @errors, sprintf("byte 0 is 0x%02X, expected LJMP (0x02)", $op);
	} elsif ($target < 3 || $target >= $size) {
		push @errors, sprintf("reset vector jumps to 0x%04X, outside the image", $target);
	}
	# A USB string descriptor: bLength, bDescriptorType 3, UTF-16LE text.
	for my $s ("Cypress", "EZ-USB") {
		my $text = join("", map { $_ . "\0" } split(//, $s));
		my $dscr = pack("CC", 2 + length $text, 3) . $text;
		push @errors, "no string descriptor \"$s\"" if index($img, $dscr) < 0;
	}
	if (@errors) { print "$path: $_\n" for @errors; exit 1; }
	print "$path: ok\n";
' "$image" 3475
