#!/usr/bin/env bash
# tests/packaging/package_test.sh BUILD_DIR: cpack -G DEB makes a package of the four programs,
# their manual pages, the desktop entry and the demo, whose Depends were computed from the
# programs (the libraries they link, and none they do not call).
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work" >"$work/log" 2>&1 || { cat "$work/log" >&2; fail cpack; }
deb=$(ls "$work"/redowl_*_amd64.deb)
dpkg-deb -c "$deb" | awk '{print $6}' >"$work/files"
for f in usr/bin/redowl usr/bin/redowl-snapshot usr/bin/redowl-demo-scene usr/bin/redowl-import \
         usr/share/man/man1/redowl.1.gz usr/share/man/man1/redowl-snapshot.1.gz usr/share/man/man1/redowl-demo-scene.1.gz \
         usr/share/man/man1/redowl-import.1.gz \
         usr/share/applications/redowl.desktop usr/share/icons/hicolor/256x256/apps/redowl.png \
         usr/share/mime/packages/redowl.xml usr/share/redowl/demo/release.cgf usr/share/redowl/demo/data/knot.3ds; do
  grep -qx "./$f" "$work/files" || fail "$f is not in the package"
done
! grep -q 'redowl-speck-count\|redowl-big-model\|redowl_tests' "$work/files" || fail "a developer's program is in the package"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libstdc++6 libassimp5 libstb0 libglut libpng16-16 libsdl2 libx11-6; do
  [[ $depends == *"$lib"* ]] || fail "Depends lacks $lib: $depends"
done
[[ $depends != *draco* ]] || fail "Depends names a library no program calls: $depends"
