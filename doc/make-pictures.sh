#!/usr/bin/env bash
# Regenerates the README's pictures from the program's own output:
#   doc/crossfade-curves.png  the four crossfade curves, measured on rendered audio
#   doc/timeline-show.png     where the entries of examples/show land
#   doc/ducking.png           a bed ducked 12 dB under a voice laid over it (mix)
# Needs the default build (cmake --workflow --preset default), python3 and gnuplot.
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

# The show example: one row per entry in write order, and the finished file.
WAVSPLICE=$bin/wavsplice TONE=$bin/wavsplice-tone bash "$root/examples/run-example.sh" show show > show.txt
python3 - <<'PY'
import re
text = open("show.txt").read()
blocks = re.findall(r"Task (\d+)\tInsert point ([\d.]+) sec\n\tFile (\S+)\n\tRead start ([\d.]+) sec\n"
                    r"\tRead length ([\d.]+) sec\n\tLevel (\S+) dB\n((?:\tMix under \S+ dB\n)?)", text)
rows = len(blocks)
owner = {}  # 10 ms cells of the destination -> the entry written last there
with open("entries.dat", "w") as f, open("mixed.dat", "w") as m:
    for row, (task, insert, name, start, length, level, mixed) in enumerate(blocks):
        a, b = float(insert), float(insert) + float(length)
        y = rows - row
        label = f"Task {task}: {name} {float(start):g}-{float(start) + float(length):g} s, {float(level):g} dB"
        label += ", laid under (mix)" if mixed else ""
        f.write(f'{(a + b) / 2} {y} {a} {b} {y - 0.35} {y + 0.35} "{label}" {row}\n')
        if mixed:
            # A mixed entry takes nothing over: it lies under what is there.
            m.write(f"{(a + b) / 2} 0 {a} {b} -0.35 -0.1 {row}\n")
            continue
        for cell in range(round(a * 100), round(b * 100)):
            owner[cell] = row
with open("result.dat", "w") as f:
    cells = sorted(owner)
    start = cells[0]
    for i, cell in enumerate(cells):
        if i + 1 == len(cells) or owner[cells[i + 1]] != owner[cell] or cells[i + 1] != cell + 1:
            f.write(f"{(start + cell + 1) / 200} 0 {start / 100} {(cell + 1) / 100} -0.35 0.35 {owner[cell]}\n")
            if i + 1 < len(cells):
                start = cells[i + 1]
with open("rows.txt", "w") as f:
    last_end = max(float(b[1]) + float(b[4]) for b in blocks)
    f.write(f"{rows} {last_end + 2.5:.1f}\n")
PY
read -r rows xmax < rows.txt
gnuplot <<GP
set terminal pngcairo size 900,320 font "sans,10"
set output "$root/doc/timeline-show.png"
set title "examples/show: entries in write order (top to bottom) and the finished file (bottom row)"
set xlabel "seconds in the destination"
set yrange [-0.8:$rows + 0.8]; set xrange [0:$xmax]
set ytics ("result" 0); set grid x
set style fill solid 0.6 border -1
set palette model RGB defined (0 "#4e79a7", 1 "#f28e2b", 2 "#59a14f", 3 "#e15759")
set cbrange [0:3]; unset colorbox
plot "entries.dat" using 1:2:3:4:5:6:8 with boxxyerror lc palette notitle, \
     "" using 3:2:7 with labels left offset 0.5,0 notitle, \
     "result.dat" using 1:2:3:4:5:6:7 with boxxyerror lc palette notitle, \
     "mixed.dat" using 1:2:3:4:5:6:7 with boxxyerror lc palette notitle
GP

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
