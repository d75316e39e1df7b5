#!/usr/bin/env python3
"""patchtool apply against cp of the same files, side by side.

Usage: bench-apply.py PATCHTOOL WORKDIR [RUNS]

Packs one 1 GiB entry and several small ones (with their hash list), then
alternates `patchtool apply`, `cp` of the same files, and a plain read/write
copy of them (dd, 4 MiB blocks) into fresh folders, RUNS times each, and
prints the medians, their ratios, and the peak resident memory of an apply
(from /usr/bin/time -v). cp copies inside the kernel (copy_file_range), which
no program that reads the data itself can match; dd shows what one can.
apply puts every file on the disk before it takes its place (fsync), so the
like-for-like copy is dd with conv=fsync; plain dd and cp leave their data
in the page cache when they end.
"""
import os
import re
import shutil
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "tools"))
from package_bytes import pe_stub  # noqa: E402

BIG = 1 << 30
SMALL = [(f"small{i}.dat", 256 << 10) for i in range(6)]


def make_file(path, size):
    if os.path.exists(path) and os.path.getsize(path) == size:
        return
    with open(path, "wb") as f:
        left = size
        while left:
            n = min(left, 16 << 20)
            f.write(os.urandom(n))
            left -= n


def fresh_folder(path):
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    with open(os.path.join(path, "uninst.lst"), "wb") as f:
        f.write(b"game.exe\n\0")


def timed(*commands):
    # Dirty pages left by the previous run would throttle this one.
    os.sync()
    start = time.perf_counter()
    for args in commands:
        subprocess.run(args, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def main():
    tool, work = sys.argv[1], sys.argv[2]
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    src = os.path.join(work, "files")
    os.makedirs(src, exist_ok=True)
    names = [("big.arc", BIG)] + SMALL
    for name, size in names:
        make_file(os.path.join(src, name), size)
    stub = os.path.join(work, "stub.exe")
    with open(stub, "wb") as f:
        f.write(pe_stub())  # pack takes only an updater-like program
    patch = os.path.join(work, "patch.exe")
    files = [os.path.join(src, n) for n, _ in names]
    subprocess.run([tool, "pack", "--stub", stub, "-o", patch, "--hash-list", *files],
                   check=True, stdout=subprocess.DEVNULL)

    target = os.path.join(work, "target")
    apply_times, copy_times, dd_times, sync_times = [], [], [], []
    dd = [["dd", f"if={f}", f"of={os.path.join(target, os.path.basename(f))}", "bs=4M",
           "status=none"] for f in files]
    dd_sync = [args + ["conv=fsync"] for args in dd]
    # One warm-up of each, so that all read from the page cache.
    for i in range(runs + 1):
        fresh_folder(target)
        a = timed([tool, "apply", patch, target])
        fresh_folder(target)
        c = timed(["cp", *files, target])
        fresh_folder(target)
        d = timed(*dd)
        fresh_folder(target)
        s = timed(*dd_sync)
        if i:
            apply_times.append(a)
            copy_times.append(c)
            dd_times.append(d)
            sync_times.append(s)
    shutil.rmtree(target, ignore_errors=True)

    fresh_folder(target)
    report = subprocess.run(["/usr/bin/time", "-v", tool, "apply", patch, target],
                            check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                            text=True).stderr
    shutil.rmtree(target, ignore_errors=True)
    peak_kib = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", report).group(1))

    total = sum(size for _, size in names)
    a, c = statistics.median(apply_times), statistics.median(copy_times)
    d = statistics.median(dd_times)
    y = statistics.median(sync_times)
    print(f"=== patchtool apply vs cp and dd: {len(names)} files, {total / 2**20:.0f} MiB, "
          f"median of {runs} runs each, interleaved")
    print(f"{'':24}{'seconds':>10}{'MB/s':>10}")
    print(f"{'cp':24}{c:10.3f}{total / c / 1e6:10.0f}")
    print(f"{'dd bs=4M':24}{d:10.3f}{total / d / 1e6:10.0f}")
    print(f"{'dd bs=4M conv=fsync':24}{y:10.3f}{total / y / 1e6:10.0f}")
    print(f"{'patchtool apply':24}{a:10.3f}{total / a / 1e6:10.0f}")
    print(f"apply / dd conv=fsync: {a / y:.2f}x   (target: at most 1.15x)")
    print(f"apply / dd: {a / d:.2f}x   (apply also puts each file on the disk)")
    print(f"apply / cp: {a / c:.2f}x")
    print(f"peak resident memory of apply: {peak_kib / 1024:.1f} MiB   (target: at most 32 MiB)")


if __name__ == "__main__":
    main()
