#!/usr/bin/perl
# Peer of tenvik --ipv6 -p in the benchmark: Perl's Net::CIDR::Lite
# (Debian package libnet-cidr-lite-perl).
#
#   bench/cidrlite6.pl LIST
#
# Reads a list of bare IPv6 blocks, one per line: ADDR/LEN, A - B or a lone
# address (a /128); '#' starts a comment. Prints the permitted addresses as
# the fewest disjoint CIDR blocks, ascending, one per line.

use strict;
use warnings;
use Net::CIDR::Lite;

@ARGV == 1 or die "usage: cidrlite6.pl LIST\n";
open(my $in, '<', $ARGV[0]) or die "cidrlite6.pl: cannot open $ARGV[0]: $!\n";
my $set = Net::CIDR::Lite->new;
while (my $line = <$in>) {
  $line =~ s/#.*//s;
  $line =~ s/^\s+|\s+$//g;
  next if $line eq '';
  if ($line =~ /^(\S+)\s*-\s*(\S+)$/) {
    $set->add_range("$1-$2");
  } elsif ($line =~ m{/}) {
    $set->add($line);
  } else {
    $set->add("$line/128");
  }
}
close($in);
print "$_\n" for $set->list;
