#!/usr/bin/env bash
# tenvik's benchmark: times tenvik, and iprange where it does the same job,
# on big lists, checks that every output means what the list means, and
# prints a table of medians and peak memory.
#
#   bench/run.sh [-r RUNS] [-O] [-6] [-P] [LIST ...]
#
# Without LIST it generates (once, seeded, into build-bench/lists) four
# lists: 1,000,000 random-order prefixes with a routing-table length mix,
# 1,000,000 random single addresses, the range 10.0.0.1 - 10.255.255.255
# and a 500,000-line permit/deny list; with -6 also three IPv6 lists:
# 1,000,000 random-order prefixes shaped like an IPv6 table, 1,000,000
# random /128s and 1,000,000 random /64s. bench/fetch_real.sh makes real
# country lists to pass as LIST.
#
# For each list, RUNS times (default 5), interleaved:
#   tenvik -s -p -f '%a/%p' LIST     positive mode: disjoint permitted blocks
#   tenvik_floor LIST                what merely reading the list costs
#   iprange LIST                     the same job, for lists of bare blocks
#   tenvik -s LIST                   the default first-match list
#   tenvik -s --optimal LIST         where tenvik has that option, unless -O
# and reports the median wall time, the median CPU time (user + system)
# and the median peak resident memory of each.
#
# tenvik_floor (bench/floor.cc) is the yardstick, what merely reading the
# list costs: it reads the file in big read(2) chunks, parses each line's
# address, length and range end in one tight loop, and prints every fourth
# line's block as tenvik prints blocks, storing and merging nothing. The
# targets: tenvik -p within 0.5 times iprange's time and 2 times the
# floor's; the tables mark a ratio past its target with '*' (a mark is no
# failure). A floor that skipped lines it could not read says so in a note.
#
# Then it checks that every output denotes the list's permitted addresses
# (bench_tool meaning, a slow model: longest match wins, nothing matched is
# denied) and that tenvik's and iprange's outputs hold the same addresses
# (iprange --diff). Any difference or failed run makes the script exit with
# status 1 after the table.
#
# A list whose name ends in .v6.txt is an IPv6 list: it is run with
# tenvik --ipv6 (the script stops at once if tenvik does not take it), in
# the same three modes, with tenvik_floor --ipv6 (the same target of 2),
# and with two peers that do the positive job:
#   bench/collapse6.py LIST          Python's ipaddress.collapse_addresses
#   bench/cidrlite6.pl LIST          Perl's Net::CIDR::Lite, installed from
#                                    libnet-cidr-lite-perl when missing
# (-P skips both; they take half a minute or more on 1M lines). Each output
# must mean what the list means (bench_tool meaning --ipv6: the default and
# --optimal lists read first match wins, every address in canonical text),
# and each peer must hold the same addresses as tenvik -p. IPv6 lists get
# a table of their own, and one more for each IPv6 list NAME.v6.txt run
# with an IPv4 list NAME.txt: the ratios of their times and peak memory
# (the generated lists pair up that way for prefixes and single addresses).
#
# On a shared machine the wall time grows with other work and the CPU time
# much less: rerun before trusting a small difference. Environment:
# TENVIK_BENCH_BUILD (build directory, default build-bench),
# TENVIK_BENCH_PROGRAM (a tenvik to time instead of the one built here).

set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${TENVIK_BENCH_BUILD:-$root/build-bench}
runs=5

skip_optimal=0
ipv6=0
skip_peers=0
while getopts "r:O6Ph" opt; do
  case $opt in
    r) runs=$OPTARG ;;
    O) skip_optimal=1 ;;
    6) ipv6=1 ;;
    P) skip_peers=1 ;;
    *) sed -n '2,/^$/s/^# \{0,1\}//p' "$0"; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
case $runs in '' | *[!0-9]* | 0) echo "run.sh: -r needs a positive number" >&2; exit 2 ;; esac

targets=(tenvik bench_tool tenvik_floor)
[ -n "${TENVIK_BENCH_PROGRAM:-}" ] && targets=(bench_tool tenvik_floor)
names=$(printf '%s, ' "${targets[@]:0:${#targets[@]}-1}")
echo "building ${names%, } and ${targets[-1]} in $build (Release)" >&2
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTENVIK_BENCH=ON \
  -DTENVIK_TESTS=OFF >"$build.cmake.log" 2>&1 || { cat "$build.cmake.log" >&2; exit 1; }
cmake --build "$build" -j2 --target "${targets[@]}" >"$build.cmake.log" 2>&1 ||
  { cat "$build.cmake.log" >&2; exit 1; }
rm -f "$build.cmake.log"
tenvik=${TENVIK_BENCH_PROGRAM:-$build/tenvik}
tool=$build/bench/bench_tool
floor=$build/bench/tenvik_floor

is_ipv6_list() { case $1 in *.v6.txt) return 0 ;; *) return 1 ;; esac; }
any_ipv6=$ipv6
for list in "$@"; do is_ipv6_list "$list" && any_ipv6=1; done
if [ $any_ipv6 = 1 ] && ! "$tenvik" --ipv6 </dev/null >/dev/null 2>&1; then
  echo "run.sh: $tenvik does not take --ipv6, so the IPv6 lists cannot be run;" \
    "leave out -6 and the *.v6.txt lists" >&2
  exit 1
fi

lists=("$@")
if [ ${#lists[@]} -eq 0 ]; then
  mkdir -p "$build/lists"
  generate() {  # file [--ipv6] kind lines seed
    local file=$build/lists/$1
    # A list made by an older generator is made again.
    if [ ! -s "$file" ] || [ "$tool" -nt "$file" ]; then
      echo "generating $file" >&2
      "$tool" generate "${@:2}" >"$file.tmp" && mv "$file.tmp" "$file"
    fi
    lists+=("$file")
  }
  generate random-prefixes-1m.txt prefixes 1000000 1
  generate random-hosts-1m.txt hosts 1000000 2
  generate big-range.txt bigrange 1 3
  generate mixed-500k.txt mixed 500000 4
  if [ $ipv6 = 1 ]; then
    generate random-prefixes-1m.v6.txt --ipv6 prefixes 1000000 5
    generate random-hosts-1m.v6.txt --ipv6 hosts 1000000 6
    generate random-nets-1m.v6.txt --ipv6 nets 1000000 7
  fi
fi

have_iprange=0
command -v iprange >/dev/null && have_iprange=1
have_optimal=0
[ $skip_optimal = 0 ] && "$tenvik" --optimal </dev/null >/dev/null 2>&1 && have_optimal=1
have_optimal6=0
[ $skip_optimal = 0 ] && [ $any_ipv6 = 1 ] &&
  "$tenvik" --ipv6 --optimal </dev/null >/dev/null 2>&1 && have_optimal6=1
have_python=0
have_perl=0
if [ $any_ipv6 = 1 ] && [ $skip_peers = 0 ]; then
  if python3 -c 'import ipaddress' 2>/dev/null; then
    have_python=1
  else
    echo "note: no python3: the ipaddress peer is skipped" >&2
  fi
  if ! perl -MNet::CIDR::Lite -e 1 2>/dev/null && [ "$(id -u)" = 0 ] &&
    command -v apt-get >/dev/null; then
    echo "installing libnet-cidr-lite-perl for the Net::CIDR::Lite peer" >&2
    apt-get install -y -qq libnet-cidr-lite-perl >/dev/null 2>&1 ||
      { apt-get update -qq && apt-get install -y -qq libnet-cidr-lite-perl; } >/dev/null 2>&1 || true
  fi
  if perl -MNet::CIDR::Lite -e 1 2>/dev/null; then
    have_perl=1
  else
    echo "note: no Net::CIDR::Lite (Debian package libnet-cidr-lite-perl): its peer is skipped" >&2
  fi
fi

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
# floor_ratio COLUMN TAG: TAG's median over the floor's, from the unrounded
# medians, since the floor's can be a few milliseconds.
floor_ratio() {
  [ -s "$out/$2.times" ] && [ -s "$out/floor.times" ] &&
    ratio "$(median "$1" "$out/$2.times")" "$(median "$1" "$out/floor.times")" || printf -- '-'
}
# marked RATIO TARGET: the ratio, with '*' when it is past the target.
marked() {
  if [ "$1" != - ] && awk -v r="$1" -v t="$2" 'BEGIN { exit !(r > t) }'; then
    printf '%s*' "$1"
  else
    printf '%s' "$1"
  fi
}
megabytes() { [ -s "$out/$1.times" ] && printf '%.0f' "$(median 2 "$out/$1.times" | awk '{ print $1 / 1024 }')" || printf -- '-'; }

# Medians by list name and tag, for the IPv6 / IPv4 ratios.
declare -A medians=()
keep_medians() {  # tag...
  local tag
  for tag; do
    medians[$name/$tag]="$(seconds "$tag") $(cpu_seconds "$tag") $(megabytes "$tag")"
  done
}

# Prints rows of |-separated cells as aligned columns.
print_table() {
  awk -F'|' '
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
}

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

# same_set TAG: the peer's output holds the addresses of tenvik -p's.
same_set() {
  local tag=$1
  if ! "$tool" meaning --ipv6 --flat "$out/$tag.out" >"$out/$tag.set" 2>"$out/$tag.set.err"; then
    complain "$name: $tag output: $(cat "$out/$tag.set.err")"
  elif ! cmp -s "$out/positive.set" "$out/$tag.set"; then
    complain "$name: tenvik -p and $tag hold different addresses; first differences:
$(diff "$out/positive.set" "$out/$tag.set" | head -5)"
  fi
}

# A floor that skipped lines read less than tenvik did: its time flatters.
floor_note() {
  [ -s "$out/floor.err" ] && echo "note: $name: $(head -c 300 "$out/floor.err")" >&2
  return 0
}

# bench_ipv6: times and checks the IPv6 list $list, adds a row to rows6.
bench_ipv6() {
  local check=ok model_status=0 before peers=0 entries
  # The peers read bare blocks only, as iprange does.
  grep -qvE '^[[:space:]]*([0-9a-fA-F.]*:|#|$)' "$list" || peers=1
  echo "timing $name ($lines lines, $runs runs)" >&2
  for ((run = 1; run <= runs; run++)); do
    timed positive "$tenvik" --ipv6 -s -p -f '%a/%p' "$list"
    timed floor "$floor" --ipv6 "$list"
    [ $peers = 1 ] && [ $have_python = 1 ] && timed python python3 "$root/bench/collapse6.py" "$list"
    timed default "$tenvik" --ipv6 -s "$list"
    [ $peers = 1 ] && [ $have_perl = 1 ] && timed perl perl "$root/bench/cidrlite6.pl" "$list"
    [ $have_optimal6 = 1 ] && timed optimal "$tenvik" --ipv6 -s --optimal "$list"
  done

  floor_note
  "$tool" meaning --ipv6 "$list" >"$out/list.meaning" 2>"$out/list.meaning.err" || model_status=$?
  before=$failures
  if [ $model_status = 0 ]; then
    same_as_list positive --ipv6 --output --flat
    same_as_list default --ipv6 --output
    [ $have_optimal6 = 1 ] && same_as_list optimal --ipv6 --output
  elif [ $model_status = 2 ]; then
    check="unmodelled"
    echo "note: $(cat "$out/list.meaning.err"); outputs not checked against the list" >&2
  else
    complain "$name: $(cat "$out/list.meaning.err")"
  fi
  if [ $peers = 1 ] && [ $((have_python + have_perl)) -gt 0 ]; then
    if ! "$tool" meaning --ipv6 --flat "$out/positive.out" >"$out/positive.set" 2>"$out/positive.set.err"; then
      complain "$name: positive output: $(cat "$out/positive.set.err")"
    else
      [ $have_python = 1 ] && same_set python
      [ $have_perl = 1 ] && same_set perl
    fi
  fi
  [ $failures = "$before" ] || check=FAIL

  entries=$(wc -l <"$out/default.out")
  [ $have_optimal6 = 1 ] && entries="$entries / $(wc -l <"$out/optimal.out")"
  rows6+=("$(printf '%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s' "$name" "$lines" \
    "$(seconds positive)" "$(cpu_seconds positive)" "$(megabytes positive)" \
    "$(seconds floor)" "$(marked "$(floor_ratio 1 positive)" 2)" "$(marked "$(floor_ratio 3 positive)" 2)" \
    "$(seconds default)" "$(cpu_seconds default)" "$(megabytes default)" \
    "$(seconds optimal)" "$(megabytes optimal)" \
    "$(seconds python)" "$(cpu_seconds python)" "$(megabytes python)" \
    "$(seconds perl)" "$(cpu_seconds perl)" "$(megabytes perl)" "$entries" "$check")")
  keep_medians positive default optimal
}

rows=()
rows6=()
ipv6_names=()
for list in "${lists[@]}"; do
  name=$(basename "$list")
  [ -r "$list" ] || { complain "$name: cannot read $list"; continue; }
  lines=$(wc -l <"$list")
  rm -f "$out"/*.times
  if is_ipv6_list "$list"; then
    bench_ipv6
    ipv6_names+=("$name")
    continue
  fi
  # iprange reads bare blocks only; a line with a modifier word is not its job.
  compare=0
  if [ $have_iprange = 1 ] && ! grep -qvE '^[[:space:]]*([0-9]|#|$)' "$list"; then
    compare=1
  fi
  echo "timing $name ($lines lines, $runs runs)" >&2
  for ((run = 1; run <= runs; run++)); do
    timed positive "$tenvik" -s -p -f '%a/%p' "$list"
    timed floor "$floor" "$list"
    [ $compare = 1 ] && timed iprange iprange "$list"
    timed default "$tenvik" -s "$list"
    [ $have_optimal = 1 ] && timed optimal "$tenvik" -s --optimal "$list"
  done

  floor_note
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
  rows+=("$(printf '%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s' "$name" "$lines" \
    "$t" "$i" "$(marked "$(ratio "$t" "$i")" 0.5)" "$tc" "$ic" "$(marked "$(ratio "$tc" "$ic")" 0.5)" \
    "$(seconds floor)" "$(marked "$(floor_ratio 1 positive)" 2)" "$(marked "$(floor_ratio 3 positive)" 2)" \
    "$(megabytes positive)" "$(megabytes iprange)" \
    "$(seconds default)" "$(megabytes default)" "$(seconds optimal)" \
    "$(megabytes optimal)" "$entries" "$check")")
  keep_medians positive default optimal
done

echo
if [ -n "${TENVIK_BENCH_PROGRAM:-}" ]; then
  echo -n "$tenvik"
else
  echo -n "tenvik $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo '?')$(git -C "$root" diff --quiet HEAD -- src 2>/dev/null || echo ' (with uncommitted changes in src/)')"
fi
echo ", $runs runs, medians; $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)"
if [ ${#rows[@]} -gt 0 ] || [ ${#rows6[@]} -eq 0 ]; then
  echo "-p = tenvik -s -p -f '%a/%p'; default = tenvik -s; optimal = tenvik -s --optimal; ratio = tenvik -p / iprange; floor = tenvik_floor LIST; s = wall seconds, cpu = user + system seconds"
  echo "* past the target: -p / iprange 0.5, -p / floor 2"
  echo
  {
    echo "list|lines|-p s|iprange s|ratio|-p cpu|iprange cpu|cpu ratio|floor s|-p / floor|cpu / floor|-p MB|iprange MB|default s|default MB|optimal s|optimal MB|entries default / optimal|check"
    printf '%s\n' "${rows[@]}"
  } | print_table
fi

if [ ${#rows6[@]} -gt 0 ]; then
  echo
  echo "IPv6 lists: the same modes with --ipv6; floor = tenvik_floor --ipv6 LIST (* past the target: -p / floor 2); python = bench/collapse6.py, perl = bench/cidrlite6.pl"
  echo
  {
    echo "list|lines|-p s|-p cpu|-p MB|floor s|-p / floor|cpu / floor|default s|default cpu|default MB|optimal s|optimal MB|python s|python cpu|python MB|perl s|perl cpu|perl MB|entries default / optimal|check"
    printf '%s\n' "${rows6[@]}"
  } | print_table
  # An IPv6 list against the IPv4 list of the same shape: NAME.v6.txt and
  # NAME.txt.
  ratio_rows=()
  for v6 in "${ipv6_names[@]}"; do
    v4=${v6%.v6.txt}.txt
    [ -n "${medians[$v4/positive]:-}" ] || continue
    row="$v6 / $v4"
    for tag in positive default optimal; do
      read -r s6 c6 m6 <<<"${medians[$v6/$tag]}"
      read -r s4 c4 m4 <<<"${medians[$v4/$tag]}"
      for cell in "$s6 $s4 1.5" "$c6 $c4 1.5" "$m6 $m4 2"; do
        set -- $cell
        r=$(ratio "$1" "$2")
        [ "$r" != - ] && awk -v r="$r" -v t="$3" 'BEGIN { exit !(r > t) }' && r="$r*"
        row="$row|$r"
      done
    done
    ratio_rows+=("$row")
  done
  if [ ${#ratio_rows[@]} -gt 0 ]; then
    echo
    echo "IPv6 / IPv4 lists of the same shape (* past the target: 1.5 times the time, 2 times the memory)"
    echo
    {
      echo "lists|-p s|-p cpu|-p MB|default s|default cpu|default MB|optimal s|optimal cpu|optimal MB"
      printf '%s\n' "${ratio_rows[@]}"
    } | print_table
  fi
fi

if [ $failures -gt 0 ]; then
  echo >&2
  echo "run.sh: $failures check(s) failed (see FAIL lines above)" >&2
  exit 1
fi
