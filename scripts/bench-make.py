#!/usr/bin/env python3
"""patchtool make against the make of an earlier patchtool, side by side.

Usage: bench-make.py PATCHTOOL BASELINE WORKDIR [RUNS] [MIB]

Generates a release of 3,000 files (MIB MiB in all, default 700: nested
folders, Japanese names, most of them over 15 bytes) as OLD, with its hash
list, and NEW with 14 changes (files changed in place, resized and new),
then alternates `make` of BASELINE and of PATCHTOOL on the same folders,
RUNS times each after a warm-up, and prints the medians and their ratio:
once with every file in the page cache, and once with the releases' files
dropped from it before each run (posix_fadvise, these files only), as when
a release is read from the disk. The releases stay in WORKDIR between
runs (kept when their size and seed match).

Then make of one patch for four releases (make OLDER1 OLDER2 OLDER3 OLD
NEW) against make from OLD alone, in the page cache, for PATCHTOOL and for
BASELINE side by side: each file of each release is read once, so four
OLDs must cost little more than one (at most 2x). The three older
releases are OLD with a few of the files that NEW changes changed
otherwise (hard links to OLD's other files, so that they cost no disk
space; in the page cache a file read through a link costs what a copy
would), each with its own list: the patch's changes stay the same 14.
"""
import importlib
import os
import random
import shutil
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "tools"))
from package_bytes import pe_stub  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
make_file = importlib.import_module("bench-apply").make_file

FILES = 3000
SEED = 1403

FOLDERS = ["data", "data/bgm", "data/se", "data/voice", "data/voice/chapter01",
           "data/voice/chapter02", "movie", "script", "script/シナリオ", "graphics",
           "graphics/立ち絵", "graphics/背景", "system"]
STEMS = ["sc", "bg", "se", "voice", "立ち絵", "背景画像", "シナリオ", "ev", "sys", "chara"]


def layout(mib):
    """[(relative path, size)] of OLD, the same on every run."""
    rng = random.Random(SEED)
    files = []
    total = mib << 20
    weights = [rng.random() ** 3 + 0.01 for _ in range(FILES)]
    scale = total / sum(weights)
    for i in range(FILES):
        stem = STEMS[rng.randrange(len(STEMS))]
        # Most names are long, as in a real release; every 20th fits an
        # entry (data\s0040.arc: 14 bytes).
        if i % 20 == 0:
            path = f"data/s{i:04d}.arc"
        else:
            path = f"{FOLDERS[i % len(FOLDERS)]}/{stem}_{i:04d}_long_name.arc"
        files.append((path, max(1, int(weights[i] * scale))))
    return files


def make_releases(tool, work, mib):
    stamp = os.path.join(work, f"releases-{mib}-{SEED}.done")
    old, new = os.path.join(work, "old"), os.path.join(work, "new")
    if os.path.exists(stamp):
        return old, new
    shutil.rmtree(old, ignore_errors=True)
    shutil.rmtree(new, ignore_errors=True)
    files = layout(mib)
    for path, size in files:
        os.makedirs(os.path.dirname(os.path.join(old, path)), exist_ok=True)
        make_file(os.path.join(old, path), size)
    shutil.copytree(old, new)
    # Changes whose names fit an entry: in place (same size, one byte in
    # the middle), resized, and new files in existing folders.
    short = [p for p, _ in files if "long_name" not in p]
    for path in short[:10]:
        with open(os.path.join(new, path), "r+b") as f:
            size = os.path.getsize(f.name)
            f.seek(size // 2)
            byte = f.read(1)
            f.seek(size // 2)
            f.write(bytes([byte[0] ^ 0xFF]))
    for path in short[10:12]:
        with open(os.path.join(new, path), "ab") as f:
            f.write(b"grown")
    for i, folder in enumerate(["data", "script"]):
        make_file(os.path.join(new, folder, f"new{i}.arc"), 1 << 20)
    with open(os.path.join(old, "uninst.lst"), "wb") as f:
        f.write(b"Velmora.exe\n\0")
    for release in (old, new):
        subprocess.run([tool, "hashlist", release, "-o", os.path.join(release, "qen.hvl")],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    open(stamp, "w").close()
    return old, new


def make_older_releases(tool, work, old, mib):
    """Three releases before OLD, each a few files apart from it."""
    stamp = os.path.join(work, f"older3-{mib}-{SEED}.done")
    olders = [os.path.join(work, "older%d" % i) for i in (1, 2, 3)]
    if os.path.exists(stamp):
        return olders
    short = [p for p, _ in layout(mib) if "long_name" not in p]
    for i, older in enumerate(olders):
        shutil.rmtree(older, ignore_errors=True)
        differ = set(short[3 * i:3 * i + 3])
        for folder, _, files in os.walk(old):
            for name in files:
                source = os.path.join(folder, name)
                relative = os.path.relpath(source, old).replace(os.sep, "/")
                target = os.path.join(older, relative)
                os.makedirs(os.path.dirname(target), exist_ok=True)
                if relative == "qen.hvl":
                    continue
                if relative in differ:
                    with open(source, "rb") as f:
                        data = bytearray(f.read())
                    data[len(data) // 3] ^= 0x5A
                    with open(target, "wb") as f:
                        f.write(data)
                else:
                    os.link(source, target)
        subprocess.run([tool, "hashlist", older, "-o", os.path.join(older, "qen.hvl")],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    open(stamp, "w").close()
    return olders


def evict(*roots):
    """Drops the files under roots from the page cache."""
    for root in roots:
        for folder, _, files in os.walk(root):
            for name in files:
                fd = os.open(os.path.join(folder, name), os.O_RDONLY)
                try:
                    os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
                finally:
                    os.close(fd)


def timed(tool, old, new, stub, out, cold=False):
    """Seconds of one make; old is one folder or a list of them."""
    olds = old if isinstance(old, list) else [old]
    if os.path.exists(out):
        os.remove(out)
    if cold:
        os.sync()
        evict(*olds, new)
    start = time.perf_counter()
    subprocess.run([tool, "make", *olds, new, "--stub", stub, "-o", out], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - start


def main():
    tool, baseline, work = sys.argv[1], sys.argv[2], sys.argv[3]
    runs = int(sys.argv[4]) if len(sys.argv) > 4 else 5
    mib = int(sys.argv[5]) if len(sys.argv) > 5 else 700
    os.makedirs(work, exist_ok=True)
    old, new = make_releases(tool, work, mib)
    stub = os.path.join(work, "stub.exe")
    with open(stub, "wb") as f:
        f.write(pe_stub())
    out = os.path.join(work, "out")
    os.makedirs(out, exist_ok=True)
    print(f"=== patchtool make against the baseline's: {FILES} files, {mib} MiB, "
          f"14 changes, median of {runs} runs each, interleaved")
    print(f"{'':30}{'baseline':>10}{'make':>10}{'ratio':>8}")
    for cold in (False, True):
        base_times, new_times = [], []
        # One warm-up each; then alternating, so that a busy machine slows
        # both alike.
        for i in range(runs + 1):
            b = timed(baseline, old, new, stub, os.path.join(out, "baseline-patch.exe"), cold)
            n = timed(tool, old, new, stub, os.path.join(out, "new-patch.exe"), cold)
            if i:
                base_times.append(b)
                new_times.append(n)
        b, n = statistics.median(base_times), statistics.median(new_times)
        what = "read from the disk (s)" if cold else "in the page cache (s)"
        print(f"{what:30}{b:10.3f}{n:10.3f}{n / b:7.2f}x   per run: "
              + ", ".join(f"{x / y:.2f}" for x, y in zip(new_times, base_times)))
    print("make / baseline: target at most 1.2x")

    olders = make_older_releases(tool, work, old, mib)
    print()
    print(f"=== make for four releases against make from one, each build against itself, "
          f"median of {runs} runs each, interleaved, in the page cache")
    print(f"{'':30}{'1 OLD':>10}{'4 OLDs':>10}{'ratio':>8}")
    for name, program in (("baseline", baseline), ("make", tool)):
        one_times, four_times = [], []
        for i in range(runs + 1):
            one = timed(program, old, new, stub, os.path.join(out, name + "-one.exe"))
            four = timed(program, olders + [old], new, stub, os.path.join(out, name + "-four.exe"))
            if i:
                one_times.append(one)
                four_times.append(four)
        one, four = statistics.median(one_times), statistics.median(four_times)
        print(f"{name + ' (s)':30}{one:10.3f}{four:10.3f}{four / one:7.2f}x   per run: "
              + ", ".join(f"{x / y:.2f}" for x, y in zip(four_times, one_times)))
    print("make, 4 OLDs / 1 OLD: target at most 2x")


if __name__ == "__main__":
    main()
