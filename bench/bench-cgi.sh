#!/bin/bash
# bench-cgi.sh BUILD: requests per second of orvik.cgi's pages of a
# 1000-item design description under lighttpd, as a FastCGI application
# (persistent processes, as many as cores) and as a plain CGI, against a
# trivial CGI that sends the very same answer from a file, measured with
# ab in the same run.  The three are measured in turn, A B C A B C ..., so
# that a change of the machine's load hits all of them alike; each figure
# is the median of RUNS runs (default 7) of SECONDS_PER_RUN seconds
# (default 2), with its spread (lowest and highest run), and the ratio is
# the median of the per-round ratios.  Pages: a section (s=1), every
# section (s=0) and a change request (its answer is a redirect).
# CONCURRENCY lists the ab concurrencies (default "1 4").
#
# The description comes from BUILD/bin/gen_design when that is built (many
# module instances: one section, and the page of all sections), else from
# the generator below (one module: the section is the whole description).
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
secs=${SECONDS_PER_RUN:-2}
runs=${RUNS:-7}
concurrencies=${CONCURRENCY:-1 4}
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

# Requests per second of one URL at concurrency $2; fails on any failed
# answer, and on a non-2xx one unless $3 is "redirect".
rate() {
  local out
  out=$(ab -q -t "$secs" -n 1000000 -c "$2" "$1" 2>&1) || die "ab failed on $1: $out"
  if [ "${3:-}" != redirect ] && grep -q "^Non-2xx responses" <<<"$out"; then
    die "non-2xx answers from $1"
  fi
  awk '/^Failed requests:/ && $3 != 0 { bad = 1 }
       /^Requests per second:/ { rps = $4 }
       END { if (bad || rps == "") exit 1; print rps }' <<<"$out" || die "failed requests on $1"
}

# "median (lowest-highest)" of the numbers on standard input.
summary() {
  sort -g | awk '{ v[NR] = $1 }
    END { m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
          printf "%.1f (%.1f-%.1f)", m, v[1], v[NR] }'
}

load() { cut -d' ' -f1-3 /proc/loadavg; }

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
procs=$(nproc)
FCGI_PROCS=$procs "$root/scripts/lighttpd-setup" "$build" "$work/site" "$port" \
  "$work/addresses.xml" "$work/card.sim"
cgidir=$work/site/htdocs/cgi
cp -f "$build/bench/static.cgi" "$cgidir/static.cgi"

lighttpd -D -f "$work/site/lighttpd.conf" &
server=$!
trap 'kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true' EXIT
for _ in $(seq 50); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done
base=http://127.0.0.1:$port

# The peer answers with exactly what orvik.cgi answers for each request.
queries=""
for s in $pages; do
  (cd "$cgidir" && QUERY_STRING=s=$s LUDRA_SIM=$work/site/card.sim ./orvik.cgi >"page-s$s.out")
  grep -q "^<table>" "$cgidir/page-s$s.out" || die "page s=$s holds no table"
  echo "page s=$s: $(grep -c "<tr>" "$cgidir/page-s$s.out") rows, $(wc -c <"$cgidir/page-s$s.out") bytes"
  queries="$queries s=$s"
done
item=$(grep -o "href='?S=[^']*'" "$cgidir/page-s1.out" | head -1 | sed "s/href='?S=//; s/'//")
[ -n "$item" ] || die "no writable item on page s=1"
change="S=$item&val=1"
(cd "$cgidir" && QUERY_STRING=$change LUDRA_SIM=$work/site/card.sim ./orvik.cgi >page-change.out)
grep -q "^Location: " "$cgidir/page-change.out" || die "change $change is not answered by a redirect"
queries="$queries $change"

echo "$procs cores, $procs FastCGI processes; $runs alternated runs of ${secs}s each"
echo "load average before: $(load)"
for q in $queries; do
  case $q in S=*) peer=page-change.out kind=redirect ;; *) peer=page-${q/=/}.out kind= ;; esac
  for c in $concurrencies; do
    fcgi=$base/cgi-bin/orvik.cgi?$q cgi=$base/cgi/orvik.cgi?$q static=$base/cgi/static.cgi?$peer
    for url in "$fcgi" "$cgi" "$static"; do ab -q -n 20 -c "$c" "$url" >/dev/null 2>&1 || true; done
    : >"$work/f" ; : >"$work/c" ; : >"$work/s" ; : >"$work/rf" ; : >"$work/rc"
    for _ in $(seq "$runs"); do
      f=$(rate "$fcgi" "$c" $kind)
      g=$(rate "$cgi" "$c" $kind)
      p=$(rate "$static" "$c" $kind)
      echo "$f" >>"$work/f"; echo "$g" >>"$work/c"; echo "$p" >>"$work/s"
      awk -v a="$f" -v b="$p" 'BEGIN { print a / b }' >>"$work/rf"
      awk -v a="$g" -v b="$p" 'BEGIN { print a / b }' >>"$work/rc"
    done
    echo "$q  ab -c $c   requests/s, median (lowest-highest):"
    echo "  orvik.cgi FastCGI:    $(summary <"$work/f")"
    echo "  orvik.cgi CGI:        $(summary <"$work/c")"
    echo "  static.cgi:           $(summary <"$work/s")"
    goal=
    [ "$q" = s=1 ] && goal="   (goal for a section page: at least 2)"
    echo "  FastCGI / static.cgi: $(summary <"$work/rf")$goal"
    echo "  CGI / static.cgi:     $(summary <"$work/rc")"
  done
done
echo "load average after: $(load)"
