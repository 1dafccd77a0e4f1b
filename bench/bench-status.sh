#!/bin/bash
# Status formats benchmark on the 100 000-item design description of the
# loader benchmark: ovkshow --json and --prometheus against the plain
# report, and the CGI's format=prometheus against its s=0 page.  The runs
# alternate (A B C A B C ...) so that a machine shared with other work
# slows every variant alike; medians, ratios of medians and the spread of
# the per-round ratios are printed.
# Usage: bench-status.sh BUILD_DIR [ROUNDS]   (ROUNDS default 7)
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
rounds=${2:-7}
root=$(cd "$(dirname "$0")/.." && pwd)
for p in "$build/bin/gen_design" "$build/bin/ovkshow" "$build/bin/orvik.cgi"; do
  [ -x "$p" ] || { echo "status: $p not built" >&2; exit 1; }
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT INT TERM
"$build/bin/gen_design" 100000 "$tmp/addresses.xml"
cp "$root/examples/card.sim" "$tmp/card.sim"
export LUDRA_SIM=$tmp/card.sim
cd "$tmp"

# Seconds one command takes, its output thrown away.
seconds() {
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null
  end=$(date +%s.%N)
  echo "$start $end" | awk '{ printf "%.4f\n", $2 - $1 }'
}
cgi() { QUERY_STRING=$1 "$build/bin/orvik.cgi"; }

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
: >times.txt
for _ in $(seq "$rounds"); do
  echo "plain $(seconds "$build/bin/ovkshow")" >>times.txt
  echo "json $(seconds "$build/bin/ovkshow" --json)" >>times.txt
  echo "prometheus $(seconds "$build/bin/ovkshow" --prometheus)" >>times.txt
  echo "cgi_s0 $(seconds cgi s=0)" >>times.txt
  echo "cgi_prometheus $(seconds cgi format=prometheus)" >>times.txt
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
python3 - times.txt "$rounds" <<'EOF'
import statistics, sys
times = {}
for line in open(sys.argv[1]):
    name, t = line.split()
    times.setdefault(name, []).append(float(t))
rounds = sys.argv[2]
def report(label, variant, base):
    a, b = times[variant], times[base]
    ratios = sorted(x / y for x, y in zip(a, b))
    ratio = statistics.median(a) / statistics.median(b)
    print(f"status {label}: median {statistics.median(a):.3f} s vs {statistics.median(b):.3f} s, "
          f"ratio {ratio:.2f} (goal <= 1.2), per-round ratios {ratios[0]:.2f}..{ratios[-1]:.2f}, "
          f"{rounds} alternated runs each")
report("ovkshow --json / plain report", "json", "plain")
report("ovkshow --prometheus / plain report", "prometheus", "plain")
report("orvik.cgi format=prometheus / s=0 page", "cgi_prometheus", "cgi_s0")
EOF
