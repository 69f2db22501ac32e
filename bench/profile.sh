#!/usr/bin/env bash
# Where tenvik's time goes on one list: runs the Release build under
# callgrind (instruction counts, so repeatable on a busy machine) and prints
# the functions with the most instructions.
#
#   bench/profile.sh LIST [TENVIK-OPTION...]
#
# The options default to the positive-mode job: -s -p -f '%a/%p'. Needs
# valgrind. The full profile stays in build-bench/callgrind.out for
# callgrind_annotate or kcachegrind. TOP (default 15) sets the line count.

set -euo pipefail

[ $# -ge 1 ] || { sed -n '2,/^$/s/^# \{0,1\}//p' "$0"; exit 2; }
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TENVIK_BENCH_BUILD:-$root/build-bench}
list=$1
shift
[ $# -gt 0 ] || set -- -s -p -f '%a/%p'

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTENVIK_BENCH=ON \
  -DTENVIK_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target tenvik >/dev/null

valgrind --tool=callgrind --callgrind-out-file="$build/callgrind.out" \
  "$build/tenvik" "$@" "$list" >/dev/null 2>"$build/callgrind.log" ||
  { tail -20 "$build/callgrind.log" >&2; exit 1; }
callgrind_annotate --threshold=100 "$build/callgrind.out" 2>/dev/null |
  awk -v top="${TOP:-15}" '
    /^-+$/ { rule++ }
    rule >= 2 && /^ *[0-9,]+ / && shown < top + 1 { print; shown++; next }
    rule < 2 && /Ir/ { print }'
