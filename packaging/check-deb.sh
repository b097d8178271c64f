#!/usr/bin/env bash
# Builds the Debian package, installs it, and uses it as a new user would: the
# manual page, the help, and an example from the installed documentation run
# with the installed programs. Removes the package again. Needs root.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset package >/dev/null
cmake --build --preset package
# Packages of earlier versions may lie in the build folder: only the one made
# now is checked.
rm -f build/package/wavsplice_*.deb
cpack --preset deb
deb=$(ls build/package/wavsplice_*.deb)

# Removed again however the check ends, even if the installation fails half way.
trap 'dpkg -r wavsplice >/dev/null 2>&1 || true' EXIT
dpkg -i "$deb"

echo "== the package declares the shared libraries it needs"
depends=$(dpkg-deb -f "$deb" Depends)
echo "$depends"
grep -q 'libstdc++6' <<<"$depends"
# The I/O ring's library, which the copies that change samples link.
grep -q 'liburing' <<<"$depends"

echo "== man wavsplice"
man -w wavsplice
MANWIDTH=80 man wavsplice 2>/dev/null | grep -q "EXIT STATUS"

echo "== wavsplice -h"
status=0
/usr/bin/wavsplice -h >/dev/null || status=$?
[ "$status" -eq 1 ]

echo "== wavsplice --version"
/usr/bin/wavsplice --version | grep -qx "wavsplice [0-9.]*"

echo "== an installed example"
scratch=$(mktemp -d)
bash /usr/share/doc/wavsplice/examples/run-example.sh playlist "$scratch" | tail -7
[ -s "$scratch/playlist.wav" ]
rm -rf "$scratch"
echo "package check passed: $deb"
