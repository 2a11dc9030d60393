#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those missing. Safe to run again.
#   install-deps.sh build        to build and run the program
#   install-deps.sh build test   to build and run every test as well
#   install-deps.sh build bench  to build and run the start-up benchmark (make bench)
set -euo pipefail

build_packages=(
  build-essential cmake pkg-config
  libgtk-3-dev libwebkit2gtk-4.1-dev libglib2.0-dev-bin
  glib-networking                # https in the web view
  bubblewrap xdg-dbus-proxy      # the web engine's sandbox
)
test_packages=(
  libgtest-dev googletest
  xvfb xauth openbox xdotool x11-utils imagemagick
  dbus dbus-x11 at-spi2-core python3-pyatspi python3-pytest
  desktop-file-utils appstream clang-format openssl
  clang clang-14 libclang-rt-14-dev   # the fuzzer: libFuzzer and the sanitizer runtimes
)
# The benchmark's own X server and window manager, and the browsers it compares against.
bench_packages=(
  xvfb xauth openbox x11-utils libx11-dev dbus
  chromium surf
)

wanted=()
for group in "${@:-build}"; do
  case "$group" in
    build) wanted+=("${build_packages[@]}") ;;
    test) wanted+=("${test_packages[@]}") ;;
    bench) wanted+=("${bench_packages[@]}") ;;
    *) echo "install-deps.sh: unknown group '$group' (build, test or bench)" >&2; exit 2 ;;
  esac
done

missing=()
for package in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
  as_root=()
elif command -v sudo >/dev/null; then
  as_root=(sudo)
else
  echo "install-deps.sh: need root or sudo to install: ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -q
"${as_root[@]}" apt-get install -y -q "${missing[@]}"
