#!/usr/bin/env bash
# Fetches real IPv4 and IPv6 country databases and turns them into tenvik
# lists for bench/run.sh. Needs the network (the npm registry and Debian's
# archive); never run by the tests or CI.
#
#   bench/fetch_real.sh [OUTDIR]        (default build-bench/real)
#
# Sources:
#   npm package @ip-location-db/geolite2-country, file
#     geolite2-country-ipv4-num.csv ("start,end,country", numeric)
#   Debian package tor-geoipdb, file usr/share/tor/geoip (the same form)
# Each becomes three lists, in the file's (ascending) order:
#   NAME-prefixes.txt  each range split into the fewest prefixes "a.b.c.d/n"
#   NAME-whole.txt     the database's ranges as "a.b.c.d - e.f.g.h" lines
#   NAME-ranges.txt    the same, with the big unaligned ranges cut up
# The databases merge neighbouring blocks into ranges that tenvik inserts
# address by address: 1.4 to 1.6 billion insertions for either database.
# Held as runs of blocks they cost little, but a trace or a dump line puts
# them into the tree one by one, beyond its node pool; NAME-ranges.txt cuts
# such ranges into one range line per aligned block, the others (about 90%)
# stay whole.
# A few ranges end in x.y.z.0, which tenvik widens to a classful block;
# both range lists cut those. All lists of a database mean exactly the same
# addresses as the database.
# GeoLite2's rows for one country, US (55,250 of them, a list that is not
# the whole address space), make three more lists in the same way:
#   geolite2-US-prefixes.txt, geolite2-US-whole.txt, geolite2-US-ranges.txt
# Then: bench/run.sh build-bench/real/*.txt
#
# IPv6 sources, converted into OUTDIR/v6:
#   geolite2-country-ipv6.csv of the same npm package, asn-country-ipv6.csv
#     of @ip-location-db/asn-country ("start,end,country", in text)
#   usr/share/tor/geoip6 of tor-geoipdb (the same form)
# Each becomes two lists, in the file's order:
#   NAME-ranges.v6.txt    the database's ranges as "A - B" lines
#   NAME-prefixes.v6.txt  each range as the prefixes of its exact cover
# tenvik inserts an IPv6 range as that same exact cover, so nothing needs
# cutting up, and both lists mean the database's addresses.
# Then: bench/run.sh build-bench/real/v6/*.txt (needs tenvik --ipv6)

set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${TENVIK_BENCH_BUILD:-$root/build-bench}
outdir=${1:-$build/real}
mkdir -p "$outdir"
outdir=$(cd "$outdir" && pwd)
mkdir -p "$outdir/v6"

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTENVIK_BENCH=ON \
  -DTENVIK_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target bench_tool >/dev/null
tool=$build/bench/bench_tool

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"

echo "fetching @ip-location-db/geolite2-country" >&2
npm pack --silent @ip-location-db/geolite2-country >/dev/null
tar xzf ip-location-db-geolite2-country-*.tgz
geolite=package/geolite2-country-ipv4-num.csv
geolite6=package/geolite2-country-ipv6.csv

echo "fetching @ip-location-db/asn-country" >&2
npm pack --silent @ip-location-db/asn-country >/dev/null
mkdir asn
tar xzf ip-location-db-asn-country-*.tgz -C asn
asn6=asn/package/asn-country-ipv6.csv

echo "fetching tor-geoipdb" >&2
apt-get download tor-geoipdb >/dev/null 2>&1 ||
  { apt-get update -qq && apt-get download tor-geoipdb >/dev/null; }
dpkg-deb -x tor-geoipdb_*.deb tor
tor=tor/usr/share/tor/geoip
tor6=tor/usr/share/tor/geoip6

convert() {  # name csv
  local kind
  for kind in ranges whole prefixes; do
    echo -n "$1-$kind.txt: " >&2
    "$tool" convert "$kind" "$2" >"$outdir/$1-$kind.txt"
  done
}
convert geolite2-country "$geolite"
awk -F, '$3=="US"' "$geolite" >us.csv
convert geolite2-US us.csv
convert tor-geoip "$tor"
wc -l "$outdir"/*.txt >&2

convert6() {  # name csv
  local kind
  for kind in ranges prefixes; do
    echo -n "v6/$1-$kind.v6.txt: " >&2
    "$tool" convert --ipv6 "$kind" "$2" >"$outdir/v6/$1-$kind.v6.txt"
  done
}
convert6 geolite2-country "$geolite6"
convert6 asn-country "$asn6"
convert6 tor-geoip "$tor6"
wc -l "$outdir"/v6/*.txt >&2
