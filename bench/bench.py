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
                   [--sets splice,block-sharing,render-farm,loudness,plot] [--loudnorm-rounds N]
                   [--jobs REGEX]

--quick scales every job down (for trying the script, not for numbers).
--baseline runs another build of wavsplice in the same rounds (an earlier
version, to measure a change under the same conditions). --jobs times only the
splice jobs whose names match a regular expression (and makes only their
sources).

A second set times master edits (trim, patch, cuts) on a 3-hour BWF master
with and without --align, against cp --reflink=always and --reflink=never:
on an XFS image mounted through a loop device (as root, with xfsprogs) and
on the scratch directory's own file system.

The loudness set (--sets loudness) times what loudness costs: the long job
with and without --loudness against ffmpeg's ebur128 filter reading the
destination; and "loud -16" on the podcast job and the long job against
ffmpeg's two-pass loudnorm (a measuring pass, then linear=true with the
measured values) over the same programme, every result measured back by
ffmpeg's ebur128 filter. The long job's loudnorm takes minutes a pass: it
gets --loudnorm-rounds rounds (1 by default).

The picture set (--sets plot) times --plot on the long jobs (plain, and at
lvl -6) against cat reading the same source ranges to /dev/null: a check
with and without the picture, a run with and without it.
"""
import argparse
import ctypes
import filecmp
from fractions import Fraction
import json
import math
import os
import platform
import re
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

    def make_sources(self, tone, scratch):
        for i, source in enumerate(self.sources()):
            path = os.path.join(scratch, source)
            if not os.path.exists(path):
                bits = f"{self.bits}f" if self.floats else str(self.bits)
                subprocess.run([tone, path, str(self.rate), bits, str(self.channels), f"{self.seconds:g}",
                                str(220 + 37 * i), "0.7"], check=True, stdout=subprocess.DEVNULL)

    def ffmpeg(self):
        """ffmpeg's command line for the job, where it is timed too."""
        return None

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


class PodcastJob(Job):
    """A podcast episode: a jingle faded out, a music bed that fades in and
    out, the host's intro laid over the bed with the bed ducked 12 dB along
    the voice's fades, the interview, and an outro crossfaded in and faded
    out, with a marker at every part. sox and ffmpeg get the closest command
    lines they have (sox has no volume automation: its bed is cut into three
    pieces with the middle one 12 dB down; neither writes markers into WAV)."""

    def __init__(self, name, scale):
        super().__init__(name, 48000, 24, 4, 300 * scale)
        self.k = Fraction(scale).limit_denominator(1000)
        self.parts = {"pod-jingle.wav": 5, "pod-bed.wav": 60, "pod-voice.wav": 300, "pod-outro.wav": 20}
        self.prefix = f"podcast-{float(self.k):g}"

    def t(self, seconds):
        """A time of the episode at this scale, as the task file writes it."""
        return f"{float(self.k * Fraction(seconds)):g}"

    def ms(self, seconds):
        """A fade's width at this scale, in milliseconds."""
        return f"{float(self.k * Fraction(seconds) * 1000):g}"

    def sources(self):
        return [f"{self.prefix}-{name}" for name in self.parts]

    def make_sources(self, tone, scratch):
        for i, (name, seconds) in enumerate(self.parts.items()):
            path = os.path.join(scratch, f"{self.prefix}-{name}")
            if not os.path.exists(path):
                subprocess.run([tone, path, "48000", "24", "2", self.t(seconds), str(330 + 110 * i), "0.6"],
                               check=True, stdout=subprocess.DEVNULL)

    def length(self, seconds):
        return int(Fraction(self.t(seconds)) * 48000)

    def frames(self):
        outro_insert = int((Fraction(self.t(65)) + Fraction(self.t(280)) - Fraction(self.t(60))) * 48000)
        return max(self.length(5), self.length(5) + self.length(60), outro_insert + self.length(20) - 12000)

    def task(self, destination="ours.wav"):
        jingle, bed, voice, outro = self.sources()
        return "\n".join([
            f"src\t{jingle}", f"fout\t{self.ms(0.3)}", "mark\tJingle",
            f"src\t{bed}", f"ins\t{self.t(5)}", f"fin\t{self.ms(1)}", f"fout\t{self.ms(3)}",
            f"src\t{voice}", f"ins\t{self.t(8)}", f"xout\t{self.t(50)}", "mix\t-12", f"fin\t{self.ms(0.2)}",
            f"fout\t{self.ms(0.2)}",
            "mark\tIntro",
            f"src\t{voice}", f"ins\t{self.t(65)}", f"xin\t{self.t(60)}", f"xout\t{self.t(280)}", "mark\tInterview",
            f"src\t{outro}", "xin\t0.25", "xf\t500\t1", f"fout\t{self.ms(2)}", "mark\tOutro",
            f"dest\t{destination}"]) + "\n"

    def sox(self):
        jingle, bed, voice, outro = self.sources()
        t = self.t
        outro_at = f"{float(Fraction(t(285)) - Fraction('0.25')):g}"
        script = " && ".join([
            f"sox {jingle} j.wav fade t 0 {t(5)} {t(0.3)}",
            f"sox {bed} b0.wav trim 0 {t(3)} fade t {t(1)} {t(3)} 0",
            f"sox {bed} b1.wav trim {t(3)} {t(50)} vol -12dB",
            f"sox {bed} b2.wav trim {t(53)} {t(7)} fade t 0 {t(7)} {t(3)}",
            f"sox b0.wav b1.wav b2.wav b.wav pad {t(5)}",
            f"sox {voice} v.wav trim 0 {t(50)} fade t {t(0.2)} {t(50)} {t(0.2)} pad {t(8)}",
            f"sox {voice} i.wav trim {t(60)} {t(220)} fade t 0 {t(220)} 0.25 pad {t(65)}",
            f"sox {outro} o.wav fade t 0.5 {t(20)} {t(2)} pad {outro_at}",
            "sox -m -v 1 j.wav -v 1 b.wav -v 1 v.wav -v 1 i.wav -v 1 o.wav theirs.wav",
            "rm j.wav b0.wav b1.wav b2.wav b.wav v.wav i.wav o.wav"])
        return ["sh", "-c", script]

    def ffmpeg(self):
        jingle, bed, voice, outro = self.sources()
        t = self.t
        ms = lambda seconds: f"{float(Fraction(t(seconds)) * 1000):g}"
        outro_ms = f"{float((Fraction(t(285)) - Fraction('0.25')) * 1000):g}"
        graph = ";".join([
            f"[0:a]afade=t=out:st={float(Fraction(t(5)) - Fraction(t(0.3))):g}:d={t(0.3)}[j]",
            f"[1:a]atrim=0:{t(60)},afade=t=in:d={t(1)},afade=t=out:st={t(57)}:d={t(3)},"
            f"volume=volume='1-0.749*between(t,{t(3)},{t(53)})':eval=frame,adelay={ms(5)}:all=1[b]",
            "[2:a]asplit=2[va][vb]",
            f"[va]atrim=0:{t(50)},afade=t=in:d={t(0.2)},afade=t=out:st={t(49.8)}:d={t(0.2)},"
            f"adelay={ms(8)}:all=1[v]",
            f"[vb]atrim={t(60)}:{t(280)},asetpts=PTS-STARTPTS,"
            f"afade=t=out:st={float(Fraction(t(220)) - Fraction('0.25')):g}:d=0.25,adelay={ms(65)}:all=1[i]",
            f"[3:a]afade=t=in:d=0.5,afade=t=out:st={float(Fraction(t(20)) - Fraction(t(2))):g}:d={t(2)},"
            f"adelay={outro_ms}:all=1[o]",
            "[j][b][v][i][o]amix=inputs=5:normalize=0:duration=longest"])
        return ["ffmpeg", "-nostdin", "-v", "error", "-y", "-i", jingle, "-i", bed, "-i", voice, "-i", outro,
                "-filter_complex", graph, "-c:a", "pcm_s24le", "theirs.wav"]


FS_IOC_FIEMAP = 0xC020660B
FIEMAP_FLAG_SYNC = 0x1
FIEMAP_EXTENT_LAST = 0x1
FIEMAP_EXTENT_SHARED = 0x2000


def shared_bytes(path):
    """Bytes of the file in extents the file system marks as shared (FIEMAP),
    after its data is written out; 0 where the file system cannot say."""
    import fcntl
    shared, start = 0, 0
    with open(path, "rb") as f:
        while True:
            count = 512
            request = bytearray(struct.pack("<QQIIII", start, (1 << 64) - 1 - start, FIEMAP_FLAG_SYNC, 0, count, 0))
            request += bytes(56 * count)
            try:
                fcntl.ioctl(f.fileno(), FS_IOC_FIEMAP, request)
            except OSError:
                return 0
            mapped = struct.unpack_from("<I", request, 20)[0]
            if mapped == 0:
                return shared
            for i in range(mapped):
                logical, _, length = struct.unpack_from("<QQQ", request, 32 + 56 * i)
                flags = struct.unpack_from("<I", request, 32 + 56 * i + 40)[0]
                if flags & FIEMAP_EXTENT_SHARED:
                    shared += length
                start = logical + length
                if flags & FIEMAP_EXTENT_LAST:
                    return shared


def make_bwf_master(tone, path, seconds):
    """A broadcast wave master as archives hold them: 48 kHz 24-bit stereo,
    RF64 past 2 GB, a bext chunk before the samples (so they start at byte
    728, not 44). Made from a tone file, which goes afterwards."""
    # A tone file is a RIFF file, at most 2 GB: the master repeats one of at
    # most an hour.
    plain = path + ".tone.wav"
    pieces = max(1, int(-(-seconds // 3600)))
    subprocess.run([tone, plain, "48000", "24", "2", f"{seconds / pieces:g}", "440", "0.5"], check=True,
                   stdout=subprocess.DEVNULL)
    data = (os.path.getsize(plain) - 44) * pieces
    history = b"A=ANALOGUE,M=stereo,T=tape\r\nA=PCM,F=48000,W=24,M=stereo,T=transfer\r\n"
    bext = bytearray(602) + history
    bext[0:11] = b"Bench reel "
    bext[338:346] = struct.pack("<Q", 48000 * 3600)
    chunks = (b"fmt " + struct.pack("<IHHIIHH", 16, 1, 2, 48000, 48000 * 6, 6, 24)
              + b"bext" + struct.pack("<I", len(bext)) + bytes(bext))
    riff = 4 + 36 + len(chunks) + 8 + data
    head = (b"RF64" + struct.pack("<I", 0xFFFFFFFF) + b"WAVE" + b"ds64" + struct.pack("<IQQQI", 28, riff, data, data // 6, 0)
            + chunks + b"data" + struct.pack("<I", 0xFFFFFFFF))
    with open(plain, "rb") as source, open(path, "wb") as out:
        out.write(head)
        for _ in range(pieces):
            source.seek(44)
            shutil.copyfileobj(source, out, 1 << 24)
    os.remove(plain)


def sharing_jobs(seconds):
    """The master edits block sharing is for, as task files on master.wav."""
    whole_blocks = 71680  # frames: 430,080 bytes, 105 blocks of 4096

    # Times a double holds exactly, written out in full, so that a build that
    # multiplies in doubles lands on the same frames and can be compared.
    def exact(t):
        return f"{t:.6f}".rstrip("0").rstrip(".")

    return [
        ("trim head and tail", f"src\tmaster.wav\nxin\t95.5\nxout\t{exact(seconds - 100.25)}\n"),
        ("2 s patch", "src\tmaster.wav\nsrc\tpatch.wav\nins\t" + f"{exact(seconds / 2 + 0.375)}\n"),
        ("1.5 s cut", f"src\tmaster.wav\nxout\t{exact(seconds / 3)}\nsrc\tmaster.wav\nxin\t{exact(seconds / 3 + 1.5)}\n"),
        (f"cut of {whole_blocks} frames (whole blocks)",
         f"using_samples\nsrc\tmaster.wav\nxout\t{int(seconds / 3) * 48000}\nsrc\tmaster.wav\n"
         f"xin\t{int(seconds / 3) * 48000 + whole_blocks}\n"),
    ]


def mount_xfs(scratch):
    """An XFS file system with reflink on an image file in scratch, mounted
    through a loop device; its mount point, or None where that cannot be done
    (not root, no mkfs.xfs, the mount refused)."""
    if os.geteuid() != 0 or shutil.which("mkfs.xfs") is None:
        return None
    image, point = os.path.join(scratch, "xfs.img"), os.path.join(scratch, "xfs-mnt")
    os.makedirs(point, exist_ok=True)
    if not os.path.exists(image):
        with open(image, "wb") as f:
            f.truncate(12 << 30)  # sparse: the master, a full copy and room
        if subprocess.run(["mkfs.xfs", "-q", "-m", "reflink=1", image]).returncode != 0:
            os.remove(image)
            return None
    if subprocess.run(["mount", "-o", "loop", image, point]).returncode != 0:
        return None
    return point


def file_system_type(path):
    found = subprocess.run(["findmnt", "-n", "-o", "FSTYPE", "-T", path], capture_output=True, text=True)
    if found.returncode == 0 and found.stdout.strip():
        return found.stdout.strip()
    return subprocess.run(["stat", "-f", "-c", "%T", path], capture_output=True, text=True).stdout.strip()


def bench_block_sharing(args, wavsplice, tone, scale):
    """Master edits on XFS (where one can be mounted) and on the scratch
    directory's own file system: wavsplice with and without --align (and the
    baseline), against cp --reflink=always and --reflink=never of the master.
    Returns the table's rows."""
    seconds = 3 * 3600 * scale
    xfs = mount_xfs(args.scratch)
    places = ([("xfs", xfs)] if xfs else []) + [(file_system_type(args.scratch), os.path.join(args.scratch, "sharing"))]
    if not xfs:
        print("block sharing: no XFS could be mounted (root and xfsprogs needed); only the scratch file system is timed")
    rows = []
    try:
        for fs, place in places:
            os.makedirs(place, exist_ok=True)
            master = os.path.join(place, "master.wav")
            if not os.path.exists(master) or wav_format(master)[4] != int(seconds * 48000) * 6:
                print(f"making a {seconds / 3600:g}-hour master on {fs} ...", flush=True)
                make_bwf_master(tone, master, seconds)
            if not os.path.exists(os.path.join(place, "patch.wav")):
                subprocess.run([tone, os.path.join(place, "patch.wav"), "48000", "24", "2", "2", "660", "0.5"],
                               check=True, stdout=subprocess.DEVNULL)
            jobs = sharing_jobs(seconds)
            for i, (_, task) in enumerate(jobs):
                for name, dest in (("task", "ours.wav"), ("base", "base.wav")):
                    with open(os.path.join(place, f"{name}{i}.txt"), "w") as f:
                        f.write(task + f"dest\t{dest}\n")
            tools = ["wavsplice", "wavsplice --align"] + (["baseline"] if args.baseline else [])
            tools += (["cp --reflink=always"] if fs == "xfs" else []) + ["cp --reflink=never"]
            times = {(job, tool): [] for job, _ in jobs for tool in tools}
            copied = {}
            for round_number in range(args.rounds + 1):
                print(f"block sharing on {fs}, round {round_number}{' (warm-up)' if round_number == 0 else ''} ...",
                      flush=True)
                for i, (job, _) in enumerate(jobs):
                    commands = {
                        "wavsplice": ([wavsplice, f"task{i}.txt"], "ours.wav"),
                        "wavsplice --align": ([wavsplice, "--align", f"task{i}.txt"], "ours.wav"),
                        "baseline": ([os.path.abspath(args.baseline or "none"), f"base{i}.txt"], "base.wav"),
                        "cp --reflink=always": (["cp", "--reflink=always", "master.wav", "floor.wav"], "floor.wav"),
                        "cp --reflink=never": (["cp", "--reflink=never", "master.wav", "floor.wav"], "floor.wav"),
                    }
                    shift = round_number % len(tools)
                    plain_output = None
                    for tool in tools[shift:] + tools[:shift]:
                        command, output = commands[tool]
                        os.sync()
                        seconds_taken, _ = run(command, place)
                        if round_number > 0:
                            times[(job, tool)].append(seconds_taken)
                        out = os.path.join(place, output)
                        if round_number == 0 and tool.startswith("wavsplice"):
                            size = wav_format(out)[4]
                            copied[(job, tool)] = 1 - shared_bytes(out) / size
                            # --align changes the header only.
                            if tool == "wavsplice":
                                plain_output = out + ".plain"
                                os.rename(out, plain_output)
                                continue
                            if plain_output and os.path.exists(plain_output):
                                if not same_samples(out, plain_output):
                                    sys.exit(f"bench: {job} on {fs}: --align changed the samples")
                        if round_number == 0 and tool == "baseline" and plain_output and os.path.exists(plain_output):
                            if not filecmp.cmp(out, plain_output, shallow=False) and \
                                    not any(text in job for text in args.may_differ):
                                sys.exit(f"bench: {job} on {fs}: the baseline's output differs from this build's")
                        os.remove(out)
                    if plain_output and os.path.exists(plain_output):
                        os.remove(plain_output)
            floor = ("cp --reflink=always" if fs == "xfs" else "cp --reflink=never")
            for job, _ in jobs:
                reference = statistics.median(times[(job, floor)])
                for tool in tools:
                    t = statistics.median(times[(job, tool)])
                    share = f"{100 * copied[(job, tool)]:.2f} %" if (job, tool) in copied else ""
                    rows.append(f"| {fs} | {job} | {tool} | {t:.3f} | {t / reference:.2f} | {share} |")
    finally:
        if xfs:
            subprocess.run(["umount", xfs])
    return rows


def bench_render_farm(args, wavsplice, job, tasks=40):
    """Task files per second through examples/render.sh (GNU parallel, --json
    --update) with 1, 2 and 4 runs at once, each task file the given job in a
    folder of its own; every one rendered in every round, and up to date
    after. Returns the table's rows."""
    if shutil.which("parallel") is None:
        print("render farm: GNU parallel not installed; not timed")
        return []
    night = os.path.join(args.scratch, "render-night")
    shutil.rmtree(night, ignore_errors=True)
    task = job.task("out.wav")
    for source in job.sources():
        task = task.replace(f"src\t{source}\n", f"src\t{os.path.join(args.scratch, source)}\n")
    for i in range(tasks):
        folder = os.path.join(night, f"t{i:03d}")
        os.makedirs(folder)
        with open(os.path.join(folder, "task.txt"), "w") as f:
            f.write(task)
    render = os.path.join(ROOT, "examples", "render.sh")
    env = dict(os.environ, WAVSPLICE=wavsplice)
    rows = []
    for runs in (1, 2, 4):
        times = []
        for round_number in range(args.rounds + 1):
            for i in range(tasks):
                out = os.path.join(night, f"t{i:03d}", "out.wav")
                if os.path.exists(out):
                    os.remove(out)
            os.sync()
            start = time.perf_counter()
            # GNU parallel takes further options from $PARALLEL.
            done = subprocess.run(["bash", render, night], env=dict(env, PARALLEL=f"--jobs {runs}"),
                                  capture_output=True, text=True)
            elapsed = time.perf_counter() - start
            lines = done.stdout.splitlines()
            if done.returncode != 0 or len(lines) != tasks or any('"mode":"run"' not in line for line in lines):
                sys.exit("bench: a render-farm task failed")
            if round_number > 0:
                times.append(elapsed)
        t = statistics.median(times)
        rows.append(f"| {job.name} | {runs} | {tasks} | {t:.3f} | {tasks / t:.1f} |")
    # The check that render.sh itself gives the same: every task up to date now.
    lines = subprocess.run(["bash", render, night], env=env, capture_output=True, text=True).stdout.splitlines()
    if len(lines) != tasks or any('"mode":"up to date"' not in line for line in lines):
        sys.exit("bench: render.sh did not find every task up to date")
    shutil.rmtree(night)
    return rows


def ffmpeg_loudness(path, cwd):
    """ffmpeg's ebur128 filter on a file: (integrated LUFS, true peak dBTP),
    the integrated loudness at the full precision of its metadata (its summary
    rounds to one decimal)."""
    done = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-af",
                           "ebur128=peak=true:metadata=1,ametadata=mode=print:file=-", "-f", "null", "-"],
                          cwd=cwd, capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"bench: ffmpeg could not measure {path}: {done.stderr}")
    last = {}
    for line in done.stdout.splitlines():
        if line.startswith("lavfi.r128.") and "=" in line:
            key, value = line[len("lavfi.r128."):].split("=", 1)
            last[key] = float(value)
    peak = last.get("true_peak", 0.0)
    return last["I"], (20 * math.log10(peak) if peak > 0 else float("-inf"))


def timed(cmd, cwd):
    """Runs cmd in cwd; (seconds, its standard error). Any failure ends the bench."""
    start = time.perf_counter()
    done = subprocess.run(cmd, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                          text=True)
    elapsed = time.perf_counter() - start
    if done.returncode != 0:
        sys.exit(f"bench: {' '.join(cmd)} failed with status {done.returncode}: {done.stderr[-2000:]}")
    return elapsed, done.stderr


def loudnorm_two_pass(source, output, cwd, target=-16.0, ceiling=-1.0):
    """ffmpeg's two-pass loudnorm of a 48 kHz 24-bit file: the measuring pass
    (print_format=json), then the pass that applies it (linear=true with the
    measured values; loudnorm works at 192 kHz, the output is brought back to
    48 kHz). (seconds of both passes, whether the second stayed linear)."""
    base = f"loudnorm=I={target}:TP={ceiling}:LRA=50"
    first, said = timed(["ffmpeg", "-nostdin", "-hide_banner", "-i", source, "-af", base + ":print_format=json",
                         "-f", "null", "-"], cwd)
    measured = json.loads(said[said.rindex("{"):said.rindex("}") + 1])
    second, said = timed(["ffmpeg", "-nostdin", "-hide_banner", "-y", "-i", source, "-af",
                          f"{base}:measured_I={measured['input_i']}:measured_LRA={measured['input_lra']}"
                          f":measured_TP={measured['input_tp']}:measured_thresh={measured['input_thresh']}"
                          f":offset={measured['target_offset']}:linear=true:print_format=summary",
                          "-ar", "48000", "-c:a", "pcm_s24le", output], cwd)
    return first + second, "Normalization Type:   Linear" in said or "Normalization Type: Linear" in said


def bench_loudness(args, wavsplice, long_job, podcast):
    """What loudness costs. (1) The long job: wavsplice alone, with
    --loudness (the time it adds against the budget of 1/300 of the
    programme's duration), and ffmpeg's ebur128 filter reading the
    destination. (2) "loud -16" on the podcast job and the long job, against
    ffmpeg's two-pass loudnorm over the same programme (built once by
    wavsplice, not timed: the peer's time is its two passes alone), each
    result measured back by ffmpeg's ebur128 filter, which must find it
    within 0.1 LU of the target. Returns the two tables' rows."""
    if shutil.which("ffmpeg") is None:
        print("loudness: ffmpeg not installed; not timed")
        return [], []
    work = os.path.join(args.scratch, "loudness")
    os.makedirs(work, exist_ok=True)
    for job in (long_job, podcast):
        for source in job.sources():
            link = os.path.join(work, source)
            if not os.path.exists(link):
                os.symlink(os.path.join(args.scratch, source), link)

    def remove(*names):
        for name in names:
            if os.path.exists(os.path.join(work, name)):
                os.remove(os.path.join(work, name))

    # (1) Measuring: the same task with and without --loudness, and ffmpeg
    # reading what it built.
    with open(os.path.join(work, "long.txt"), "w") as f:
        f.write(long_job.task("ours.wav"))
    tools = ("wavsplice", "wavsplice --loudness", "ffmpeg ebur128")
    times = {tool: [] for tool in tools}
    for round_number in range(args.rounds + 1):
        print(f"loudness: measuring, round {round_number}{' (warm-up)' if round_number == 0 else ''} ...", flush=True)
        shift = round_number % 2
        for tool in (tools[:2][shift:] + tools[:2][:shift]):
            remove("ours.wav")
            os.sync()
            command = [wavsplice] + (["--loudness"] if tool.endswith("--loudness") else []) + ["long.txt"]
            if tool.endswith("--loudness") and round_number == 0:
                # Once: what it measures, against ffmpeg's reading.
                said = subprocess.run([wavsplice, "--json", "--loudness", "long.txt"], cwd=work,
                                      capture_output=True, text=True)
                ours = json.loads(said.stdout)["destination"]["loudness"]["integrated_lufs"]
                theirs, _ = ffmpeg_loudness("ours.wav", work)
                if abs(ours - theirs) > 0.1:
                    sys.exit(f"bench: --loudness says {ours} LUFS, ffmpeg {theirs}")
                remove("ours.wav")
                os.sync()
            seconds, _ = run(command, work)
            if round_number > 0:
                times[tool].append(seconds)
        # ffmpeg reads the destination the last run built, from the page cache.
        os.sync()
        seconds, _ = timed(["ffmpeg", "-nostdin", "-v", "error", "-i", "ours.wav", "-af", "ebur128=peak=true",
                            "-f", "null", "-"], work)
        if round_number > 0:
            times["ffmpeg ebur128"].append(seconds)
        remove("ours.wav")
    duration = long_job.frames() / long_job.rate
    plain = statistics.median(times["wavsplice"])
    measured = statistics.median(times["wavsplice --loudness"])
    ffmpeg = statistics.median(times["ffmpeg ebur128"])
    measuring_rows = [f"| {long_job.name} | {duration:.0f} | {plain:.3f} | {measured:.3f} | {measured - plain:.3f} | "
                      f"{duration / 300:.1f} | {ffmpeg:.3f} | {measured / ffmpeg:.3f} |"]

    # (2) A target: loud -16, against loudnorm's two passes.
    target_rows = []
    for job in (podcast, long_job):
        with open(os.path.join(work, "plain.txt"), "w") as f:
            f.write(job.task("plain.wav"))
        with open(os.path.join(work, "loud.txt"), "w") as f:
            f.write(job.task("ours.wav") + "loud\t-16\n")
        subprocess.run([wavsplice, "plain.txt"], cwd=work, check=True, stdout=subprocess.DEVNULL)
        rounds = max(1, args.loudnorm_rounds if job is long_job else args.rounds)
        ours_times, theirs_times, linear = [], [], True
        for round_number in range(rounds + 1):
            print(f"loudness: loud -16, {job.name}, round {round_number}"
                  f"{' (warm-up)' if round_number == 0 else ''} ...", flush=True)
            remove("ours.wav", "theirs.wav")
            os.sync()
            seconds, _ = run([wavsplice, "loud.txt"], work)
            if round_number > 0:
                ours_times.append(seconds)
            # The long job's loudnorm takes minutes a pass: no warm-up round
            # (the programme it reads is in the page cache, as wavsplice's
            # sources are).
            if round_number == 0 and job is long_job:
                continue
            os.sync()
            seconds, stayed_linear = loudnorm_two_pass("plain.wav", "theirs.wav", work)
            linear = linear and stayed_linear
            if round_number > 0:
                theirs_times.append(seconds)
        # The last round's results, measured back.
        ours_level, ours_peak = ffmpeg_loudness("ours.wav", work)
        theirs_level, theirs_peak = ffmpeg_loudness("theirs.wav", work)
        if abs(ours_level + 16) > 0.1:
            sys.exit(f"bench: {job.name}: loud -16 measures {ours_level} LUFS by ffmpeg")
        remove("ours.wav", "theirs.wav", "plain.wav")
        ours_t, theirs_t = statistics.median(ours_times), statistics.median(theirs_times)
        target_rows.append(f"| {job.name} | wavsplice loud -16 | {ours_t:.3f} | {theirs_t / ours_t:.1f} | "
                           f"{ours_level:.3f} | {ours_peak:.2f} |")
        target_rows.append(f"| {job.name} | ffmpeg loudnorm, two passes{'' if linear else ' (went dynamic)'} | "
                           f"{theirs_t:.3f} | | {theirs_level:.3f} | {theirs_peak:.2f} |")
    return measuring_rows, target_rows


def as_if_from_disk(paths):
    """Takes the files' pages out of the page cache, so that the next reader
    reads them in through the kernel's readahead, as it reads any file not
    just written. How a file came into the page cache decides how fast it is
    copied from there: wavsplice-tone writes 24 KiB at a time, and a file
    written so stays in small pieces of memory, which the 64 x 2 s job's
    sources spliced from 30 % slower than from the same files read back; cp's
    model, written in one copy, is held in large pieces. Both sides of every
    comparison read their inputs as read from disk."""
    for path in paths:
        fd = os.open(path, os.O_RDONLY)
        try:
            os.fsync(fd)
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        finally:
            os.close(fd)


def make_resident(paths):
    """Reads back into the page cache whatever of the files the system has
    taken out of it since they were last read. This virtual machine's host
    takes memory not used for a while back (a DAMON "pageout" scheme): pages
    of a job's sources went between rounds, and whichever tool ran next read
    them from the disk. Only the missing runs of pages are read (mincore
    finds them), so a file all in the page cache costs a look."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.mmap.restype = ctypes.c_void_p
    libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_long]
    libc.munmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
    libc.mincore.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p]
    page = os.sysconf("SC_PAGE_SIZE")
    for path in paths:
        size = os.path.getsize(path)
        if size == 0:
            continue
        fd = os.open(path, os.O_RDONLY)
        try:
            address = libc.mmap(None, size, 1, 1, fd, 0)  # PROT_READ, MAP_SHARED
            if address is None or address == ctypes.c_void_p(-1).value:
                continue
            pages = (size + page - 1) // page
            resident = (ctypes.c_ubyte * pages)()
            status = libc.mincore(address, size, resident)
            libc.munmap(address, size)
            if status != 0:
                continue
            first = None
            for i in range(pages + 1):
                if i < pages and not resident[i] & 1:
                    first = i if first is None else first
                elif first is not None:
                    offset = first * page
                    while offset < min(i * page, size):
                        got = os.pread(fd, min(i * page, size) - offset, offset)
                        if not got:
                            break
                        offset += len(got)
                    first = None
        finally:
            os.close(fd)


def job_folder(scratch, prefix, job):
    """A folder of the job's own under the scratch directory, its sources
    linked in and its task file (destination ours.wav) written."""
    folder = os.path.join(scratch, prefix + job.name.replace(" ", "_").replace(",", "").replace("(", "")
                          .replace(")", ""))
    os.makedirs(folder, exist_ok=True)
    for source in job.sources():
        link = os.path.join(folder, source)
        if not os.path.exists(link):
            os.symlink(os.path.join(scratch, source), link)
    with open(os.path.join(folder, "task.txt"), "w") as f:
        f.write(job.task("ours.wav"))
    return folder


def bench_plot(args, wavsplice, plot_jobs):
    """What --plot costs, against cat reading the jobs' sources (warm page
    cache): the check alone and with the picture, the run alone and with the
    picture. Every picture must be valid XML (xmllint, where installed).
    Returns the table's rows."""
    rows = []
    for job in plot_jobs:
        work = job_folder(args.scratch, "plot-", job)
        commands = {
            "cat": ["sh", "-c", "cat " + " ".join(job.sources()) + " > /dev/null"],
            "check": [wavsplice, "--check", "task.txt"],
            "check --plot": [wavsplice, "--check", "--plot", "check.svg", "task.txt"],
            "run": [wavsplice, "task.txt"],
            "run --plot": [wavsplice, "--plot", "run.svg", "task.txt"],
        }
        times = {tool: [] for tool in commands}
        for round_number in range(args.rounds + 1):
            print(f"plot: {job.name}, round {round_number}{' (warm-up)' if round_number == 0 else ''} ...",
                  flush=True)
            order = list(commands)
            shift = round_number % len(order)
            for tool in order[shift:] + order[:shift]:
                for name in ("ours.wav", "check.svg", "run.svg"):
                    if os.path.exists(os.path.join(work, name)):
                        os.remove(os.path.join(work, name))
                os.sync()
                start = time.perf_counter()
                done = subprocess.run(commands[tool], cwd=work, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
                seconds = time.perf_counter() - start
                if done.returncode != 0:
                    sys.exit(f"bench: {job.name}: {tool} failed: {done.stderr.decode()}")
                picture = "check.svg" if tool == "check --plot" else "run.svg" if tool == "run --plot" else None
                if picture and round_number == 0 and shutil.which("xmllint"):
                    subprocess.run(["xmllint", "--noout", picture], cwd=work, check=True)
                if round_number > 0:
                    times[tool].append(seconds)
        for name in ("ours.wav", "check.svg", "run.svg"):
            if os.path.exists(os.path.join(work, name)):
                os.remove(os.path.join(work, name))
        t = {tool: statistics.median(times[tool]) for tool in commands}
        rows.append(f"| {job.name} | {t['cat']:.3f} | {t['check']:.3f} | {t['check --plot']:.3f} | "
                    f"{t['check --plot'] / t['cat']:.2f} | {t['run']:.3f} | {t['run --plot']:.3f} | "
                    f"{(t['run --plot'] - t['run']) / t['cat']:.2f} |")
    return rows


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
    parser.add_argument("--sets", default="splice,block-sharing,render-farm",
                        help="which sets to time: splice (the jobs against cp, sox and ffmpeg), block-sharing "
                             "(master edits on XFS and the scratch file system), render-farm (task files per second), "
                             "loudness (--loudness and loud against ffmpeg's ebur128 and two-pass loudnorm), "
                             "plot (--plot on the long jobs against cat reading their sources)")
    parser.add_argument("--loudnorm-rounds", type=int, default=1,
                        help="rounds of ffmpeg's two-pass loudnorm on the long job (minutes each)")
    parser.add_argument("--jobs", metavar="REGEX",
                        help="time only the splice jobs whose names match this regular expression (re.search)")
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
        PodcastJob("podcast 305 s (bed, ducking, fades, markers), 24-bit 48 kHz", scale),
    ]
    sets = args.sets.split(",")
    short = [job for job in jobs if job.name.startswith("64 x 2 s")]
    long_job = next(job for job in jobs if job.name == "6 x 868 s (1.5 GB), 24-bit 48 kHz")
    podcast = next(job for job in jobs if isinstance(job, PodcastJob))
    plot_jobs = [job for job in jobs if job.name.startswith("6 x 868 s")]
    if args.jobs:
        jobs = [job for job in jobs if re.search(args.jobs, job.name)]

    os.makedirs(args.scratch, exist_ok=True)
    print("making sources ...", flush=True)
    for job in jobs if "splice" in sets else short if "render-farm" in sets else []:
        job.make_sources(tone, args.scratch)
    if "loudness" in sets:
        for job in (long_job, podcast):
            job.make_sources(tone, args.scratch)
    if "plot" in sets:
        for job in plot_jobs:
            job.make_sources(tone, args.scratch)
    made = {job.name: job for job in (jobs if "splice" in sets else short if "render-farm" in sets else [])
            + ([long_job, podcast] if "loudness" in sets else []) + (plot_jobs if "plot" in sets else [])}
    as_if_from_disk(sorted({os.path.join(args.scratch, source) for job in made.values() for source in job.sources()}))
    if "splice" not in sets:
        jobs = []

    def workdir(job):
        d = job_folder(args.scratch, "", job)
        with open(os.path.join(d, "baseline.txt"), "w") as f:
            f.write(job.task("base.wav"))
        return d

    dirs = {job.name: workdir(job) for job in jobs}
    tools = ("cp", "sox", "ffmpeg", "wavsplice") + (("baseline",) if args.baseline else ())
    times = {(job.name, tool): [] for job in jobs for tool in tools}
    peaks = {key: 0 for key in times}
    refused = set()  # jobs the baseline cannot do
    differs = set()  # jobs whose baseline output differs, as --may-differ allows

    # The first round warms the page cache and is not counted.
    for round_number in range(args.rounds + 1 if jobs else 0):
        print(f"round {round_number}{' (warm-up)' if round_number == 0 else ''} ...", flush=True)
        for job in jobs:
            d = dirs[job.name]
            commands = {
                "wavsplice": [wavsplice, "task.txt"],
                "baseline": [os.path.abspath(args.baseline or "none"), "baseline.txt"],
                "sox": job.sox(),
                "ffmpeg": job.ffmpeg(),
                "cp": ["cp", "model.wav", "floor.wav"],
            }
            # The warm-up runs wavsplice first: cp copies a file of the size of
            # its output. After it, every tool takes each place in the order in
            # turn, so that none always runs first after the previous job.
            order = ("wavsplice", "sox", "ffmpeg", "cp", "baseline")[:len(tools)]
            shift = round_number % len(order)
            for tool in order[shift:] + order[:shift]:
                if (tool == "baseline" and job.name in refused) or commands[tool] is None:
                    continue
                if tool == "cp" and round_number == 0:
                    # cp copies a file of the destination's size.
                    if not os.path.exists(os.path.join(d, "model.wav")):
                        shutil.copyfile(os.path.join(d, "ours.wav"), os.path.join(d, "model.wav"))
                    as_if_from_disk([os.path.join(d, "model.wav")])
                output = {"wavsplice": "ours.wav", "baseline": "base.wav", "sox": "theirs.wav", "ffmpeg": "theirs.wav",
                          "cp": "floor.wav"}[tool]
                if os.path.exists(os.path.join(d, output)):
                    os.remove(os.path.join(d, output))
                # Every tool finds the inputs in the page cache (from the first
                # round on: the warm-up reads them in).
                if round_number > 0:
                    make_resident([os.path.join(args.scratch, source) for source in job.sources()]
                                  + ([os.path.join(d, "model.wav")] if tool == "cp" else []))
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
                if tool == "baseline":
                    # In the warm-up wavsplice runs first: its output is there.
                    if round_number == 0 and not filecmp.cmp(os.path.join(d, "ours.wav"), os.path.join(d, "base.wav"),
                                                              shallow=False):
                        if not any(text in job.name for text in args.may_differ):
                            sys.exit(f"bench: {job.name}: the baseline's output differs from this build's")
                        differs.add(job.name)
                    # Gone at once, as the other outputs are once checked: two
                    # large outputs in the page cache slow whichever runs next.
                    os.remove(os.path.join(d, "base.wav"))
            # Check the outputs of this round.
            channels, rate, bits, data_start, size, code = wav_format(os.path.join(d, "ours.wav"))
            frame = bits // 8 * channels
            if ((channels, rate, bits, code) != (job.channels, job.rate, job.bits, 3 if job.floats else 1)
                    or size != job.frames() * frame):
                sys.exit(f"bench: {job.name}: wrong output format or length")
            if os.path.getsize(os.path.join(d, "ours.wav")) != data_start + size and not isinstance(job, PodcastJob):
                sys.exit(f"bench: {job.name}: output file longer than its header says")
            # The peers' programme: the same format, and the same length to
            # within a few milliseconds (their fades and trims round their own way).
            if isinstance(job, PodcastJob):
                theirs = wav_format(os.path.join(d, "theirs.wav"))
                if theirs[:3] != (2, 48000, 24) or abs(theirs[4] // 6 - job.frames()) > 480:
                    sys.exit(f"bench: {job.name}: the last peer's programme has another format or length")
            # sox carries floats through 32-bit integers, which rounds the
            # smallest of them: only integer outputs must match it exactly.
            if (round_number == 0 and job.level is None and not job.xfade and not job.floats
                    and not isinstance(job, PodcastJob)):
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
    if jobs:
        print("| job | MB | tool | seconds | MB/s | × cp | sox ÷ tool | peak RSS MiB |")
        print("|---|---:|---|---:|---:|---:|---:|---:|")
    for job in jobs:
        megabytes = (44 + job.frames() * job.bits // 8 * job.channels) / 1e6
        cp = statistics.median(times[(job.name, "cp")])
        sox = statistics.median(times[(job.name, "sox")])
        for tool in tools:
            if tool == "ffmpeg" and job.ffmpeg() is None:
                continue
            if not times[(job.name, tool)]:
                print(f"| {job.name} | {megabytes:.0f} | {tool} | cannot | | | | |")
                continue
            t = statistics.median(times[(job.name, tool)])
            name = tool + (" (other bytes)" if tool == "baseline" and job.name in differs else "")
            print(f"| {job.name} | {megabytes:.0f} | {name} | {t:.3f} | {megabytes / t:.0f} | {t / cp:.2f} | "
                  f"{sox / t:.2f} | {peaks[(job.name, tool)] / 1024:.1f} |")
    # Printed as each set ends: a later set that fails leaves the earlier ones' tables.
    sys.stdout.flush()
    farm_rows = bench_render_farm(args, wavsplice, short[0]) if "render-farm" in sets else []
    if farm_rows:
        print()
        print("Many task files: each the job below in a folder of its own, run with --json --update by GNU parallel;")
        print("medians of the rounds.")
        print()
        print("| job | runs at once | task files | seconds | task files per second |")
        print("|---|---:|---:|---:|---:|")
        for row in farm_rows:
            print(row)
    sys.stdout.flush()
    measuring_rows, target_rows = (bench_loudness(args, wavsplice, long_job, podcast) if "loudness" in sets
                                   else ([], []))
    if measuring_rows:
        print()
        print("Measuring: the job alone and with --loudness (the time it adds, against 1/300 of the programme's")
        print("duration), and ffmpeg -af ebur128=peak=true reading the destination; medians, seconds.")
        print()
        print("| job | audio s | wavsplice | wavsplice --loudness | added | budget | ffmpeg ebur128 | "
              "--loudness ÷ ffmpeg |")
        print("|---|---:|---:|---:|---:|---:|---:|---:|")
        for row in measuring_rows:
            print(row)
        print()
        print("A target: loud -16 (the whole run, building the programme) against ffmpeg's two-pass loudnorm over")
        print("the same programme (its two passes only); each result measured back by ffmpeg's ebur128 filter.")
        print()
        print("| job | tool | seconds | loudnorm ÷ wavsplice | measured back LUFS | true peak dBTP |")
        print("|---|---|---:|---:|---:|---:|")
        for row in target_rows:
            print(row)
    sys.stdout.flush()
    plot_rows = bench_plot(args, wavsplice, plot_jobs) if "plot" in sets else []
    if plot_rows:
        print()
        print("Pictures: cat of the job's sources to /dev/null, --check alone and with --plot, the run alone and")
        print("with --plot, and what the picture costs against cat; medians, seconds.")
        print()
        print("| job | cat | --check | --check --plot | ÷ cat | run | run --plot | added ÷ cat |")
        print("|---|---:|---:|---:|---:|---:|---:|---:|")
        for row in plot_rows:
            print(row)
    sys.stdout.flush()
    sharing_rows = bench_block_sharing(args, wavsplice, tone, scale) if "block-sharing" in sets else []
    if sharing_rows:
        print()
        print("Master edits on a 3-hour 48 kHz 24-bit stereo BWF master (3.1 GB; its samples start at byte 728);")
        print("× floor: against cp --reflink=always on XFS, cp --reflink=never elsewhere;")
        print("copied: the share of the output's samples not in shared blocks (FIEMAP).")
        print()
        print("| file system | job | tool | seconds | × floor | copied |")
        print("|---|---|---|---:|---:|---:|")
        for row in sharing_rows:
            print(row)


if __name__ == "__main__":
    main()
