#!/bin/sh
# deps_test.sh SOURCE_DIR
#
# The dependency split: scripts/install-deps against stand-in dpkg-query,
# id, apt-get, apt-cache and clang (which packages each target asks for,
# what a normal user is told, what root installs); which make targets ask
# for which set; and a configure through make with the tests and
# benchmarks off, which must not look for their packages, and which runs
# again when CMAKE_FLAGS change.
set -eu
# The make runs below are this test's own, not part of a calling make.
unset MAKEFLAGS MFLAGS MAKELEVEL 2>/dev/null || true

src=$(cd "$1" && pwd)
tmp=$(mktemp -d "${TMPDIR:-/tmp}/orvik-deps.XXXXXX")
trap 'rm -rf "$tmp"' EXIT INT TERM
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# A PATH that holds the stand-ins and the few tools the script needs, and
# nothing of the host's packages.
bin=$tmp/bin
mkdir "$bin"
for t in sh sed grep head cat tr; do ln -s "$(command -v $t)" "$bin/$t"; done
cat >"$bin/dpkg-query" <<'EOF'
#!/bin/sh
# dpkg-query -W -f=... PACKAGE: installed when named in $FAKE_INSTALLED.
for p in $FAKE_INSTALLED; do [ "$p" = "$3" ] && { echo "install ok installed"; exit 0; }; done
exit 1
EOF
cat >"$bin/id" <<'EOF'
#!/bin/sh
echo "$FAKE_UID"
EOF
cat >"$bin/apt-get" <<'EOF'
#!/bin/sh
echo "frontend=${DEBIAN_FRONTEND:-} $*" >>"$FAKE_APT_LOG"
EOF
cat >"$bin/apt-cache" <<'EOF'
#!/bin/sh
printf 'clang\n  Depends: clang-15\n'
EOF
# npm as the machine's own Node.js brings it, not as a package.
printf '#!/bin/sh\n' >"$bin/npm"
cat >"$tmp/clang" <<'EOF'
#!/bin/sh
echo "Debian clang version 16.0.6 (15)"
EOF
chmod +x "$bin"/* "$tmp/clang"

BUILD="g++ cmake make pkg-config libxml2-dev"
OPTIONAL="libpcap-dev libfcgi-dev"
TEST="libgtest-dev lighttpd chromium clang valgrind npm apache2-utils groff-base man-db
libxml2-utils tshark wireshark-common tcpdump prometheus hyperfine jq lintian dpkg-dev
fakeroot python3 curl binutils time"
without() { echo " $1 " | sed "s/[[:space:]]$2[[:space:]]/ /"; }

# deps CASE UID INSTALLED CLANG(yes|no) WANT-STATUS WANT-OUTPUT WANT-APT TARGET
# WANT-OUTPUT and WANT-APT are patterns for grep -E; "-" wants nothing.
deps() {
  name=$1
  rm -f "$tmp/apt.log" "$bin/clang"
  [ "$4" = yes ] && ln -s "$tmp/clang" "$bin/clang"
  set +e
  env -i PATH="$bin" FAKE_UID="$2" FAKE_INSTALLED="$3" FAKE_APT_LOG="$tmp/apt.log" \
    sh "$src/scripts/install-deps" "$8" >"$tmp/out" 2>&1
  status=$?
  set -e
  [ "$status" = "$5" ] || fail "$name: exit status $status, not $5: $(cat "$tmp/out")"
  if [ "$6" = - ]; then
    [ -s "$tmp/out" ] && fail "$name: printed $(cat "$tmp/out")"
  else
    tr '\n' ' ' <"$tmp/out" | grep -Eq "$6" || fail "$name: output '$(cat "$tmp/out")' lacks /$6/"
  fi
  if [ "$7" = - ]; then
    [ -e "$tmp/apt.log" ] && fail "$name: ran apt-get $(cat "$tmp/apt.log")"
  else
    grep -Eq "$7" "$tmp/apt.log" 2>/dev/null || fail "$name: apt-get ran as '$(cat "$tmp/apt.log" 2>/dev/null)', not /$7/"
  fi
  return 0
}

all="$BUILD $OPTIONAL $TEST libclang-rt-16-dev"
deps "build, user, nothing for the tests" 1000 "$BUILD $OPTIONAL" no 0 - - build
deps "build, user, without optional libraries" 1000 "$BUILD" no 0 \
  "optional packages missing: libpcap-dev libfcgi-dev" - build
deps "build, user, without cmake" 1000 "$(without "$BUILD $OPTIONAL" cmake)" no 1 \
  "needs these packages: cmake.*sudo scripts/install-deps build" - build
deps "test, user, everything" 1000 "$all" yes 0 - - test
deps "test, user, without valgrind" 1000 "$(without "$all" valgrind)" yes 1 \
  "make test needs these packages: valgrind.*sudo scripts/install-deps test" - test
deps "test, user, clang runtime of another version" 1000 "$(without "$all" libclang-rt-16-dev) libclang-rt-14-dev" \
  yes 1 "needs these packages: libclang-rt-16-dev install-deps" - test
deps "test, user, npm from the machine's Node.js" 1000 "$(without "$all" npm)" yes 0 - - test
deps "test, root, without tshark" 0 "$(without "$all" tshark)" yes 0 "installing tshark" \
  "^frontend=noninteractive install .* tshark" test
deps "test, root, without clang" 0 "$(without "$(without "$all" clang)" libclang-rt-16-dev)" no 0 \
  "installing" "install .* clang.*libclang-rt-15-dev|install .* libclang-rt-15-dev" test
deps "build, root, everything" 0 "$BUILD $OPTIONAL" no 0 - - build
deps "no target" 1000 "" no 2 "Usage: scripts/install-deps build.test" - ""

# --- Which make targets ask for which set -----------------------------------------
for target in build demo install package; do
  make -n -C "$src" "$target" BUILD="$tmp/none" 2>/dev/null | grep -q 'install-deps test' &&
    fail "make $target asks for the test packages"
done
for target in test check fuzz bench serve; do
  make -n -C "$src" "$target" BUILD="$tmp/none" 2>/dev/null | grep -q 'install-deps test' ||
    fail "make $target does not ask for the test packages"
done

# --- Configure without tests and benchmarks, then with other flags ---------------------
b=$tmp/b
off="-DORVIK_BUILD_TESTS=OFF -DORVIK_BUILD_BENCH=OFF"
make -C "$src" configure BUILD="$b" CMAKE_FLAGS="$off" >"$tmp/make.log" 2>&1 ||
  fail "configure with tests and benchmarks off: $(tail -n 20 "$tmp/make.log")"
grep -Eq '^(GTest_DIR|PCAP_[A-Z_]*|pkgcfg_lib_PCAP[a-z_]*):' "$b/CMakeCache.txt" &&
  fail "configure without tests looked for GoogleTest or libpcap"
make -C "$src" configure BUILD="$b" CMAKE_FLAGS="$off" >"$tmp/make.log" 2>&1
grep -q 'configuring' "$tmp/make.log" && fail "configure ran again with the same CMAKE_FLAGS"
make -C "$src" configure BUILD="$b" CMAKE_FLAGS="-DORVIK_BUILD_BENCH=OFF" >"$tmp/make.log" 2>&1 ||
  fail "configure with new flags: $(tail -n 20 "$tmp/make.log")"
grep -q 'CMAKE_FLAGS changed' "$tmp/make.log" || fail "new CMAKE_FLAGS did not configure again"
grep -q '^ORVIK_BUILD_TESTS:BOOL=ON$' "$b/CMakeCache.txt" ||
  fail "a flag left out of CMAKE_FLAGS kept its old value"

# Without GoogleTest the tree still configures (make demo), leaving the
# tests out and saying how to get them.
c=$tmp/c
make -C "$src" configure BUILD="$c" \
  CMAKE_FLAGS="-DCMAKE_DISABLE_FIND_PACKAGE_GTest=TRUE -DORVIK_BUILD_BENCH=OFF" >"$tmp/make.log" 2>&1 ||
  fail "configure without GoogleTest: $(tail -n 20 "$tmp/make.log")"
grep -q '^ORVIK_TESTS_BUILT:INTERNAL=OFF$' "$c/CMakeCache.txt" 2>/dev/null ||
  fail "configure without GoogleTest did not leave the tests out"
grep -q 'sudo scripts/install-deps test' "$tmp/make.log" || fail "configure without GoogleTest gave no hint"

[ $failures = 0 ] || { echo "$failures failures" >&2; exit 1; }
echo "deps: all checks passed"
