#!/bin/bash
# A real Prometheus server scrapes orvik.cgi?format=prometheus behind the
# lighttpd setup of `make serve`, once a second: its HTTP API must give an
# item's value from the card file, and the new value after ovkshow -S.
# Both servers listen on 127.0.0.1 on ports free at run time.
# Usage: prometheus_scrape_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
root=$(cd "$2" && pwd)
tmp=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
for tool in prometheus lighttpd curl python3; do
  command -v $tool >/dev/null || fail "$tool is not installed"
done
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

web_port=$(free_port)
"$root/scripts/lighttpd-setup" "$build" "$tmp/site" "$web_port"
lighttpd -D -f "$tmp/site/lighttpd.conf" & pids+=($!)
target="http://127.0.0.1:$web_port/cgi-bin/orvik.cgi?format=prometheus"
for _ in $(seq 50); do curl -sf "$target" >/dev/null && break; sleep 0.1; done
# Read whole before matching: grep -q would stop reading early, and the
# writer's broken pipe would fail the pipeline.
metrics=$(curl -sf "$target") || fail "lighttpd does not serve the metrics"
grep -q '^orvik_item_value{' <<<"$metrics" || fail "lighttpd does not serve the metrics"

prom_port=$(free_port)
cat >"$tmp/prometheus.yml" <<EOF
global:
  scrape_interval: 1s
  scrape_timeout: 1s
scrape_configs:
  - job_name: orvik
    metrics_path: /cgi-bin/orvik.cgi
    params:
      format: [prometheus]
    static_configs:
      - targets: ['127.0.0.1:$web_port']
EOF
prometheus --config.file="$tmp/prometheus.yml" --storage.tsdb.path="$tmp/data" \
  --web.listen-address="127.0.0.1:$prom_port" >"$tmp/prometheus.log" 2>&1 & pids+=($!)
api="http://127.0.0.1:$prom_port"
for _ in $(seq 100); do curl -sf "$api/-/ready" >/dev/null 2>&1 && break; sleep 0.1; done
curl -sf "$api/-/ready" >/dev/null 2>&1 ||
  fail "Prometheus could not start on 127.0.0.1:$prom_port: $(tail -5 "$tmp/prometheus.log")"

# The value Prometheus holds for the item, or nothing yet.
scraped() {
  curl -sf -G "$api/api/v1/query" --data-urlencode "query=orvik_item_value{item=\"$1\"}" |
    python3 -c 'import json, sys
r = json.load(sys.stdin)["data"]["result"]
print(r[0]["value"][1] if r else "")'
}
wait_for() {
  local got=
  for _ in $(seq 100); do
    got=$(scraped "$1")
    [ "$got" = "$2" ] && return 0
    sleep 0.1
  done
  fail "Prometheus has $1 = '${got}', expected $2"
}

card=$tmp/site/card.sim
grep -q '^vq 0x10000 0x04 0x000005ee' "$card" || fail "the example card has changed: mac_mtu"
wait_for mac_mtu 1518
LUDRA_SIM=$card "$build/bin/ovkshow" -f "$tmp/site/htdocs/cgi-bin/addresses.xml" -S mac_mtu 9000
wait_for mac_mtu 9000
echo "prometheus scrape: all checks passed"
