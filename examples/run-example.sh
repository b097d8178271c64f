#!/usr/bin/env bash
# Builds the bundled example: makes its source recordings with wavsplice-tone,
# then runs wavsplice on examples/show/task.txt in a scratch directory.
# Usage: run-example.sh OUTPUT_DIR   (WAVSPLICE and TONE name the programs)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$1
mkdir -p "$out"
cd "$out"
rm -f show.wav

# Four stand-ins for real recordings, CD-quality stereo.
"$TONE" intro.wav 44100 16 2 2 660 0.4   # 2 s station ident
"$TONE" talk.wav 44100 16 2 8 440 0.5    # 8 s of speech
"$TONE" bed.wav 44100 16 2 3 220 0.6     # 3 s music bed
"$TONE" outro.wav 44100 16 2 2 880 0.4   # 2 s closing sting
cp "$here/show/task.txt" task.txt

echo "== task.txt"
cat task.txt
echo "== wavsplice task.txt"
"$WAVSPLICE" task.txt
echo "== The result lies in $out/show.wav"
