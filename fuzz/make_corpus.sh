#!/usr/bin/env bash
# Writes the fuzzer's seed corpus into DIR: every input list of the
# end-to-end cases and the examples, each behind a few option headers (see
# the header layout at the top of tenvik_fuzz.cc).
#   fuzz/make_corpus.sh DIR
set -euo pipefail
out=${1:?usage: make_corpus.sh DIR}
root="$(cd "$(dirname "$0")/.." && pwd)"
mkdir -p "$out"

# name and header bytes (octal escapes for printf)
variants=(
  "plain:\000\000"          # default options
  "invert-silent:\005\000"  # -i -s
  "positive:\002\000"       # -p
  "prefix:\010\000"         # -f %a/%p
  "texts:\040\001"          # -m allow,block
  "trace:\200\367"          # -t 247, every trace
  "input-trace:\200\001"    # -t 1
  "optimal:\000\010"        # --optimal
  "format:\020\000\011%m %p %%x"  # a format from the bytes
)

n=0
for list in "$root"/tests/cases/*/input "$root"/examples/*.txt; do
  [ -f "$list" ] || continue
  base=$(basename "$(dirname "$list")")
  [ "$base" = examples ] && base=$(basename "$list" .txt)
  for v in "${variants[@]}"; do
    name=${v%%:*}
    header=${v#*:}
    { printf "%b" "$header"; cat "$list"; } > "$out/$base-$name"
    n=$((n + 1))
  done
done
echo "$n seeds in $out"
