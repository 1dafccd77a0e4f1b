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

# Wall-clock and CPU (user + system) seconds of one command, its output
# thrown away.  The CPU time shows the work itself when other jobs share
# the processors.
seconds() {
  /usr/bin/time -f '%e %U %S' -o time.out "$@" >/dev/null
  awk '{ printf "%.3f %.3f\n", $1, $2 + $3 }' time.out
}
[ -x /usr/bin/time ] || { echo "status: /usr/bin/time not installed" >&2; exit 1; }

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
: >times.txt
for _ in $(seq "$rounds"); do
  echo "plain $(seconds "$build/bin/ovkshow")" >>times.txt
  echo "json $(seconds "$build/bin/ovkshow" --json)" >>times.txt
  echo "prometheus $(seconds "$build/bin/ovkshow" --prometheus)" >>times.txt
  echo "cgi_s0 $(seconds env QUERY_STRING=s=0 "$build/bin/orvik.cgi")" >>times.txt
  echo "cgi_prometheus $(seconds env QUERY_STRING=format=prometheus "$build/bin/orvik.cgi")" >>times.txt
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
python3 - times.txt "$rounds" <<'EOF'
import statistics, sys
times, cpu = {}, {}
for line in open(sys.argv[1]):
    name, wall, used = line.split()
    times.setdefault(name, []).append(float(wall))
    cpu.setdefault(name, []).append(float(used))
rounds = sys.argv[2]
def report(label, variant, base):
    for kind, t in (("wall", times), ("cpu", cpu)):
        a, b = t[variant], t[base]
        ratios = sorted(x / y for x, y in zip(a, b))
        ratio = statistics.median(a) / statistics.median(b)
        print(f"status {label} ({kind}): median {statistics.median(a):.3f} s vs "
              f"{statistics.median(b):.3f} s, ratio {ratio:.2f} (goal <= 1.2), "
              f"per-round ratios {ratios[0]:.2f}..{ratios[-1]:.2f}, {rounds} alternated runs each")
report("ovkshow --json / plain report", "json", "plain")
report("ovkshow --prometheus / plain report", "prometheus", "plain")
report("orvik.cgi format=prometheus / s=0 page", "cgi_prometheus", "cgi_s0")
EOF
