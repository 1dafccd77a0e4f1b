#!/bin/bash
# lighttpd_auth_test.sh BUILD_DIR SOURCE_DIR: the shipped lighttpd snippet
# in a real lighttpd on a free loopback port, its installed paths (program,
# images, socket, user file) pointed into a temporary directory.  A change
# without a user gets 401 and leaves the card alone, with a user it is made,
# and pages load without one.
set -euo pipefail
build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
readelf -d "$build/bin/orvik.cgi" | grep -q 'libfcgi\.' || { echo "orvik.cgi built without libfcgi"; exit 77; }
tmp=$(mktemp -d "${TMPDIR:-/tmp}/orvik-auth.XXXXXX")
server=
trap '[ -z "$server" ] || { kill "$server"; wait "$server"; } 2>/dev/null; rm -rf "$tmp"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

mkdir "$tmp/cgi-bin"
cp "$build/bin/orvik.cgi" "$src/examples/addresses.xml" "$tmp/cgi-bin/"
cp "$src/examples/card.sim" "$tmp/card.sim"
# The line "htdigest FILE orvik admin" writes for the password s3cret.
echo "admin:orvik:$(printf 'admin:orvik:s3cret' | md5sum | cut -d' ' -f1)" >"$tmp/htdigest"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
sed -e "s|@ORVIK_CGI_PATH@|$tmp/cgi-bin/orvik.cgi|g" -e "s|@ORVIK_IMAGES_PATH@|$src/images/|g" \
  -e "s|/run/lighttpd/orvik.sock|$tmp/sock|" -e "s|/etc/morvex/orvik/htdigest|$tmp/htdigest|" \
  "$src/scripts/lighttpd-orvik.conf" >"$tmp/orvik.conf"
printf 'server.document-root = "%s"\nserver.bind = "127.0.0.1"\nserver.port = %s\n%s\n%s\n' \
  "$tmp" "$port" "server.errorlog = \"$tmp/error.log\"" "include \"$tmp/orvik.conf\"" >"$tmp/l.conf"
LUDRA_SIM=$tmp/card.sim lighttpd -D -f "$tmp/l.conf" &
server=$!
for _ in $(seq 50); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.1; done

# expect STATUS QUERY [curl options...]
expect() {
  local got
  got=$(curl -s -o "$tmp/body" -w '%{http_code}' "${@:3}" "http://127.0.0.1:$port/cgi-bin/orvik.cgi?$2") || true
  [ "$got" = "$1" ] || fail "?$2 ${*:3}: status $got, expected $1"
}
expect 200 ''
expect 200 's=2'
grep -q '<table>' "$tmp/body" || fail "section page holds no table"
expect 200 'xS=mac_enable~2'  # a key inside another key is no change
cp "$tmp/card.sim" "$tmp/card.read"  # reading writes the configuration items
for q in 'S=mac_enable~2' 's=2&S=mac_mtu~2&val=1500'; do
  expect 401 "$q"
  expect 401 "$q" --digest -u admin:wrong
done
cmp -s "$tmp/card.sim" "$tmp/card.read" || fail "a refused change wrote the card"
expect 302 'S=mac_mtu~2&val=1500' --digest -u admin:s3cret
grep -q '^vq 0x11000 0x04 0x0*5dc\b' "$tmp/card.sim" || fail "the change was not made"
[ "$failures" -eq 0 ] || { cat "$tmp/error.log" >&2; exit 1; }
echo "lighttpd auth test passed"
