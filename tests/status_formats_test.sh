#!/bin/bash
# ovkshow --json/--prometheus/--watch and orvik.cgi format= checked with the
# tools their users read them with: Python's json, jq and promtool.
# Usage: status_formats_test.sh BUILD_DIR
set -euo pipefail
bin=$(cd "$1" && pwd)/bin
tmp=$(mktemp -d)
watcher=
cleanup() {
  [ -n "$watcher" ] && kill "$watcher" 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
for tool in python3 jq promtool; do
  command -v $tool >/dev/null || fail "$tool is not installed"
done

cd "$tmp"
cat >addresses.xml <<'EOF'
<?xml version="1.0"?>
<device><modules>
  <mac bus="VQBUS" header="MAC"><addresses><address ba="0x1000"/></addresses><items>
    <item><name>ctrl</name><display>Control</display><offset>0</offset><access>RW</access><format>HEX</format></item>
    <item><name>rx</name><display>Received</display><offset>4</offset><access>RW</access><format>DEC</format></item>
    <item><name>wide</name><display>Wide</display><offset>8</offset><size>D</size><access>RO</access><format>DEC</format></item>
    <item><name>bits</name><display>Bits</display><offset>10</offset><access>RO</access><format>BIN</format></item>
    <item><name>link</name><display>Link</display><offset>14</offset><bitmask>1</bitmask><access>RO</access><format>SWITCH</format></item>
    <item><name>led</name><display>Led "a\b"</display><offset>14</offset><bitmask>2</bitmask><access>RO</access><format>INDICATE</format></item>
    <item><name>hist</name><display>Load</display><offset>18</offset><access>RO</access><format>HIST</format><param>Histogram</param></item>
    <item><name>speed</name><display>Speed</display><offset>1C</offset><access>RO</access><format>ENUM</format><param value="1">fast</param></item>
    <item><name>ratio</name><display>Ratio</display><access>CNT</access><format>DEC</format><param>rx,0,/</param></item>
  </items></mac>
  <clk bus="VQBUS" header="Clock"><addresses><address ba="0x9000"/></addresses><items>
    <item><name>stamp</name><display>Stamp</display><offset>0</offset><size>D</size><access>RO</access><format>TIMESTAMP</format></item>
  </items></clk>
</modules></device>
EOF
cat >card.sim <<'EOF'
firmware 0x00010203
ident board-x rev9 sfp-a phy-a sfp-b phy-b
vq 0x1000 0x0 0x2a
vq 0x1000 0x4 1000
vq 0x1000 0x8 0x9abcdef0
vq 0x1000 0xc 0x12345678
vq 0x1000 0x10 5
vq 0x1000 0x14 3
vq 0x1000 0x18 77
vq 0x1000 0x1c 1
vq 0x9000 0x0 5
vq 0x9000 0x4 3
EOF
export LUDRA_SIM=$tmp/card.sim
ovkshow() { "$bin/ovkshow" "$@"; }
cgi() { QUERY_STRING=$1 "$bin/orvik.cgi"; }
body() { sed '1,/^\r\{0,1\}$/d'; }

# ---- JSON: one value of each format against the card file and the report
ovkshow --json >doc.json
ovkshow >report.txt
python3 - doc.json report.txt <<'EOF' || fail "JSON values differ from the card or the report"
import json, sys
doc = json.load(open(sys.argv[1]))
want = {  # name: (value, text) as the card file gives them
    "ctrl": (0x2a, "0x2A"), "rx": (1000, "1000"), "wide": (0x123456789abcdef0, None),
    "bits": (5, "0b101"), "link": (1, "ON"), "led": (1, "ON"), "hist": (77, "77"),
    "speed": (1, "1"), "stamp": (3 << 32 | 5, "3s000000005ns"),
}
report = dict(l.strip().split(":\t", 1) for l in open(sys.argv[2]) if ":\t" in l)
items = [i for s in doc["sections"] for i in s["items"]]
assert [(s["number"], s["name"]) for s in doc["sections"]] == [(1, "MAC"), (2, "Clock")]
assert {"heading": "Histogram"} in items, items
by_name = {i["name"]: i for i in items if "name" in i}
for name, (value, text) in want.items():
    item = by_name[name]
    assert int(item["value"]) == value and item["valid"] and text in (None, item["text"]), item
for item in by_name.values():
    assert item["text"] == report[item["label"]], (item, report)
assert isinstance(by_name["wide"]["value"], str)  # above 2^53
assert by_name["ratio"]["valid"] is False and by_name["ratio"]["text"] == "N/A"
assert by_name["rx"]["writable"] is True and by_name["wide"]["writable"] is False
assert doc["identification"]["board"] == "board-x"
assert doc["identification"]["firmware_version"] == 0x00010203
EOF
[ "$(jq -r '.sections[].items[] | select(.name == "wide") | .value' doc.json)" = 1311768467463790320 ] ||
  fail "jq does not give the 64-bit value back"
[ "$(jq -c . doc.json | jq -r '.sections[0].items[] | select(.name == "ctrl") | .value')" = 42 ] ||
  fail "jq does not give the HEX value back"

# Every mode gives one document that both readers take.
for mode in "-l" "-i" "-L" "-s 2" "-n ^r" "-s 9"; do
  # shellcheck disable=SC2086
  ovkshow $mode --json >mode.json
  [ "$(wc -l <mode.json)" = 1 ] && python3 -m json.tool mode.json >/dev/null &&
    jq -e .identification mode.json >/dev/null || fail "ovkshow $mode --json"
done
[ "$(ovkshow -s 2 --json | jq -c '[.sections[] | .number]')" = "[2]" ] || fail "-s 2 --json"
[ "$(ovkshow -L --json | jq -c '.sections[0].items[1]')" = '{"name":"rx","label":"Received","section":1}' ] ||
  fail "-L --json"

# ---- Exposition format: promtool finds nothing on either program's output
ovkshow --prometheus >metrics.txt
out=$(promtool check metrics <metrics.txt 2>&1) || fail "promtool on ovkshow: $out"
[ -z "$out" ] || fail "promtool on ovkshow: $out"
grep -q '^orvik_item_value{.*item="wide".*} 1311768467463790320$' metrics.txt || fail "wide sample"
grep -q 'label="Led \\"a\\\\b\\""' metrics.txt || fail "label escaping"
! grep -q 'item="ratio"' metrics.txt || fail "an item that is not valid has a sample"
cgi "format=prometheus" >cgi.txt
head -1 cgi.txt | grep -qx 'Content-Type: text/plain; version=0.0.4; charset=utf-8' || fail "CGI content type"
out=$(body <cgi.txt | promtool check metrics 2>&1) || fail "promtool on the CGI: $out"
[ -z "$out" ] || fail "promtool on the CGI: $out"
cmp -s <(body <cgi.txt) metrics.txt || fail "CGI and ovkshow metrics differ"

# ---- CGI JSON: the schema of ovkshow --json; errors in the asked format
cgi "s=2&format=json" >cgi.txt
head -1 cgi.txt | grep -qx 'Content-Type: application/json' || fail "CGI JSON content type"
[ "$(body <cgi.txt | jq -S .)" = "$(ovkshow -s 2 --json | jq -S .)" ] || fail "CGI section JSON"
[ "$(cgi "format=json" | body | jq -S .)" = "$(ovkshow -l --json | jq -S .)" ] || fail "CGI list JSON"
cgi "s=1&xformat=json" >cgi.txt
head -1 cgi.txt | grep -q 'text/html' || fail "a key inside another key counts"
cgi "format=xml" >cgi.txt
grep -q '^Status: 400' cgi.txt || fail "unknown format"
mkdir empty
(cd empty && cgi "format=json") >err.txt
grep -q '^Status: 500' err.txt || fail "CGI JSON error status"
[ "$(body <err.txt | jq -r .error.message)" = "Error - could not open configuration file" ] ||
  fail "CGI JSON error body"
(cd empty && cgi "format=prometheus") | body | grep -qx '# Error - could not open configuration file' ||
  fail "CGI Prometheus error body"

# ---- Bad input
for args in "-w 0" "-w abc" "-w -2" "--watch 1x" "--json --prometheus"; do
  # shellcheck disable=SC2086
  if ovkshow $args >out.txt 2>err.txt; then fail "ovkshow $args succeeded"; else status=$?; fi
  [ "$status" = 1 ] || fail "ovkshow $args: status $status"
  grep -q 'Error - ' err.txt || fail "ovkshow $args: no message"
  [ ! -s out.txt ] || fail "ovkshow $args printed a report"
done

# ---- Watch: two rounds into a pipe with the card changed between them
( "$bin/ovkshow" -w 1 -n '^rx$' & echo $! >pid; wait $!; echo $? >status ) | cat >watch.txt &
for _ in $(seq 50); do grep -q Received watch.txt 2>/dev/null && break; sleep 0.1; done
watcher=$(cat pid)
ovkshow -S rx 1600 --json >set.txt   # a write stays a write
[ ! -s set.txt ] || fail "-S printed a document"
for _ in $(seq 50); do [ "$(grep -c Received watch.txt)" -ge 2 ] && break; sleep 0.1; done
kill -INT "$watcher"
wait
watcher=
[ "$(cat status)" = 0 ] || fail "watch ended with status $(cat status)"
rate=$(sed -n '2s/.*:\t1600\t+\([0-9.]*\)\/s$/\1/p' watch.txt)
[ -n "$rate" ] || fail "no rate in the second round: $(cat watch.txt)"
awk -v r="$rate" 'BEGIN { exit !(r >= 300 && r <= 600) }' || fail "rate $rate for 600 in about a second"

"$bin/ovkshow" -w 0.2 --json -n '^rx$' >watch.json & watcher=$!
for _ in $(seq 50); do [ "$(wc -l <watch.json)" -ge 2 ] && break; sleep 0.1; done
kill -INT "$watcher"
wait "$watcher" || fail "JSON watch ended with status $?"
watcher=
python3 -c '
import json, sys
docs = [json.loads(line) for line in open(sys.argv[1])]
assert len(docs) >= 2 and all(d["sections"][0]["items"][0]["value"] == 1600 for d in docs)
assert "rate" not in docs[0]["sections"][0]["items"][0]
assert docs[1]["sections"][0]["items"][0]["rate"] == 0' watch.json || fail "JSON Lines watch"
echo "status formats: all checks passed"
