#!/bin/sh
# Replay benchmark: on a capture of 2 000 000 frames of 64 bytes, compares
#   - a dry run of kvoplay (load + pacing) with framekit loading the same
#     file, so the ratio is the cost that pacing adds to the load;
#   - a real replay into the simulated device with cp of the file, the
#     cheapest way to move the same bytes into a file.
# Each command is timed best of 3 in this run.  $1 = build directory.
set -eu
build=$(cd "${1:-build}" && pwd)
frames=${REPLAY_FRAMES:-2000000}
work=$(mktemp -d "${TMPDIR:-/tmp}/orvik-bench-replay.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
capture=$work/in.pcap

# The frame store's generator when it is built, else a small one here.
if [ -x "$build/bin/gen_pcap" ]; then
  "$build/bin/gen_pcap" "$capture" small "$frames" >/dev/null
else
  perl -e '
    my ($n) = @ARGV;
    binmode STDOUT;
    print pack("VvvlVVV", 0xa1b2c3d4, 2, 4, 0, 0, 65535, 1);
    my $payload = pack("C*", map { ($_ * 13 + 7) & 255 } 0 .. 63);
    for my $i (0 .. $n - 1) {
      my $us = $i * 10;
      print pack("VVVV", 1700000000 + int($us / 1000000), $us % 1000000, 64, 64), $payload;
    }' "$frames" >"$capture"
fi

now_ns() { date +%s%N; }

# Best wall-clock time of three runs of the command, in seconds.
best_of_3() {
  best=
  for _ in 1 2 3; do
    t0=$(now_ns)
    "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; return 1; }
    t1=$(now_ns)
    d=$((t1 - t0))
    if [ -z "$best" ] || [ "$d" -lt "$best" ]; then best=$d; fi
  done
  awk -v ns="$best" 'BEGIN { printf "%.3f", ns / 1e9 }'
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

replay() { KVO2_SIM_OUT="$work/out.pcap" "$build/bin/kvoplay" -q -f "$capture"; }

echo "capture: $frames frames of 64 bytes, $(wc -c <"$capture") bytes"

dry=$(best_of_3 "$build/bin/kvoplay" -N -q -f "$capture")
if "$build/bin/framekit" -f "$capture" >/dev/null 2>&1; then
  load=$(best_of_3 "$build/bin/framekit" -f "$capture")
  echo "kvoplay -N -q: ${dry}s  framekit -f: ${load}s  ratio $(ratio "$dry" "$load") (goal <= 1.2)"
else
  echo "kvoplay -N -q: ${dry}s  (framekit not usable: no load comparison)"
fi

sent=$(best_of_3 replay)
copy=$(best_of_3 cp "$capture" "$work/copy.pcap")
echo "replay into device: ${sent}s  cp: ${copy}s  ratio $(ratio "$sent" "$copy") (goal <= 2)"
