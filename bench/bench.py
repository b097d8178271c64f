#!/usr/bin/env python3
"""Benchmark wavsplice against cp (the floor) and sox (a peer) on splice jobs.

Every job is run interleaved with the others, after a warm-up, for several
rounds; the table gives medians. The tools take turns at running first in a
job, and every output is removed once checked. Before every timed command the
file system is synced, so each starts without another's dirty pages to write
back. Sources are made with wavsplice-tone in a scratch directory (nothing
large is committed). Every output's format and length is checked, and the
plain integer outputs must hold exactly sox's sample data.

    bench/bench.py [--rounds N] [--quick] [--wavsplice PATH] [--baseline PATH] [--may-differ TEXT] [--scratch DIR]

--quick scales every job down (for trying the script, not for numbers).
--baseline runs another build of wavsplice in the same rounds (an earlier
version, to measure a change under the same conditions).
"""
import argparse
import filecmp
from fractions import Fraction
import os
import platform
import shutil
import statistics
import struct
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def run(cmd, cwd, may_refuse=False):
    """Runs cmd in cwd; returns (seconds, peak RSS in KiB), or None when a
    command that may refuse the job (an earlier build, on a format it does not
    read) does.

    The peak comes from GNU time, whose small process is what the command is
    forked from: forking from this Python process would count its own memory.
    """
    report = os.path.join(cwd, ".peak-rss")
    start = time.perf_counter()
    status = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report] + cmd, cwd=cwd,
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
    elapsed = time.perf_counter() - start
    if status != 0 and may_refuse:
        return None
    if status != 0:
        sys.exit(f"bench: {' '.join(cmd)} failed with status {status}")
    with open(report) as f:
        peak = int(f.read().split()[-1])
    return elapsed, peak


def wav_format(path):
    """(channels, rate, bits, data offset, data size, format code) of a WAV
    file, by its chunks; the data size of an RF64 file from its ds64 chunk."""
    with open(path, "rb") as f:
        head = f.read(12)
        assert head[:4] in (b"RIFF", b"RF64") and head[8:12] == b"WAVE", path
        fmt = None
        ds64_data_size = None
        while True:
            chunk = f.read(8)
            if len(chunk) < 8:
                sys.exit(f"bench: no data chunk in {path}")
            tag, size = chunk[:4], struct.unpack("<I", chunk[4:])[0]
            if tag == b"fmt ":
                body = f.read(size)
                code, channels, rate = struct.unpack("<HHI", body[0:8])
                bits = struct.unpack("<H", body[14:16])[0]
                fmt = (channels, rate, bits)
            elif tag == b"ds64":
                body = f.read(size)
                ds64_data_size = struct.unpack("<Q", body[8:16])[0]
            elif tag == b"data":
                if size == 0xFFFFFFFF and ds64_data_size is not None:
                    size = ds64_data_size
                return fmt + (f.tell(), size, code)
            else:
                f.seek(size + (size & 1), 1)


def same_samples(ours, theirs):
    a, b = wav_format(ours), wav_format(theirs)
    if a[4] != b[4]:
        return False
    with open(ours, "rb") as fa, open(theirs, "rb") as fb:
        fa.seek(a[3])
        fb.seek(b[3])
        while True:
            x, y = fa.read(1 << 22), fb.read(1 << 22)
            if x != y:
                return False
            if not x:
                return True


class Job:
    def __init__(self, name, rate, bits, segments, seconds, level=None, xfade=False, channels=2, floats=False):
        self.name, self.rate, self.bits, self.channels, self.floats = name, rate, bits, channels, floats
        self.segments, self.seconds, self.level, self.xfade = segments, seconds, level, xfade
        self.prefix = f"{rate}-{bits}{'f' if floats else ''}-{channels}ch-{seconds:g}s"
        if channels == 2 and not floats:
            self.prefix = f"{rate}-{bits}-{seconds:g}s"  # the names sources made by earlier runs have

    def sources(self):
        return [f"{self.prefix}-{i}.wav" for i in range(self.segments)]

    def frames(self):
        """The destination's length as the program places appended entries:
        in seconds, each after the previous one's stop as written, exactly,
        truncated to frames at the end."""
        per = int(self.seconds * self.rate)
        skip = Fraction("0.04") if self.xfade else Fraction(0)
        insert, end = Fraction(0), 0
        for i in range(self.segments):
            xin = skip if i > 0 else Fraction(0)
            if i > 0:
                insert = insert + (Fraction(per, self.rate) - previous_xin)
            start = int(self.rate * xin)
            end = max(end, int(self.rate * insert) + per - start)
            previous_xin = xin
        return end

    def task(self, destination="ours.wav"):
        lines = []
        for i, source in enumerate(self.sources()):
            lines.append(f"src\t{source}")
            if self.level is not None:
                lines.append(f"lvl\t{self.level}")
            if self.xfade and i > 0:
                # The crossfade needs 40 ms of the source before the splice.
                lines += ["xin\t0.04", "xf\t80\t1"]
        lines.append(f"dest\t{destination}")
        return "\n".join(lines) + "\n"

    def sox(self):
        cmd = ["sox", "-D"] + self.sources() + ["theirs.wav"]
        if self.level is not None:
            cmd += ["vol", f"{self.level}dB"]
        if self.xfade:
            cmd += ["splice", "-q"] + [f"{self.seconds * k:g},0.04" for k in range(1, self.segments)]
        return cmd


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--wavsplice", default=os.path.join(ROOT, "build/default/wavsplice"))
    parser.add_argument("--baseline", help="another wavsplice binary to time in the same rounds")
    parser.add_argument("--may-differ", action="append", default=[], metavar="TEXT",
                        help="jobs whose names hold TEXT may build other bytes than the baseline (a change that "
                             "is meant to change them); every other output must be byte-identical")
    parser.add_argument("--tone", default=os.path.join(ROOT, "build/default/wavsplice-tone"))
    parser.add_argument("--scratch", default=os.path.join(ROOT, "build/bench"))
    args = parser.parse_args()
    scale = 0.1 if args.quick else 1.0
    wavsplice, tone = os.path.abspath(args.wavsplice), os.path.abspath(args.tone)

    long_seconds = 1.5e9 / 6 / (48000 * 6)  # six segments, 1.5 GB of 24-bit stereo at 48 kHz
    jobs = [
        Job("8 x 50 s, 24-bit 48 kHz", 48000, 24, 8, 50 * scale),
        Job("8 x 50 s, 24-bit 48 kHz, lvl -6", 48000, 24, 8, 50 * scale, level=-6),
        Job("8 x 50 s, 24-bit 48 kHz, xf 80 ms", 48000, 24, 8, 50 * scale, xfade=True),
        Job("8 x 50 s, 16-bit 44.1 kHz", 44100, 16, 8, 50 * scale),
        Job("8 x 50 s, 16-bit 44.1 kHz, lvl -6", 44100, 16, 8, 50 * scale, level=-6),
        Job("8 x 50 s, 16-bit 44.1 kHz, xf 80 ms", 44100, 16, 8, 50 * scale, xfade=True),
        Job("64 x 2 s, 24-bit 48 kHz, xf 80 ms", 48000, 24, 64, 2 * scale, xfade=True),
        Job("6 x 868 s (1.5 GB), 24-bit 48 kHz", 48000, 24, 6, round(long_seconds * scale)),
        Job("6 x 868 s (1.5 GB), 24-bit 48 kHz, lvl -6", 48000, 24, 6, round(long_seconds * scale), level=-6),
        Job("10 x 868 s (2.5 GB, RF64), 24-bit 48 kHz", 48000, 24, 10, round(long_seconds * scale)),
        Job("8 x 50 s, 32-bit float 48 kHz", 48000, 32, 8, 50 * scale, floats=True),
        Job("8 x 50 s, 32-bit float 48 kHz, lvl -6", 48000, 32, 8, 50 * scale, level=-6, floats=True),
        Job("8 x 50 s, 32-bit float 48 kHz, xf 80 ms", 48000, 32, 8, 50 * scale, xfade=True, floats=True),
        Job("4 x 50 s, 6 channels 32-bit float 48 kHz, lvl -6", 48000, 32, 4, 50 * scale, level=-6, channels=6,
            floats=True),
    ]

    os.makedirs(args.scratch, exist_ok=True)
    print("making sources ...", flush=True)
    for job in jobs:
        for i, source in enumerate(job.sources()):
            path = os.path.join(args.scratch, source)
            if not os.path.exists(path):
                bits = f"{job.bits}f" if job.floats else str(job.bits)
                subprocess.run([tone, path, str(job.rate), bits, str(job.channels), f"{job.seconds:g}",
                                str(220 + 37 * i), "0.7"], check=True, stdout=subprocess.DEVNULL)

    def workdir(job):
        d = os.path.join(args.scratch, job.name.replace(" ", "_").replace(",", "").replace("(", "").replace(")", ""))
        os.makedirs(d, exist_ok=True)
        for source in job.sources():
            link = os.path.join(d, source)
            if not os.path.exists(link):
                os.symlink(os.path.join(args.scratch, source), link)
        with open(os.path.join(d, "task.txt"), "w") as f:
            f.write(job.task())
        with open(os.path.join(d, "baseline.txt"), "w") as f:
            f.write(job.task("base.wav"))
        return d

    dirs = {job.name: workdir(job) for job in jobs}
    tools = ("cp", "sox", "wavsplice") + (("baseline",) if args.baseline else ())
    times = {(job.name, tool): [] for job in jobs for tool in tools}
    peaks = {key: 0 for key in times}
    refused = set()  # jobs the baseline cannot do
    differs = set()  # jobs whose baseline output differs, as --may-differ allows

    # The first round warms the page cache and is not counted.
    for round_number in range(args.rounds + 1):
        print(f"round {round_number}{' (warm-up)' if round_number == 0 else ''} ...", flush=True)
        for job in jobs:
            d = dirs[job.name]
            commands = {
                "wavsplice": [wavsplice, "task.txt"],
                "baseline": [os.path.abspath(args.baseline or "none"), "baseline.txt"],
                "sox": job.sox(),
                "cp": ["cp", "model.wav", "floor.wav"],
            }
            # The warm-up runs wavsplice first: cp copies a file of the size of
            # its output. After it, every tool takes each place in the order in
            # turn, so that none always runs first after the previous job.
            order = ("wavsplice", "sox", "cp", "baseline")[:len(tools)]
            shift = round_number % len(order)
            for tool in order[shift:] + order[:shift]:
                if tool == "baseline" and job.name in refused:
                    continue
                if tool == "cp" and not os.path.exists(os.path.join(d, "model.wav")):
                    # cp copies a file of the destination's size.
                    shutil.copyfile(os.path.join(d, "ours.wav"), os.path.join(d, "model.wav"))
                output = {"wavsplice": "ours.wav", "baseline": "base.wav", "sox": "theirs.wav", "cp": "floor.wav"}[tool]
                if os.path.exists(os.path.join(d, output)):
                    os.remove(os.path.join(d, output))
                # Write back what earlier commands left dirty, so that no command
                # is throttled by another's writes.
                os.sync()
                measured = run(commands[tool], d, may_refuse=tool == "baseline" and round_number == 0)
                if measured is None:
                    refused.add(job.name)
                    continue
                seconds, peak = measured
                if round_number > 0:
                    times[(job.name, tool)].append(seconds)
                    peaks[(job.name, tool)] = max(peaks[(job.name, tool)], peak)
                if tool == "baseline" and round_number == 0:
                    # In the warm-up wavsplice runs first: its output is there.
                    if not filecmp.cmp(os.path.join(d, "ours.wav"), os.path.join(d, "base.wav"), shallow=False):
                        if not any(text in job.name for text in args.may_differ):
                            sys.exit(f"bench: {job.name}: the baseline's output differs from this build's")
                        differs.add(job.name)
            # Check the outputs of this round.
            channels, rate, bits, data_start, size, code = wav_format(os.path.join(d, "ours.wav"))
            frame = bits // 8 * channels
            if ((channels, rate, bits, code) != (job.channels, job.rate, job.bits, 3 if job.floats else 1)
                    or size != job.frames() * frame):
                sys.exit(f"bench: {job.name}: wrong output format or length")
            if os.path.getsize(os.path.join(d, "ours.wav")) != data_start + size:
                sys.exit(f"bench: {job.name}: output file longer than its header says")
            # sox carries floats through 32-bit integers, which rounds the
            # smallest of them: only integer outputs must match it exactly.
            if round_number == 0 and job.level is None and not job.xfade and not job.floats:
                if not same_samples(os.path.join(d, "ours.wav"), os.path.join(d, "theirs.wav")):
                    sys.exit(f"bench: {job.name}: sample data differs from sox's")
            # Outputs go once checked: a page cache full of old outputs makes
            # whichever command runs next reclaim memory while it writes.
            for name in ("ours.wav", "theirs.wav", "floor.wav", "base.wav"):
                if os.path.exists(os.path.join(d, name)):
                    os.remove(os.path.join(d, name))

    # cp's inputs take gigabytes; the sources stay for the next run.
    for d in dirs.values():
        for name in ("model.wav",):
            if os.path.exists(os.path.join(d, name)):
                os.remove(os.path.join(d, name))

    cpu = "unknown CPU"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    print()
    print(f"Machine: {os.cpu_count()} cores, {cpu}, Linux {platform.release()}; "
          f"{args.rounds} rounds after a warm-up, warm page cache; medians.")
    print()
    print("| job | MB | tool | seconds | MB/s | × cp | sox ÷ tool | peak RSS MiB |")
    print("|---|---:|---|---:|---:|---:|---:|---:|")
    for job in jobs:
        megabytes = (44 + job.frames() * job.bits // 8 * job.channels) / 1e6
        cp = statistics.median(times[(job.name, "cp")])
        sox = statistics.median(times[(job.name, "sox")])
        for tool in tools:
            if not times[(job.name, tool)]:
                print(f"| {job.name} | {megabytes:.0f} | {tool} | cannot | | | | |")
                continue
            t = statistics.median(times[(job.name, tool)])
            name = tool + (" (other bytes)" if tool == "baseline" and job.name in differs else "")
            print(f"| {job.name} | {megabytes:.0f} | {name} | {t:.3f} | {megabytes / t:.0f} | {t / cp:.2f} | "
                  f"{sox / t:.2f} | {peaks[(job.name, tool)] / 1024:.1f} |")


if __name__ == "__main__":
    main()
