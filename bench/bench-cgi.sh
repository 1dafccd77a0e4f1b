#!/bin/bash
# bench-cgi.sh BUILD: requests per second of orvik.cgi's section pages of a
# 1000-item design description under lighttpd, against a trivial CGI that
# sends the very same answer from a file, measured with ab in the same run.
# The description comes from BUILD/bin/gen_design when that is built (many
# module instances: one section, and the page of all sections), else from
# the generator below (one module: the section is the whole description).
# SECONDS_PER_RUN (default 5) and CONCURRENCY (default 2) tune the runs.
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
secs=${SECONDS_PER_RUN:-5}
conc=${CONCURRENCY:-2}
work=$build/bench-cgi
items=1000

die() { echo "bench-cgi: $*" >&2; exit 1; }
command -v ab >/dev/null || die "ab (apache2-utils) not installed"
[ -x "$build/bench/static.cgi" ] || die "$build/bench/static.cgi not built"

# One module of $items registers in a mix of formats, a quarter writable,
# so that the page exercises forms, images and bars as well as numbers.
gen_design() {
  awk -v n="$items" 'BEGIN {
    print "<?xml version=\"1.0\"?>\n<device>\n  <modules>"
    print "    <bench bus=\"VQBUS\" header=\"Bench\">"
    print "      <addresses><address ba=\"0x40000\"/></addresses>\n      <items>"
    split("DEC HEX SWITCH HIST INDICATE BIN", fmt, " ")
    for (i = 0; i < n; i++)
      printf "        <item><name>item_%d</name><display>Item %d</display>" \
             "<offset>%x</offset><access>%s</access><format>%s</format></item>\n",
             i, i, i * 4, (i % 4 == 0) ? "RW" : "RO", fmt[i % 6 + 1]
    print "      </items>\n    </bench>\n  </modules>\n</device>"
  }'
}

gen_card() {
  awk -v n="$items" 'BEGIN {
    print "firmware 1"
    for (i = 0; i < n; i += 3) printf "vq 0x40000 0x%x %d\n", i * 4, i * 7919
  }'
}

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Requests per second of one URL; fails on any failed or non-2xx answer.
rate() {
  local out
  out=$(ab -q -t "$secs" -n 1000000 -c "$conc" "$1" 2>&1) || die "ab failed on $1: $out"
  if grep -q "^Non-2xx responses" <<<"$out"; then die "non-2xx answers from $1"; fi
  awk '/^Failed requests:/ && $3 != 0 { bad = 1 }
       /^Requests per second:/ { rps = $4 }
       END { if (bad || rps == "") exit 1; print rps }' <<<"$out" || die "failed requests on $1"
}

mkdir -p "$work"
if [ -x "$build/bin/gen_design" ]; then
  "$build/bin/gen_design" "$items" "$work/addresses.xml" >/dev/null
  pages="1 0"
else
  gen_design >"$work/addresses.xml"
  pages="1"
fi
gen_card >"$work/card.sim"
port=$(free_port)
"$root/scripts/lighttpd-setup" "$build" "$work/site" "$port" "$work/addresses.xml" "$work/card.sim"
cgidir=$work/site/htdocs/cgi-bin
cp -f "$build/bench/static.cgi" "$cgidir/static.cgi"

lighttpd -D -f "$work/site/lighttpd.conf" &
server=$!
trap 'kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true' EXIT
for _ in $(seq 50); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done
base=http://127.0.0.1:$port/cgi-bin

status=0
echo "design description of $items items; $conc concurrent requests, ${secs}s per run"
for s in $pages; do
  # The peer answers with exactly what orvik.cgi answers for the page.
  (cd "$cgidir" && QUERY_STRING=s=$s LUDRA_SIM=$work/site/card.sim ./orvik.cgi >"page-s$s.out")
  grep -q "^<table>" "$cgidir/page-s$s.out" || die "page s=$s holds no table"
  rows=$(grep -c "<tr>" "$cgidir/page-s$s.out")
  bytes=$(wc -c <"$cgidir/page-s$s.out")
  ab -q -n 10 -c 1 "$base/orvik.cgi?s=$s" >/dev/null 2>&1 || true  # warm the caches
  orvik=$(rate "$base/orvik.cgi?s=$s")
  peer=$(rate "$base/static.cgi?page-s$s.out")
  echo "page s=$s: $rows rows, $bytes bytes"
  echo "  orvik.cgi:  $orvik requests/s"
  echo "  static.cgi: $peer requests/s"
  awk -v a="$orvik" -v b="$peer" 'BEGIN {
    printf "  ratio orvik.cgi / static.cgi: %.2f (goal: at least 0.50)\n", a / b
  }'
done
exit $status
