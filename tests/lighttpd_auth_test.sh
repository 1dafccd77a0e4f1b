#!/bin/bash
# lighttpd_auth_test.sh BUILD_DIR SOURCE_DIR
#
# The lighttpd snippet that the install ships, in a real lighttpd on a free
# loopback port: a change request without a user gets 401 and leaves the
# card alone, the same change with a user of the digest file is made, and
# pages load without a user.  Only the installed paths (program, images,
# socket, user file) are pointed into a temporary directory.
set -euo pipefail

build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
tmp=$(mktemp -d "${TMPDIR:-/tmp}/orvik-auth.XXXXXX")
server=
cleanup() {
  [ -z "$server" ] || { kill "$server" 2>/dev/null; wait "$server" 2>/dev/null || true; }
  rm -rf "$tmp"
}
trap cleanup EXIT INT TERM
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

mkdir -p "$tmp/cgi-bin" "$tmp/htdocs"
cp "$build/bin/orvik.cgi" "$tmp/cgi-bin/orvik.cgi"
cp "$src/examples/addresses.xml" "$tmp/cgi-bin/addresses.xml"
cp "$src/examples/card.sim" "$tmp/card.sim"
# A digest user file as "htdigest -c FILE orvik admin" writes it.
printf 'admin:orvik:%s\n' "$(printf 'admin:orvik:s3cret' | md5sum | cut -d' ' -f1)" >"$tmp/htdigest"
sed -e "s|@ORVIK_CGI_PATH@|$tmp/cgi-bin/orvik.cgi|g" \
  -e "s|@ORVIK_IMAGES_PATH@|$src/images/|g" \
  -e "s|/run/lighttpd/orvik.sock|$tmp/orvik.sock|" \
  -e "s|/etc/morvex/orvik/htdigest|$tmp/htdigest|" \
  "$src/scripts/lighttpd-orvik.conf" >"$tmp/orvik.conf"
grep -q '@' "$tmp/orvik.conf" && fail "snippet keeps a placeholder"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat >"$tmp/lighttpd.conf" <<CONF
server.document-root = "$tmp/htdocs"
server.bind = "127.0.0.1"
server.port = $port
server.errorlog = "$tmp/error.log"
include "$tmp/orvik.conf"
CONF

LUDRA_SIM=$tmp/card.sim lighttpd -D -f "$tmp/lighttpd.conf" &
server=$!
for _ in $(seq 50); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done
base=http://127.0.0.1:$port/cgi-bin/orvik.cgi

# status URL [curl options...]: the HTTP status of one GET.
status() {
  local url=$1
  shift
  curl -s -o "$tmp/body" -w '%{http_code}' "$@" "$url" || true
}
expect() {
  local want=$1 what=$2
  shift 2
  local got
  got=$(status "$@")
  [ "$got" = "$want" ] || fail "$what: status $got, expected $want"
}

expect 200 "list page without a user" "$base"
expect 200 "section page without a user" "$base?s=2"
grep -q '<table>' "$tmp/body" || fail "section page holds no table"
expect 200 "a key inside another key is no change" "$base?xS=mac_enable~2"
# Reading the pages writes the configuration items; what follows must not.
cp "$tmp/card.sim" "$tmp/card.before"
for q in 'S=mac_enable~2' 's=2&S=mac_mtu~2&val=1500'; do
  expect 401 "change without a user ($q)" "$base?$q"
  expect 401 "change with a wrong password ($q)" "$base?$q" --digest -u admin:wrong
done
cmp -s "$tmp/card.sim" "$tmp/card.before" || fail "a refused change wrote the card"
expect 302 "change with a user" "$base?S=mac_mtu~2&val=1500" --digest -u admin:s3cret
grep -q '^vq 0x11000 0x04 0x0*5dc\b' "$tmp/card.sim" || fail "the change was not made: $(grep '0x11000 0x04' "$tmp/card.sim")"

if [ "$failures" -ne 0 ]; then
  cat "$tmp/error.log" >&2
  exit 1
fi
echo "lighttpd auth test passed"
