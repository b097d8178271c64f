#!/usr/bin/env bash
# Regenerates the README's pictures from the program's own output:
#   doc/crossfade-curves.png  the four crossfade curves, measured on rendered audio
#   doc/ducking.png           a bed ducked 12 dB under a voice laid over it (mix)
#   examples/show/plan.png    the --check --plot picture of examples/show, as the
#                             browser test renders it in Chromium
# Needs the default build (cmake --workflow --preset default), python3, gnuplot,
# chromium and ffmpeg.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bin=$root/build/default
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"

# A steady tone crossfaded into silence shows the outgoing weight; silence
# crossfaded into the tone shows the incoming one. 500 ms crossfades at 8 kHz;
# the first entry runs on past the splice, so the outgoing side has material
# to fade over the whole width.
"$bin/wavsplice-tone" tone.wav 8000 16 1 2 1000 0.8
"$bin/wavsplice-tone" quiet.wav 8000 16 1 2 1000 0
for type in 1 2 3 4; do
  for direction in out in; do
    if [ $direction = out ]; then first=tone.wav second=quiet.wav; else first=quiet.wav second=tone.wav; fi
    printf 'src\t%s\nsrc\t%s\nins\t1\nxin\t0.5\nxf\t500\t%s\ndest\t%s-%s.wav\n' \
      "$first" "$second" "$type" "$direction" "$type" > task.txt
    "$bin/wavsplice" task.txt > /dev/null
  done
done

python3 - <<'PY'
import wave, struct
# Peak level of every 5 ms (40 frames) from 0.7 s to 1.3 s, relative to the tone's peak.
def envelope(name):
    with wave.open(name) as w:
        frames = w.readframes(w.getnframes())
    samples = struct.unpack(f"<{len(frames) // 2}h", frames)
    peak = 0.8 * 32767
    return [(i / 8000 - 1.0, max(abs(s) for s in samples[i:i + 40]) / peak)
            for i in range(5600, 10400, 40)]
for t in range(1, 5):
    out, into = envelope(f"out-{t}.wav"), envelope(f"in-{t}.wav")
    with open(f"curve-{t}.dat", "w") as f:
        for (x, a), (_, b) in zip(out, into):
            f.write(f"{x * 1000:.1f} {a:.4f} {b:.4f}\n")
PY

gnuplot <<GP
set terminal pngcairo size 900,680 font "sans,10"
set output "$root/doc/crossfade-curves.png"
set multiplot layout 2,2 title "wavsplice crossfade curves: 500 ms, measured on rendered audio (splice at 0 ms)"
set xrange [-300:300]; set yrange [0:1.05]; set grid; set key below
set xlabel "ms from the splice"; set ylabel "level"
names = "'1: equal power' '2: linear' '3: slow, then fast decay' '4: fast, then slow decay'"
do for [t=1:4] {
  set title word(names, t)
  plot "curve-".t.".dat" using 1:2 with lines lw 2 title "outgoing (tone into silence)", \
       "" using 1:3 with lines lw 2 title "incoming (silence into tone)"
}
unset multiplot
GP

# The show example's plan, drawn by --check --plot and rendered by the test
# that checks it in a browser.
WAVSPLICE_WRITE_PICTURE=$root/examples/show/plan.png "$bin/tests/wavsplice_tests" \
  --gtest_filter=Plot.ABrowserShowsTheShowExampleAsPlanned > /dev/null

# A voice laid over a bed with "mix -12", fading in over 400 ms and out over
# 600 ms: the bed's level alone (under a silent voice) and the voice's alone.
cd "$scratch"
"$bin/wavsplice-tone" bed.wav 8000 16 1 6 200 0.8
"$bin/wavsplice-tone" voice.wav 8000 16 1 3 500 0.8
"$bin/wavsplice-tone" hush.wav 8000 16 1 6 500 0
printf 'src\tbed.wav\nsrc\thush.wav\nins\t1.5\nxout\t3\nmix\t-12\nfin\t400\nfout\t600\ndest\tducked.wav\n' > task.txt
"$bin/wavsplice" task.txt > /dev/null
printf 'src\thush.wav\nsrc\tvoice.wav\nins\t1.5\nxout\t3\nmix\t-12\nfin\t400\nfout\t600\ndest\tvoice-only.wav\n' > task.txt
"$bin/wavsplice" task.txt > /dev/null
python3 - <<'PY'
import wave, struct
def envelope(name):
    with wave.open(name) as w:
        frames = w.readframes(w.getnframes())
    samples = struct.unpack(f"<{len(frames) // 2}h", frames)
    return [max(abs(s) for s in samples[i:i + 80]) / (0.8 * 32767) for i in range(0, len(samples), 80)]
with open("ducking.dat", "w") as f:
    for i, (bed, voice) in enumerate(zip(envelope("ducked.wav"), envelope("voice-only.wav"))):
        f.write(f"{i / 100:.2f} {bed:.4f} {voice:.4f}\n")
PY
gnuplot <<GP
set terminal pngcairo size 900,300 font "sans,10"
set output "$root/doc/ducking.png"
set title "mix -12: a bed ducked 12 dB under a voice laid over it (fin 400, fout 600)"
set xlabel "seconds"; set ylabel "level"; set yrange [0:1.05]; set grid; set key below
plot "ducking.dat" using 1:2 with lines lw 2 title "the bed under the voice", \
     "" using 1:3 with lines lw 2 title "the voice"
GP
echo "pictures written to doc/"
