#!/usr/bin/env bash
# Runs one of the examples: makes its source recordings with wavsplice-tone
# (as its sources.txt describes them), copies its task.txt into a scratch
# directory and runs wavsplice there. With --plot, a check draws the plan
# first, as plan.svg (open it in a browser).
#
#   run-example.sh [--plot] NAME OUTPUT_DIR
#
# WAVSPLICE and TONE name the programs. Without them, wavsplice is the one
# installed with this script (PREFIX/bin beside PREFIX/share/doc/wavsplice/
# examples), else the one on the PATH, and wavsplice-tone the one beside it.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
plot=
if [ "${1:-}" = --plot ]; then
  plot=1
  shift
fi
name=$1
out=$2
installed=$here/../../../../bin
if [ -n "${WAVSPLICE:-}" ]; then
  wavsplice=$WAVSPLICE
elif [ -x "$installed/wavsplice" ]; then
  wavsplice=$(cd "$installed" && pwd)/wavsplice
else
  wavsplice=$(command -v wavsplice) || { echo "wavsplice not found: set WAVSPLICE" >&2; exit 1; }
fi
beside=$(dirname "$wavsplice")/wavsplice-tone
if [ -n "${TONE:-}" ]; then
  tone=$TONE
elif [ -x "$beside" ]; then
  tone=$beside
else
  tone=$(command -v wavsplice-tone) || { echo "wavsplice-tone not found: set TONE" >&2; exit 1; }
fi
[ -f "$here/$name/task.txt" ] || { echo "no example called $name" >&2; exit 1; }

mkdir -p "$out"
cd "$out"
while read -r file rate bits channels seconds frequency amplitude; do
  case "$file" in ''|'#'*) continue ;; esac
  "$tone" "$file" "$rate" "$bits" "$channels" "$seconds" "$frequency" "$amplitude"
done < "$here/$name/sources.txt"
cp "$here/$name/task.txt" task.txt
destination=$(awk -F'\t' '$1 == "dest" { name = $2 } END { print name }' task.txt)
rm -f "$destination"

echo "== task.txt"
cat task.txt
if [ -n "$plot" ]; then
  echo "== wavsplice --check --plot plan.svg task.txt"
  # A check with warnings ends with status 3: the picture shows them too.
  "$wavsplice" --check --plot plan.svg task.txt || [ $? -eq 3 ]
  echo "== The plan is drawn in $(pwd)/plan.svg"
fi
echo "== wavsplice task.txt"
"$wavsplice" task.txt
[ -f "$destination" ]
echo "== The result lies in $(pwd)/$destination"
