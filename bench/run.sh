#!/usr/bin/env bash
# tenvik's benchmark: times tenvik, and iprange where it does the same job,
# on big lists, checks that every output means what the list means, and
# prints a table of medians and peak memory.
#
#   bench/run.sh [-r RUNS] [-O] [LIST ...]
#
# Without LIST it generates (once, seeded, into build-bench/lists) four
# lists: 1,000,000 random-order prefixes with a routing-table length mix,
# 1,000,000 random single addresses, the range 10.0.0.1 - 10.255.255.255
# and a 500,000-line permit/deny list. bench/fetch_real.sh makes real
# country lists to pass as LIST.
#
# For each list, RUNS times (default 5), interleaved:
#   tenvik -s -p -f '%a/%p' LIST     positive mode: disjoint permitted blocks
#   iprange LIST                     the same job, for lists of bare blocks
#   tenvik -s LIST                   the default first-match list
#   tenvik -s --optimal LIST         where tenvik has that option, unless -O
# and reports the median wall time, the median CPU time (user + system)
# and the median peak resident memory of each. Then it checks that every
# output denotes the list's permitted addresses (bench_tool meaning, a slow
# model: longest match wins, nothing matched is denied) and that tenvik's
# and iprange's outputs hold the same addresses (iprange --diff). Any
# difference or failed run makes the script exit with status 1 after the
# table.
#
# On a shared machine the wall time grows with other work and the CPU time
# much less: rerun before trusting a small difference. Environment:
# TENVIK_BENCH_BUILD (build directory, default build-bench).

set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${TENVIK_BENCH_BUILD:-$root/build-bench}
runs=5

skip_optimal=0
while getopts "r:Oh" opt; do
  case $opt in
    r) runs=$OPTARG ;;
    O) skip_optimal=1 ;;
    *) sed -n '2,/^$/s/^# \{0,1\}//p' "$0"; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
case $runs in '' | *[!0-9]* | 0) echo "run.sh: -r needs a positive number" >&2; exit 2 ;; esac

echo "building tenvik and bench_tool in $build (Release)" >&2
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTENVIK_BENCH=ON \
  -DTENVIK_TESTS=OFF >"$build.cmake.log" 2>&1 || { cat "$build.cmake.log" >&2; exit 1; }
cmake --build "$build" -j2 --target tenvik bench_tool >"$build.cmake.log" 2>&1 ||
  { cat "$build.cmake.log" >&2; exit 1; }
rm -f "$build.cmake.log"
tenvik=$build/tenvik
tool=$build/bench/bench_tool

lists=("$@")
if [ ${#lists[@]} -eq 0 ]; then
  mkdir -p "$build/lists"
  generate() {  # file kind lines seed
    local file=$build/lists/$1
    # A list made by an older generator is made again.
    if [ ! -s "$file" ] || [ "$tool" -nt "$file" ]; then
      echo "generating $file" >&2
      "$tool" generate "$2" "$3" "$4" >"$file.tmp" && mv "$file.tmp" "$file"
    fi
    lists+=("$file")
  }
  generate random-prefixes-1m.txt prefixes 1000000 1
  generate random-hosts-1m.txt hosts 1000000 2
  generate big-range.txt bigrange 1 3
  generate mixed-500k.txt mixed 500000 4
fi

have_iprange=0
command -v iprange >/dev/null && have_iprange=1
have_optimal=0
[ $skip_optimal = 0 ] && "$tenvik" --optimal </dev/null >/dev/null 2>&1 && have_optimal=1

out=$build/bench-out
mkdir -p "$out"
failures=0
complain() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# timed TAG COMMAND...: one run; appends "wall-seconds peak-KB cpu-seconds"
# to $out/TAG.times.
timed() {
  local tag=$1 result
  shift
  result=$("$tool" time "$out/$tag.out" "$out/$tag.err" -- "$@")
  set -- $result "$@"
  if [ "$3" != 0 ]; then
    complain "$name: '${*:4}' exited with status $3: $(head -c 300 "$out/$tag.err")"
  fi
  echo "$1 $2 $4" >>"$out/$tag.times"
}

# median COLUMN FILE
median() {
  sort -g -k"$1","$1" "$2" | awk -v c="$1" '{ v[NR] = $c }
    END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
seconds() { [ -s "$out/$1.times" ] && printf '%.3f' "$(median 1 "$out/$1.times")" || printf -- '-'; }
cpu_seconds() { [ -s "$out/$1.times" ] && printf '%.3f' "$(median 3 "$out/$1.times")" || printf -- '-'; }
ratio() { [ "$1" != - ] && [ "$2" != - ] && awk -v t="$1" -v i="$2" 'BEGIN { printf "%.2f", (i > 0 ? t / i : 0) }' || printf -- '-'; }
megabytes() { [ -s "$out/$1.times" ] && printf '%.0f' "$(median 2 "$out/$1.times" | awk '{ print $1 / 1024 }')" || printf -- '-'; }

# same_as_list TAG MEANING-OPTIONS...: the output means what the list means.
same_as_list() {
  local tag=$1
  shift
  if ! "$tool" meaning "$@" "$out/$tag.out" >"$out/$tag.meaning" 2>"$out/$tag.meaning.err"; then
    complain "$name: $tag output: $(cat "$out/$tag.meaning.err")"
  elif ! cmp -s "$out/list.meaning" "$out/$tag.meaning"; then
    complain "$name: $tag output does not mean what the list means; first difference:
$(diff "$out/list.meaning" "$out/$tag.meaning" | head -5)"
  fi
}

rows=()
for list in "${lists[@]}"; do
  name=$(basename "$list")
  [ -r "$list" ] || { complain "$name: cannot read $list"; continue; }
  lines=$(wc -l <"$list")
  rm -f "$out"/*.times
  # iprange reads bare blocks only; a line with a modifier word is not its job.
  compare=0
  if [ $have_iprange = 1 ] && ! grep -qvE '^[[:space:]]*([0-9]|#|$)' "$list"; then
    compare=1
  fi
  echo "timing $name ($lines lines, $runs runs)" >&2
  for ((run = 1; run <= runs; run++)); do
    timed positive "$tenvik" -s -p -f '%a/%p' "$list"
    [ $compare = 1 ] && timed iprange iprange "$list"
    timed default "$tenvik" -s "$list"
    [ $have_optimal = 1 ] && timed optimal "$tenvik" -s --optimal "$list"
  done

  check=ok
  model_status=0
  "$tool" meaning "$list" >"$out/list.meaning" 2>"$out/list.meaning.err" || model_status=$?
  before=$failures
  if [ $model_status = 0 ]; then
    same_as_list positive --flat
    same_as_list default --wildcard
    [ $have_optimal = 1 ] && same_as_list optimal --wildcard
  elif [ $model_status = 2 ]; then
    check="unmodelled"
    echo "note: $(cat "$out/list.meaning.err"); outputs not checked against the list" >&2
  else
    complain "$name: $(cat "$out/list.meaning.err")"
  fi
  if [ $compare = 1 ] && ! iprange "$out/positive.out" --diff "$out/iprange.out" >"$out/diff" 2>&1; then
    complain "$name: tenvik -p and iprange hold different addresses; first differences:
$(head -5 "$out/diff")"
  fi
  [ $failures = "$before" ] || check=FAIL

  t=$(seconds positive)
  i=$(seconds iprange)
  tc=$(cpu_seconds positive)
  ic=$(cpu_seconds iprange)
  entries=$(wc -l <"$out/default.out")
  [ $have_optimal = 1 ] && entries="$entries / $(wc -l <"$out/optimal.out")"
  rows+=("$(printf '%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s' "$name" "$lines" \
    "$t" "$i" "$(ratio "$t" "$i")" "$tc" "$ic" "$(ratio "$tc" "$ic")" \
    "$(megabytes positive)" "$(megabytes iprange)" \
    "$(seconds default)" "$(megabytes default)" "$(seconds optimal)" \
    "$(megabytes optimal)" "$entries" "$check")")
done

echo
echo "tenvik $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo '?')$(git -C "$root" diff --quiet HEAD -- src 2>/dev/null || echo ' (with uncommitted changes in src/)'), $runs runs, medians; $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)"
echo "-p = tenvik -s -p -f '%a/%p'; default = tenvik -s; optimal = tenvik -s --optimal; ratio = tenvik -p / iprange; s = wall seconds, cpu = user + system seconds"
echo
{
  echo "list|lines|-p s|iprange s|ratio|-p cpu|iprange cpu|cpu ratio|-p MB|iprange MB|default s|default MB|optimal s|optimal MB|entries default / optimal|check"
  printf '%s\n' "${rows[@]}"
} | awk -F'|' '
  { for (i = 1; i <= NF; i++) { cell[NR, i] = $i; if (length($i) > w[i]) w[i] = length($i) } n = NR; f = NF }
  END {
    for (r = 1; r <= n; r++) {
      line = ""
      for (i = 1; i <= f; i++) {
        fmt = i == 1 ? "%-" w[i] "s" : "%" w[i] "s"
        line = line (i > 1 ? "  " : "") sprintf(fmt, cell[r, i])
      }
      print line
    }
  }'

if [ $failures -gt 0 ]; then
  echo >&2
  echo "run.sh: $failures check(s) failed (see FAIL lines above)" >&2
  exit 1
fi
