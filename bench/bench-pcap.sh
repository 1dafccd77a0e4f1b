#!/bin/sh
# PCAP load and save, measured as users meet it: whole-process wall times
# of commands run alternately (A B A B ...), RUNS pairs (default 7), and per
# case the median of the per-pair ratios A/B with their spread (min-max).
# Also framekit's peak memory against the file size.  The machine's load
# average is printed with the figures.
#
# Cases: a 1 GiB capture of 64-1518 byte frames (load + save against cp
# and editcap -F pcap, peak memory), 2 000 000 frames of 64 bytes (against
# editcap; with -r against without; --filter against without; kvoplay -N -q
# against framekit's load alone), and the 1 GiB capture as pcapng (saved as
# PCAP against editcap -F pcap; framekit's own reader against a load through
# libpcap).  $1: build directory.  SIZE=bytes shrinks the large capture.
set -eu
build=$(cd "${1:-build}" && pwd)
gen="$build/bin/gen_pcap"
framekit="$build/bin/framekit"
kvoplay="$build/bin/kvoplay"
peer="$build/bench/pcap_peer_load"
runs=${RUNS:-7}
size=${SIZE:-$((1 << 30))}
for p in "$gen" "$framekit" "$kvoplay" "$peer"; do
  [ -x "$p" ] || { echo "bench-pcap: build $(basename "$p") first" >&2; exit 1; }
done

need() {  # command, Debian package
  command -v "$1" >/dev/null 2>&1 && return 0
  if [ "$(id -u)" = 0 ]; then
    echo "bench-pcap: installing $2" >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$2" >/dev/null ||
      { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$2" >/dev/null; }
  fi
  command -v "$1" >/dev/null 2>&1 || { echo "bench-pcap: $1 missing (package $2)" >&2; exit 1; }
}
need editcap wireshark-common
[ -x /usr/bin/time ] || need /usr/bin/time time

work=$(mktemp -d "$build/bench-pcap.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
out="$work/out.pcap"

# wall CMD...: seconds one run of CMD takes, its output file removed first.
wall() {
  rm -f "$out"
  t0=$(date +%s.%N)
  "$@" >/dev/null 2>&1 || { echo "bench-pcap: failed: $*" >&2; exit 1; }
  t1=$(date +%s.%N)
  echo "$t0 $t1" | awk '{ printf "%.4f\n", $2 - $1 }'
}

# compare NAME GOAL "A command" "B command": runs A and B alternately and
# prints the median A/B ratio with the spread of the per-pair ratios and
# both medians.  The commands are split on blanks (no quoting inside).
compare() {
  name=$1 goal=$2 a=$3 b=$4
  : >"$work/pairs"
  i=0
  while [ "$i" -lt "$runs" ]; do
    # shellcheck disable=SC2086
    ta=$(wall $a)
    # shellcheck disable=SC2086
    tb=$(wall $b)
    echo "$ta $tb" >>"$work/pairs"
    i=$((i + 1))
  done
  sort -n -k1,1 "$work/pairs" | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }' >"$work/ma"
  sort -n -k2,2 "$work/pairs" | awk '{ b[NR] = $2 } END { print b[int((NR + 1) / 2)] }' >"$work/mb"
  awk '{ print $1 / $2 }' "$work/pairs" | sort -g | awk -v name="$name" -v goal="$goal" \
    -v ma="$(cat "$work/ma")" -v mb="$(cat "$work/mb")" -v n="$runs" '
    { r[NR] = $1 }
    END { printf "%-44s median %.2f  spread %.2f-%.2f  (%s s / %s s, %d pairs; goal %s)\n",
                 name, r[int((NR + 1) / 2)], r[1], r[NR], ma, mb, n, goal }'
}

peak() {  # NAME FILE CMD...: peak resident memory of one run against FILE's size
  name=$1 file=$2
  shift 2
  rm -f "$out"
  kb=$(/usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n 1)
  awk -v name="$name" -v kb="$kb" -v size="$(stat -c %s "$file")" \
    'BEGIN { printf "%-44s %d KiB = %.3f x the file (goal <= 0.25)\n", name, kb, kb * 1024 / size }'
}

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg); $runs alternated pairs per case"
mixed="$work/mixed.pcap" small="$work/small.pcap" ng="$work/mixed.pcapng"
"$gen" "$mixed" mixed "$size"
"$gen" "$small" small 2000000
editcap -F pcapng "$mixed" "$ng"
cat "$mixed" "$small" "$ng" >/dev/null  # everyone starts from the page cache

"$framekit" -f "$mixed" -s "$out" >/dev/null
cmp -s "$mixed" "$out" || { echo "bench-pcap: framekit's save differs from its input" >&2; exit 1; }
compare "1 GiB mixed: framekit -s / cp" "<= 1.5" "$framekit -f $mixed -s $out" "cp $mixed $out"
compare "1 GiB mixed: framekit -s / editcap -F pcap" "<= 0.5" \
  "$framekit -f $mixed -s $out" "editcap -F pcap $mixed $out"
peak "1 GiB mixed: framekit -s peak memory" "$mixed" "$framekit" -f "$mixed" -s "$out"
compare "2M x 64 B: framekit -s / editcap -F pcap" "<= 0.5" \
  "$framekit -f $small -s $out" "editcap -F pcap $small $out"
compare "2M x 64 B: framekit -r -s / framekit -s" "<= 1.5" \
  "$framekit -r -f $small -s $out" "$framekit -f $small -s $out"
compare "2M x 64 B: --filter 'ether[0]&1=0' / none" "<= 2" \
  "$framekit -f $small --filter ether[0]&1=0 -s $out" "$framekit -f $small -s $out"
compare "2M x 64 B: kvoplay -N -q / framekit load" "<= 1.2" \
  "$kvoplay -N -q -f $small" "$framekit -f $small"
compare "1 GiB pcapng: framekit -s / editcap -F pcap" "<= 0.6" \
  "$framekit -f $ng -s $out" "editcap -F pcap $ng $out"
compare "1 GiB pcapng: own reader / libpcap load" "< 1" "$framekit -f $ng" "$peer $ng"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
