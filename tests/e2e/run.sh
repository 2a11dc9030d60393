#!/usr/bin/env bash
# Runs the end-to-end tests of the real program in a D-Bus session of their own, so the
# accessibility bus they read belongs to this run alone. The X server and window manager are
# started by the tests themselves on a display number the X server picks.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
binary="${1:?usage: run.sh path/to/rozidarude [pytest arguments]}"
shift
export ROZIDARUDE_BINARY="$(readlink -f "$binary")"
# Debian's interpreter: it is the one that sees python3-pyatspi and python3-pytest.
exec dbus-run-session -- /usr/bin/python3 -m pytest -p no:cacheprovider -q "$here" "$@"
