# Sourced by install_test.sh after the /usr install into $root: the four
# Debian packages of the build, checked against that install, by lintian,
# and as an unpacked set.  Uses fail, expect, $build, $src, $tmp, $root,
# $docs and $tmp/two.pcap of the caller.

version=0.1.0
arch=$(dpkg --print-architecture)
debs=$tmp/debs
unpacked=$tmp/unpacked
packages="liborvik0 liborvik-dev orvik-tools orvik-sim"

if ! ORVIK_RELINKED=1 "$src/scripts/make-debs" "$build" "$debs" >"$tmp/debs.log" 2>&1; then
  cat "$tmp/debs.log" >&2
  fail "scripts/make-debs"
fi

# --- Each package: control data, copyright, changelog --------------------------
: >"$tmp/all-debs.list"
for pkg in $packages; do
  deb=$debs/${pkg}_${version}_$arch.deb
  [ -f "$deb" ] || { fail "no package $pkg"; continue; }
  [ "$(dpkg-deb -f "$deb" Package)" = "$pkg" ] || fail "$pkg: package name"
  [ "$(dpkg-deb -f "$deb" Version)" = $version ] || fail "$pkg: version"
  [ -n "$(dpkg-deb -f "$deb" Maintainer)" ] || fail "$pkg: no maintainer"
  dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' >>"$tmp/all-debs.list"
  dpkg-deb -x "$deb" "$unpacked"
  copyright=$unpacked/usr/share/doc/$pkg/copyright
  grep -q '^Copyright: 2026 the orvik authors$' "$copyright" 2>/dev/null &&
    grep -q '^License: Expat$' "$copyright" &&
    grep -q '^ Permission is hereby granted' "$copyright" || fail "$pkg: copyright file"
  zcat "$unpacked/usr/share/doc/$pkg/changelog.gz" 2>/dev/null | head -n 1 |
    grep -q "^orvik ($version) " || fail "$pkg: changelog"
done
dup=$(sort "$tmp/all-debs.list" | uniq -d)
[ -z "$dup" ] || fail "files in two packages: $dup"

# Together the packages hold exactly the /usr install, the manual pages
# compressed, plus each package's copyright and changelog.
(cd "$root" && find . ! -type d | sed -e 's|^\./||' -e 's|^usr/share/man/.*|&.gz|' | sort) \
  >"$tmp/install.list"
(cd "$unpacked" && find . ! -type d | sed 's|^\./||' |
  grep -v '^usr/share/doc/[^/]*/\(copyright\|changelog\.gz\)$' | sort) >"$tmp/deb.list"
diff -u "$tmp/install.list" "$tmp/deb.list" >&2 || fail "packages and install differ"

# --- Relations: the tools need the library, never the simulation ------------------
depends() { dpkg-deb -f "$debs/${1}_${version}_$arch.deb" Depends 2>/dev/null; }
case $(depends liborvik0) in *libxml2*) ;; *) fail "liborvik0 does not depend on libxml2" ;; esac
case $(depends orvik-tools) in *"liborvik0 (= $version)"*) ;; *) fail "orvik-tools Depends: $(depends orvik-tools)" ;; esac
case $(depends liborvik-dev) in *"liborvik0 (= $version)"*) ;; *) fail "liborvik-dev Depends: $(depends liborvik-dev)" ;; esac
for pkg in liborvik0 liborvik-dev orvik-tools; do
  case $(depends $pkg) in *orvik-sim*) fail "$pkg depends on the simulation" ;; esac
done
dpkg-deb -e "$debs/liborvik0_${version}_$arch.deb" "$tmp/control"
grep -qx "liborvik 0 liborvik0 (>= $version)" "$tmp/control/shlibs" 2>/dev/null || fail "liborvik0: shlibs"
grep -qx "activate-noawait ldconfig" "$tmp/control/triggers" 2>/dev/null || fail "liborvik0: ldconfig trigger"

# --- lintian: no errors (README lists the warnings left and why) ---------------------
# It takes longest of all checks, so it runs while the others do.
lintian_pid=""
if command -v lintian >/dev/null 2>&1; then
  lintian --fail-on error "$debs"/*.deb >"$tmp/lintian.log" 2>&1 &
  lintian_pid=$!
else
  fail "lintian is not installed (install it with: sudo scripts/install-deps test)"
fi

# --- The unpacked set, as installed on a host ------------------------------------
# LD_LIBRARY_PATH stands for the host's /usr/lib.
u=$unpacked/usr
LD_LIBRARY_PATH=$u/lib ldd "$u/bin/ovkshow" >"$tmp/ldd" 2>&1 || true
grep -q orvik-sim "$tmp/ldd" && fail "ovkshow loads the stand-ins without the wrapper: $(cat "$tmp/ldd")"
set +e
LD_LIBRARY_PATH=$u/lib "$u/bin/ovkshow" -h >"$tmp/out" 2>"$tmp/err"
status=$?
set -e
if ldconfig -p | grep -q 'libludra\.so\.1 ' && ldconfig -p | grep -q 'libtessel\.so\.2 ' &&
  ldconfig -p | grep -q 'libkvo2\.so\.1 '; then
  # A host with the card platform: its libraries are the ones loaded.
  [ $status = 0 ] || fail "ovkshow -h on the host's platform exited $status: $(cat "$tmp/err")"
else
  [ $status = 127 ] && grep -Eq 'error while loading shared libraries: lib(ludra|kvo2|tessel)\.so\.[0-9]+: cannot open shared object file' "$tmp/err" ||
    fail "ovkshow without a card platform exited $status: $(cat "$tmp/err")"
fi
mkdir "$tmp/pkg-card"
cp "$u/$docs/examples/addresses.xml" "$u/$docs/examples/card.sim" "$tmp/pkg-card/"
(cd "$tmp/pkg-card" && LD_LIBRARY_PATH=$u/lib LUDRA_SIM=$tmp/pkg-card/card.sim \
  "$u/bin/orvik-sim" "$u/bin/ovkshow" -l >"$tmp/demo" 2>&1) || fail "orvik-sim ovkshow -l: $(cat "$tmp/demo")"
grep -q '^Identification$' "$tmp/demo" || fail "orvik-sim ovkshow printed: $(cat "$tmp/demo")"
# The wrapper's change stays with its command.
out=$(LD_LIBRARY_PATH=/keep "$u/bin/orvik-sim" sh -c 'echo "$LD_LIBRARY_PATH"')
[ "$out" = "$u/lib/orvik-sim:/keep" ] || fail "orvik-sim set LD_LIBRARY_PATH to '$out'"

if [ -n "$lintian_pid" ] && ! wait "$lintian_pid"; then
  fail "lintian: $(grep '^E:' "$tmp/lintian.log" || cat "$tmp/lintian.log")"
fi
