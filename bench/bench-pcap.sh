#!/bin/sh
# PCAP load and save: framekit -f IN -s OUT against editcap IN OUT and
# cp IN OUT, best of three runs each, on a 1 GiB capture of 64 to 1518 byte
# frames and on 2 000 000 frames of 64 bytes.  Also framekit's peak memory
# against the file size.  $1: build directory.
set -eu
build=$(cd "${1:-build}" && pwd)
gen="$build/bin/gen_pcap"
framekit="$build/bin/framekit"
[ -x "$gen" ] && [ -x "$framekit" ] || { echo "bench-pcap: build gen_pcap and framekit first" >&2; exit 1; }

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

now() { date +%s.%N; }

# best_of CMD...: the shortest wall time of three runs, in seconds.
best_of() {
  best=""
  for _ in 1 2 3; do
    rm -f "$work/out.pcap"
    t0=$(now)
    "$@" >/dev/null 2>&1 || { echo "bench-pcap: failed: $*" >&2; exit 1; }
    t1=$(now)
    best=$(echo "$t0 $t1 ${best:-}" | awk '{ d = $2 - $1; if ($3 == "" || d < $3) print d; else print $3 }')
  done
  echo "$best"
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

run_case() {  # name, gen_pcap arguments...
  name=$1
  shift
  "$gen" "$work/in.pcap" "$@"
  size=$(stat -c %s "$work/in.pcap")
  cat "$work/in.pcap" >/dev/null  # everyone starts from the page cache
  fk=$(best_of "$framekit" -f "$work/in.pcap" -s "$work/out.pcap")
  cmp -s "$work/in.pcap" "$work/out.pcap" || { echo "bench-pcap: framekit output differs" >&2; exit 1; }
  ec=$(best_of editcap "$work/in.pcap" "$work/out.pcap")
  cp_t=$(best_of cp "$work/in.pcap" "$work/out.pcap")
  rm -f "$work/out.pcap"
  peak_kb=$(/usr/bin/time -f %M "$framekit" -f "$work/in.pcap" -s "$work/out.pcap" 2>&1 >/dev/null | tail -n 1)
  rm -f "$work/out.pcap" "$work/in.pcap"
  printf '%s (%d bytes): framekit %.3f s, editcap %.3f s, cp %.3f s\n' "$name" "$size" "$fk" "$ec" "$cp_t"
  printf '  framekit/editcap %s, framekit/cp %s, peak memory %d KiB = %s x file size\n' \
    "$(ratio "$fk" "$ec")" "$(ratio "$fk" "$cp_t")" "$peak_kb" "$(ratio "$((peak_kb * 1024))" "$size")"
}

run_case "mixed 64-1518 B" mixed $((1 << 30))
run_case "2000000 x 64 B" small 2000000
