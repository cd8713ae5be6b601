#!/usr/bin/perl
# deb-member-modes.pl DEB: sets the mode in the ar header of every member of the Debian package DEB
# to 100644, in place; nothing else changes. Perl, because dpkg-dev, which the package needs
# anyway, brings it.
use strict;
use warnings;

@ARGV == 1 or die "usage: deb-member-modes.pl DEB\n";
my $path = $ARGV[0];
open(my $deb, '+<:raw', $path) or die "deb-member-modes.pl: $path: $!\n";
my $end = -s $deb;
my ($magic, $header);
read($deb, $magic, 8) == 8 && $magic eq "!<arch>\n" or die "deb-member-modes.pl: $path is no ar archive\n";
# Each member: a 60-byte header (name 16, time 12, owner 6, group 6, mode 8, size 10, "`\n"), then
# its data, padded to an even length.
my $offset = 8;
while ($offset < $end) {
    seek($deb, $offset, 0) or die "deb-member-modes.pl: $path: $!\n";
    read($deb, $header, 60) == 60 && substr($header, 58, 2) eq "`\n"
        or die "deb-member-modes.pl: $path: no member header at byte $offset\n";
    my $size = substr($header, 48, 10);
    $size =~ /^\d+ *$/ or die "deb-member-modes.pl: $path: bad member size at byte $offset\n";
    seek($deb, $offset + 40, 0) or die "deb-member-modes.pl: $path: $!\n";
    print $deb "100644  " or die "deb-member-modes.pl: $path: $!\n";
    $offset += 60 + $size + ($size % 2);
}
close($deb) or die "deb-member-modes.pl: $path: $!\n";
