#!/bin/sh
# Loader benchmark: load_config against xmllint's bare parse of the same
# generated design description, best of five runs each.
# Usage: bench-loader.sh BUILD_DIR
set -eu
build=${1:-build}
gen=$build/bin/gen_design
load=$build/bin/load_bench
if ! command -v xmllint >/dev/null 2>&1; then
  echo "loader: xmllint not installed, skipped"
  exit 0
fi
for p in "$gen" "$load"; do
  [ -x "$p" ] || { echo "loader: $p not built" >&2; exit 1; }
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT INT TERM

now() { date +%s.%N; }
smallest() { awk 'NR == 1 || $1 < m { m = $1 } END { printf "%.6f", m }'; }

time_xmllint() {
  start=$(now)
  xmllint --noout "$1"
  end=$(now)
  echo "$start $end" | awk '{ printf "%.6f\n", $2 - $1 }'
}

for n in 10000 100000; do
  file=$tmp/design-$n.xml
  "$gen" "$n" "$file"
  lc=$(for i in 1 2 3 4 5; do "$load" "$file" 2>/dev/null; done | smallest)
  xl=$(for i in 1 2 3 4 5; do time_xmllint "$file"; done | smallest)
  echo "$n $lc $xl" | awk '{
    printf "loader %d items: load_config %.3f s, xmllint %.3f s, ratio %.2f (goal <= 1.5)\n",
           $1, $2, $3, ($3 > 0 ? $2 / $3 : 0) }'
  echo "$n $lc" >>"$tmp/scaling"
done
# Linear growth: ten times the items cost about ten times the time.  List
# appends that walk the list would show here as a factor far above 1.
awk 'NR == 1 { n1 = $1; t1 = $2 } NR == 2 { n2 = $1; t2 = $2 }
  END { if (t1 > 0) printf "loader scaling %d to %d items: time per item x%.2f (linear: about 1, goal <= 2)\n",
                        n1, n2, (t2 / n2) / (t1 / n1) }' "$tmp/scaling"
