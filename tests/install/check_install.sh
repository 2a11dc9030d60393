#!/usr/bin/env bash
# Installs into temporary prefixes, with and without a preset server address, and checks the
# program folder, the desktop entry, the metainfo and the icons that land there.
set -euo pipefail
build="${1:?usage: check_install.sh BUILD_DIR}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

ROZIDARUDE_SERVER_ADDRESS="http://tovel-srv:8080/app" cmake --install "$build" --prefix "$work/with" >/dev/null
cmake --install "$build" --prefix "$work/without" >/dev/null

for prefix in "$work/with" "$work/without"; do
  [ -x "$prefix/lib/rozidarude/rozidarude" ] || fail "no program in $prefix/lib/rozidarude"
  [ "$(readlink -f "$prefix/bin/rozidarude")" = "$(readlink -f "$prefix/lib/rozidarude/rozidarude")" ] \
    || fail "bin/rozidarude does not lead to the program folder"
  desktop-file-validate "$prefix/share/applications/org.rozidarude.Launcher.desktop"
  grep -qx 'Name=Tovel (Lokal)' "$prefix/share/applications/org.rozidarude.Launcher.desktop" \
    || fail "desktop entry not named Tovel (Lokal)"
  appstreamcli validate --no-net "$prefix/share/metainfo/org.rozidarude.Launcher.metainfo.xml" >/dev/null
  grep -q 'version="1.0.0.0"' "$prefix/share/metainfo/org.rozidarude.Launcher.metainfo.xml" \
    || fail "metainfo lacks version 1.0.0.0"
  for icon in 16x16/apps/org.rozidarude.Launcher.png 32x32/apps/org.rozidarude.Launcher.png \
              scalable/apps/org.rozidarude.Launcher.svg; do
    [ -s "$prefix/share/icons/hicolor/$icon" ] || fail "missing icon $icon"
  done
done

printf 'http://tovel-srv:8080/app\r\n' | cmp - "$work/with/lib/rozidarude/srvset.con" \
  || fail "srvset.con does not hold the preset address and CR LF"
[ ! -e "$work/without/lib/rozidarude/srvset.con" ] || fail "srvset.con written without an address"
echo "install layout: ok"
