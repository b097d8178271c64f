#!/usr/bin/env bash
# Runs one of the examples: makes its source recordings with wavsplice-tone
# (as its sources.txt describes them), copies its task.txt into a scratch
# directory and runs wavsplice there.
#
#   run-example.sh NAME OUTPUT_DIR
#
# WAVSPLICE and TONE name the programs (default: wavsplice and wavsplice-tone
# on the PATH).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
name=$1
out=$2
wavsplice=${WAVSPLICE:-wavsplice}
tone=${TONE:-wavsplice-tone}
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
echo "== wavsplice task.txt"
"$wavsplice" task.txt
[ -f "$destination" ]
echo "== The result lies in $(pwd)/$destination"
