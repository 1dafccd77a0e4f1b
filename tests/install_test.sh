#!/bin/sh
# install_test.sh BUILD_DIR SOURCE_DIR
#
# Installs the build into temporary DESTDIRs and checks the installed tree
# the way a user meets it: the layout, the RPATHs (none under /usr,
# relative elsewhere), a C program built with pkg-config against the
# installed headers and library, every installed program, the manual
# pages, the lighttpd snippet; then the four Debian packages: their
# contents against the install, their control data, lintian, and the
# unpacked set, where the programs load the host's card platform unless
# orvik-sim runs them on the simulated one.
set -eu

build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
tmp=$(mktemp -d "${TMPDIR:-/tmp}/orvik-install.XXXXXX")
# ORVIK_KEEP_TMP=1 keeps the tree for a look after a failure.
[ -n "${ORVIK_KEEP_TMP:-}" ] || trap 'rm -rf "$tmp"' EXIT INT TERM
root=$tmp/root
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# The tests never inherit a caller's verbosity, card, device or libraries.
unset TESSEL_VERBOSE LUDRA_SIM LUDRA_SIM_TRACE KVO2_SIM_OUT KVO2_SIM_LOG \
  KVO2_SIM_BUSY_EVERY KVO2_SIM_FAIL_EVERY LD_LIBRARY_PATH QUERY_STRING \
  HTTP_REFERER 2>/dev/null || true

# install DESTDIR PREFIX: the whole install.  The first one runs
# preinstall, which relinks the programs and libraries with their installed
# RPATHs (and builds nothing else); later installs and the packages reuse
# what it made.
relink=yes
install_to() {
  { if [ $relink = yes ]; then cmake --build "$build" --target preinstall; fi &&
    DESTDIR=$1 cmake --install "$build" --prefix "$2"; } >"$tmp/install.log" 2>&1 || {
    cat "$tmp/install.log" >&2
    echo "FAIL: cmake --install --prefix $2" >&2
    exit 1
  }
}
install_to "$root" /usr
relink=no
usr=$root/usr
lib=$usr/lib
sim=$lib/orvik-sim
docs=share/doc/orvik-tools

# --- Layout -----------------------------------------------------------------
for f in bin/ovkshow bin/framekit bin/kvoplay bin/orvik-sim lib/cgi-bin/orvik.cgi \
  lib/liborvik.so.0.1.0 lib/orvik-sim/libtessel.so.2 lib/orvik-sim/libludra.so.1 \
  lib/orvik-sim/libkvo2.so.1 include/orvik/parser.h include/orvik/stat.h \
  include/orvik/frames.h include/orvik/send.h include/orvik/export.h \
  include/orvik-sim/tessel.h include/orvik-sim/ludra.h include/orvik-sim/kvo2.h \
  lib/pkgconfig/orvik.pc share/orvik/images/indicate_up.gif \
  share/orvik/images/indicate_down.gif share/orvik/lighttpd-orvik.conf \
  $docs/examples/addresses.xml $docs/examples/card.sim share/man/man1/ovkshow.1 \
  share/man/man1/framekit.1 share/man/man1/kvoplay.1 share/man/man1/orvik-sim.1 \
  share/man/man8/orvik.cgi.8; do
  [ -f "$usr/$f" ] || fail "not installed: $f"
done
for p in bin/ovkshow bin/framekit bin/kvoplay bin/orvik-sim lib/cgi-bin/orvik.cgi; do
  [ -x "$usr/$p" ] || fail "not executable: $p"
done
# The stand-ins never lie where the loader looks by default, and the
# library's internal headers are not installed.
for l in libtessel libludra libkvo2; do
  ls "$lib/$l".so* >/dev/null 2>&1 && fail "$l installed in $lib, where it shadows the card platform"
done
for h in log.h stat_internal.h frames_internal.h c_util.h; do
  [ -e "$usr/include/orvik/$h" ] && fail "internal header $h installed"
done
[ "$(readlink "$lib/liborvik.so.0")" = liborvik.so.0.1.0 ] || fail "liborvik.so.0 link"
[ "$(readlink "$lib/liborvik.so")" = liborvik.so.0 ] || fail "liborvik.so link"
soname=$(readelf -d "$lib/liborvik.so.0.1.0" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = liborvik.so.0 ] || fail "soname of liborvik is '$soname'"
# Nothing of the build or test tree is shipped.
find "$root" -name '*_test' -o -name '*.a' -o -name '*.o' | grep . && fail "build leftovers installed"

# --- RPATHs: none under /usr; relative in any other prefix -------------------
rpath() { readelf -d "$1" | sed -n 's/.*(R[UN]*PATH).*\[\(.*\)\]/\1/p'; }
for p in bin/ovkshow bin/framekit bin/kvoplay lib/cgi-bin/orvik.cgi lib/liborvik.so.0.1.0; do
  [ -z "$(rpath "$usr/$p")" ] || fail "$p installed in /usr keeps the RPATH $(rpath "$usr/$p")"
done
opt=$tmp/opt-root/opt/orvik
install_to "$tmp/opt-root" /opt/orvik
[ "$(rpath "$opt/bin/ovkshow")" = '$ORIGIN/../lib' ] || fail "RPATH of ovkshow: $(rpath "$opt/bin/ovkshow")"
[ "$(rpath "$opt/lib/cgi-bin/orvik.cgi")" = '$ORIGIN/../../lib' ] ||
  fail "RPATH of orvik.cgi: $(rpath "$opt/lib/cgi-bin/orvik.cgi")"
for p in bin/ovkshow bin/framekit bin/kvoplay lib/cgi-bin/orvik.cgi; do
  case $(rpath "$opt/$p") in *"$build"*) fail "$p keeps the build tree in its RPATH" ;; esac
  found=$(ldd "$opt/$p" | sed -n "s|^[[:space:]]*liborvik.so.0 => \(.*\) (0x.*|\1|p")
  [ "$(readlink -f "$found")" = "$(readlink -f "$opt/lib/liborvik.so.0")" ] ||
    fail "$p in /opt/orvik loads liborvik from '$found'"
done

# --- pkg-config and a C program against the installed library --------------
export PKG_CONFIG_PATH="$lib/pkgconfig" PKG_CONFIG_SYSROOT_DIR="$root"
flags=$(pkg-config --cflags --libs orvik) || fail "pkg-config orvik"
[ "$(pkg-config --modversion orvik)" = 0.1.0 ] || fail "pkg-config version"
grep -q '^prefix=/usr$' "$lib/pkgconfig/orvik.pc" || fail "orvik.pc prefix"
cat >"$tmp/use.c" <<'EOF'
#include <stdio.h>
#include <stdlib.h>

#include <frames.h>
#include <send.h>
#include <stat.h>

int main(int argc, char **argv) {
  if (argc != 3) return 99;
  FILE *in = fopen(argv[1], "r");
  if (in == NULL || ovke_init() != 0 || ovke_load_file(&in) != 0) return 2;
  fclose(in);
  int frames = 0;
  frame_queue_t *q = ovke_get_frames();
  for (frame_entry_t *e = q->first; e != (frame_entry_t *)q; e = e->next) frames++;
  ovke_free();

  if (ovkc_init_nohw(argv[2]) != 0) return 3;
  int sections = 0;
  ovkc_read_values();
  name_list_t *names = ovkc_get_namelist();
  for (name_list_t *n = names; n != NULL; n = n->next) sections++;
  ovkc_free_namelist(&names);
  ovkc_free_datalist();
  ovkc_free();
  printf("frames %d sections>0 %d freed %d\n", frames, sections > 0, names == NULL);
  return ovkc_init_nohw("no-such-description.xml") == 2 ? 0 : 4;
}
EOF
# A capture of two frames (3 and 1 bytes), host byte order.
printf '\324\303\262\241\002\000\004\000\000\000\000\000\000\000\000\000\377\377\000\000\001\000\000\000' >"$tmp/two.pcap"
printf '\001\000\000\000\000\000\000\000\003\000\000\000\003\000\000\000abc' >>"$tmp/two.pcap"
printf '\002\000\000\000\000\000\000\000\001\000\000\000\001\000\000\000d' >>"$tmp/two.pcap"
# The linker finds the card platform that liborvik needs where a host has
# it; here, that is the stand-ins.
# shellcheck disable=SC2086
if cc -std=c11 -Wall -Wextra -Werror -o "$tmp/use" "$tmp/use.c" $flags -Wl,-rpath-link,"$sim" \
  2>"$tmp/cc.log"; then
  out=$(LD_LIBRARY_PATH=$lib:$sim "$tmp/use" "$tmp/two.pcap" "$usr/$docs/examples/addresses.xml") ||
    fail "C program against the installed library: status $?"
  [ "$out" = "frames 2 sections>0 1 freed 1" ] || fail "C program printed '$out'"
  LD_LIBRARY_PATH=$lib:$sim ldd "$tmp/use" | grep -q "liborvik.so.0 => $lib/" ||
    fail "C program does not load the installed liborvik"
else
  cat "$tmp/cc.log" >&2
  fail "C program does not build with pkg-config --cflags --libs orvik"
fi
unset PKG_CONFIG_PATH PKG_CONFIG_SYSROOT_DIR

# --- The installed programs, on the simulated platform ------------------------
# Under /usr the programs carry no RPATH: here the loader is told where
# /usr/lib of the staged tree is, as it knows on an installed host.
# expect STATUS FIRST-LINE COMMAND...
expect() {
  want_status=$1 want_line=$2
  shift 2
  set +e
  "$@" >"$tmp/out" 2>"$tmp/err"
  status=$?
  set -e
  [ $status = "$want_status" ] || fail "$* exited $status, not $want_status: $(cat "$tmp/err")"
  [ "$(head -n 1 "$tmp/out")" = "$want_line" ] || fail "$* printed '$(head -n 1 "$tmp/out")'"
}
export LD_LIBRARY_PATH=$lib
simrun="$usr/bin/orvik-sim"
expect 0 "Usage: ovkshow [-hilLv] [-s value] [-S <name> value] [-n <regex>]" "$simrun" "$usr/bin/ovkshow" -h
expect 0 "Usage: framekit [-hvlr] {-f file}" "$simrun" "$usr/bin/framekit" -h
expect 1 "Usage: kvoplay [-hNOv] [-d kvo_device] [-f file] [-i <number>s<number>ns] [-I interface] [-R rx_mask] [-t <number>s<number>ns] [-T tx_mask] [-B <number><gGmMkK>]" \
  "$simrun" "$usr/bin/kvoplay" -h
expect 0 "Usage: orvik-sim COMMAND [ARGUMENT...]" "$simrun" -h
expect 2 "" "$simrun"

# The installed example on its simulated card, from a scratch copy.
mkdir "$tmp/card"
cp "$usr/$docs/examples/addresses.xml" "$usr/$docs/examples/card.sim" "$tmp/card/"
(cd "$tmp/card" && LUDRA_SIM=$tmp/card/card.sim "$simrun" "$usr/bin/ovkshow" -l >"$tmp/list" 2>&1) ||
  fail "installed ovkshow -l on the example"
grep -q '^1 ' "$tmp/list" && grep -q '^Identification$' "$tmp/list" ||
  fail "ovkshow -l on the example printed: $(cat "$tmp/list")"
(cd "$tmp/card" && LUDRA_SIM=$tmp/card/card.sim "$simrun" "$usr/bin/ovkshow" >/dev/null 2>&1) ||
  fail "installed ovkshow report on the example"
out=$(cd "$tmp/card" && QUERY_STRING= LUDRA_SIM=$tmp/card/card.sim "$simrun" "$usr/lib/cgi-bin/orvik.cgi")
case $out in *"Available sections"*) ;; *) fail "orvik.cgi list page on the example: $out" ;; esac
"$simrun" "$usr/bin/framekit" -f "$tmp/two.pcap" -c 0:9 -s "$tmp/three.pcap" >/dev/null 2>&1 ||
  fail "installed framekit edit and save"
"$simrun" "$usr/bin/framekit" -f "$tmp/three.pcap" -l 2>/dev/null | grep -q '^2: size: 3, ts:1$' ||
  fail "framekit did not save the copied frame"
KVO2_SIM_OUT=$tmp/sent.pcap "$simrun" "$usr/bin/kvoplay" -f "$tmp/two.pcap" >"$tmp/out" 2>&1 ||
  fail "installed kvoplay replay"
grep -q '^Amount of sent packets: 2$' "$tmp/out" || fail "kvoplay printed: $(cat "$tmp/out")"
# Global header and two records of 3 and 1 bytes.
[ "$(wc -c <"$tmp/sent.pcap")" -eq 60 ] || fail "simulated device did not get both frames"

# Without a design description the CGI answers 500.  A machine that has one
# in the configuration directory finds that instead, so the check needs none.
mkdir "$tmp/empty"
if [ ! -e /etc/morvex/orvik/addresses.xml ]; then
  out=$(cd "$tmp/empty" && QUERY_STRING= "$simrun" "$usr/lib/cgi-bin/orvik.cgi") || fail "orvik.cgi exit status"
  case $out in
    *"Status: 500"*"Error - could not open configuration file"*) ;;
    *) fail "orvik.cgi without addresses.xml answered: $out" ;;
  esac
fi
unset LD_LIBRARY_PATH

# --- Manual pages and the lighttpd snippet ------------------------------------
for m in "$usr"/share/man/man1/*.1 "$usr"/share/man/man8/*.8; do
  warnings=$(groff -ww -man -z "$m" 2>&1)
  [ -z "$warnings" ] || fail "$(basename "$m"): $warnings"
done
conf=$usr/share/orvik/lighttpd-orvik.conf
grep -q '"/usr/lib/cgi-bin/orvik.cgi"' "$conf" || fail "lighttpd snippet: CGI path"
grep -q '"/usr/share/orvik/images/"' "$conf" || fail "lighttpd snippet: image path"
grep -q '@' "$conf" && fail "lighttpd snippet keeps a placeholder"
if command -v lighttpd >/dev/null 2>&1; then
  printf 'server.document-root = "%s"\nserver.port = 8080\ninclude "%s"\n' "$tmp" "$conf" >"$tmp/l.conf"
  lighttpd -tt -f "$tmp/l.conf" >"$tmp/l.log" 2>&1 || fail "lighttpd rejects the snippet: $(cat "$tmp/l.log")"
fi

. "$src/tests/packages_check.sh"

[ $failures = 0 ] || { echo "$failures failures" >&2; exit 1; }
echo "install: all checks passed"
