#!/usr/bin/env bash
# tests/packaging/install_test.sh BUILD_DIR VERSION: the installation as a user gets it.
# cmake --install into a temporary prefix; the installed programs start and name the version;
# the manual pages render without warnings and the desktop entry is valid and points at what
# was installed; the installed snapshot program, started with no scene in a folder and a fresh
# HOME, renders the user's copy of the installed demo, made in ~/.local/share/redowl/demo (and
# completed on the next run, an edited release.cgf kept), while the installation is never
# written to and the starting folder gets only the picture.
set -euo pipefail
build=$1
version=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
for p in redowl redowl-snapshot redowl-demo-scene redowl-import; do
  [ "$("$prefix/bin/$p" --version)" = "$p $version" ] || fail "$p --version"
  page=$prefix/share/man/man1/$p.1.gz
  [ -f "$page" ] || fail "no manual page for $p"
  warnings=$(zcat "$page" | groff -man -ww -z 2>&1)
  [ -z "$warnings" ] || fail "manual page of $p: $warnings"
done
entry=$prefix/share/applications/redowl.desktop
desktop-file-validate "$entry" || fail "desktop entry"
[ -x "$prefix/bin/$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry")" ] || fail "the desktop entry's program is not installed"
[ -f "$prefix/share/icons/hicolor/48x48/apps/$(sed -n 's/^Icon=//p' "$entry").png" ] || fail "the desktop entry's icon"
[ -f "$prefix/share/redowl/demo/release.cgf" ] || fail "no installed demo"

# A model of another format than 3DS: read by the import helper installed beside the programs.
mkdir -p "$work/obj"
(cd "$work/obj" && "$prefix/bin/redowl-snapshot" --out obj.png /usr/share/assimp/models/OBJ/box.obj) >"$work/log" 2>&1 ||
  { cat "$work/log" >&2; fail "the installed snapshot on an OBJ model"; }

listing() { (cd "$prefix" && find . -printf '%p %s %T@ %m\n' | sort); }
installed=$(listing)
home=$work/home
demo=$home/.local/share/redowl/demo
mkdir -p "$home" "$work/start"
shoot() {
  (cd "$work/start" && env -u XDG_DATA_HOME HOME="$home" "$prefix/bin/redowl-snapshot" --light-angle 1 --out shot.png) \
    >"$work/log" 2>&1 || { cat "$work/log" >&2; fail "the installed snapshot on the demo"; }
  [ "$(ls -A "$work/start")" = "shot.png" ] || fail "the starting folder got more than the picture: $(ls -A "$work/start")"
  [ "$(identify -format '%w %h' "$work/start/shot.png")" = "512 512" ] || fail "picture size"
  # The demo's knot, floor and sky: far from a black or empty picture.
  [ "$(convert "$work/start/shot.png" -format '%[fx:int(255*mean)]' info:)" -gt 40 ] || fail "the picture is dark"
  [ -f "$demo/Err.txt" ] && [ ! -s "$demo/Err.txt" ] || fail "no empty Err.txt in the user's demo"
}
shoot
cmp "$demo/release.cgf" "$prefix/share/redowl/demo/release.cgf" || fail "the user's demo"
echo "// edited by the user" >>"$demo/release.cgf"
rm "$demo/data/knot.3ds" "$work/start/shot.png"
shoot
cmp "$demo/data/knot.3ds" "$prefix/share/redowl/demo/data/knot.3ds" || fail "a missing file of the demo was not copied again"
[ "$(tail -n 1 "$demo/release.cgf")" = "// edited by the user" ] || fail "the user's release.cgf was replaced"
[ "$(listing)" = "$installed" ] || fail "the installation was written to"
