#!/usr/bin/env python3
"""The release check by the install's files against reading them once.

Usage: bench-files.py PATCHTOOL WORKDIR [RUNS]

Makes an install folder without a hash list (one file of 512 MiB and 32 of
8 MiB) and a patch of one small file whose list names every file of the
install, so that `patchtool apply` must read and sum each of them before it
writes anything. Alternates the apply with `cat` of the same files into
/dev/null, RUNS times each after a warm-up, once with the files in the page
cache and once with them dropped from it before each run (posix_fadvise,
those files only), and prints the medians, their ratio and the apply's peak
resident memory (from /usr/bin/time -v).
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

from bench_data import make_file  # noqa: E402 (this script's own folder)

FILES = [("movie.mpg", 512 << 20)] + [(f"data{i:02}.arc", 8 << 20) for i in range(32)]


def reset(install):
    """The install as before an apply: no list, no new file, the old uninst.lst."""
    for name in ("QEN.hvl", "new.dat"):
        path = os.path.join(install, name)
        if os.path.exists(path):
            os.remove(path)
    with open(os.path.join(install, "uninst.lst"), "wb") as f:
        f.write(b"game.exe\n\0")


def drop(paths):
    os.sync()
    for path in paths:
        fd = os.open(path, os.O_RDONLY)
        try:
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        finally:
            os.close(fd)


def timed(args, stdout=subprocess.DEVNULL):
    start = time.perf_counter()
    subprocess.run(args, check=True, stdout=stdout)
    return time.perf_counter() - start


def main():
    tool, work = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    install = os.path.join(work, "install")
    os.makedirs(install, exist_ok=True)
    paths = [os.path.join(install, name) for name, _ in FILES]
    for path, (_, size) in zip(paths, FILES):
        make_file(path, size)
    stub = os.path.join(work, "stub.exe")
    with open(stub, "wb") as f:
        f.write(pe_stub())
    # The list of the whole release (the install's files and the new one,
    # by their names in the install), then the patch of the new one.
    reset(install)
    new = os.path.join(install, "new.dat")
    with open(new, "wb") as f:
        f.write(b"the one new file")
    base = os.path.join(work, "release.hvl")
    patch = os.path.join(work, "patch.exe")
    for made in (base, patch):
        if os.path.exists(made):
            os.remove(made)
    subprocess.run([tool, "hashlist", "-o", base, *[n for n, _ in FILES], "new.dat"],
                   check=True, stdout=subprocess.DEVNULL, cwd=install)
    subprocess.run([tool, "pack", "--stub", stub, "-o", patch, "--hash-list", "--base", base,
                    "new.dat"], check=True, stdout=subprocess.DEVNULL, cwd=install)
    reset(install)
    total = sum(size for _, size in FILES)
    print(f"=== release check by the files: {len(FILES)} files, {total / 2**20:.0f} MiB, "
          f"no hash list in the install; median of {runs} runs each, interleaved")
    # The check's share: the apply without a list in the install, less the
    # same apply where the install's list tells the release (its writes and
    # flushes are the same).
    print(f"{'':20}{'cat (read once)':>16}{'apply, no list':>16}{'apply, list':>13}"
          f"{'check':>9}{'check / cat':>13}")
    for cached in (True, False):
        cat_times, apply_times, listed_times = [], [], []
        for i in range(runs + 1):
            reset(install)
            if not cached:
                drop(paths)
            c = timed(["cat", *paths])
            if not cached:
                drop(paths)
            a = timed([tool, "apply", patch, install])
            reset(install)
            shutil.copy(base, os.path.join(install, "QEN.hvl"))
            if not cached:
                drop(paths)
            w = timed([tool, "apply", patch, install])
            if i:
                cat_times.append(c)
                apply_times.append(a)
                listed_times.append(w)
        c, a = statistics.median(cat_times), statistics.median(apply_times)
        w = statistics.median(listed_times)
        where = "in the page cache" if cached else "from the disk"
        print(f"{where:20}{c:16.3f}{a:16.3f}{w:13.3f}{a - w:9.3f}{(a - w) / c:12.2f}x")
    reset(install)
    report = subprocess.run(["/usr/bin/time", "-v", tool, "apply", patch, install], check=True,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True).stderr
    reset(install)
    peak_kib = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", report).group(1))
    print("target: from the disk at most 1.2x (the files are read once; in the page cache the "
          "checksum's own time shows)")
    print(f"peak resident memory of apply: {peak_kib / 1024:.1f} MiB   (target: at most 32 MiB)")


if __name__ == "__main__":
    main()
