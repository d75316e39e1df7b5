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

Usage: bench-apply.py --wine WINE_RUN PATCHTOOL_EXE COPY_EXE WORKDIR [RUNS]

The same package, applied by a Windows build's patchtool.exe under Wine
(through the build's wine-run) against COPY_EXE (bench/flushed_copy.cpp), a
Win32 program that copies the same files as a careful Windows program does:
a new file, 4 MiB ReadFile and WriteFile, FlushFileBuffers, close; and
COPY_EXE --sum, which also takes the checksum of each block in the same
pass, as the apply does. Each timed run is one wine-run, so Wine's
start-up is in every figure; an empty run of each program (patchtool.exe
--help, COPY_EXE with no files) is timed alongside and its median taken
off, so that the figures also show the work alone. Native `dd conv=fsync`
of the same files runs alongside, for reference.
"""
import filecmp
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

BIG = 1 << 30
SMALL = [(f"small{i}.dat", 256 << 10) for i in range(6)]


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


def prepare(work, pack, path=lambda p: p):
    """The package's files in WORK/files and the package WORK/patch.exe,
    packed by the command pack + its arguments, which take each path as
    path(p). Returns (names and sizes, files, patch)."""
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
    subprocess.run([*pack, "pack", "--stub", path(stub), "-o", path(patch), "--hash-list",
                    *map(path, files)], check=True, stdout=subprocess.DEVNULL)
    return names, files, patch


def dd_commands(files, target, *options):
    return [["dd", f"if={f}", f"of={os.path.join(target, os.path.basename(f))}", "bs=4M",
             "status=none", *options] for f in files]


def windows_path(path):
    # Wine shows the Unix root as drive Z:.
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def same_files(files, folder):
    return all(filecmp.cmp(f, os.path.join(folder, os.path.basename(f)), shallow=False)
               for f in files)


def wine_main(wine_run, tool, copy, work, runs="5"):
    runs = int(runs)
    names, files, patch = prepare(work, [wine_run, tool], windows_path)
    target = os.path.join(work, "target")
    apply_args = [wine_run, tool, "apply", windows_path(patch), windows_path(target)]
    copy_args = [wine_run, copy, windows_path(target), *map(windows_path, files)]
    sum_args = [wine_run, copy, "--sum", windows_path(target), *map(windows_path, files)]
    empty_apply_args = [wine_run, tool, "--help"]
    empty_copy_args = [wine_run, copy, windows_path(target)]
    programs = [("apply", [apply_args]), ("copy", [copy_args]), ("copy --sum", [sum_args]),
                ("empty apply", [empty_apply_args]), ("empty copy", [empty_copy_args]),
                ("dd", dd_commands(files, target, "conv=fsync"))]
    times = {key: [] for key, _ in programs}
    load_before = os.getloadavg()
    # One warm-up of each, so that all read from the page cache and Wine's
    # own files are loaded; it also checks that each wrote the files whole.
    for i in range(runs + 1):
        for key, commands in programs:
            fresh_folder(target)
            seconds = timed(*commands)
            if i:
                times[key].append(seconds)
            elif not key.startswith("empty") and not same_files(files, target):
                sys.exit(f"bench-apply: {key} did not write the files whole")
    shutil.rmtree(target, ignore_errors=True)
    load_after = os.getloadavg()

    total = sum(size for _, size in names)
    m = {key: statistics.median(values) for key, values in times.items()}
    a_net = m["apply"] - m["empty apply"]
    c_net = m["copy"] - m["empty copy"]
    print(f"=== patchtool.exe apply vs a flushed Win32 copy, both under Wine: {len(names)} "
          f"files, {total / 2**20:.0f} MiB, median of {runs} runs each, interleaved")
    print("(each run is one wine-run: Wine's start-up included; 'less start-up' takes off "
          "the median of an empty run of the same program)")
    print(f"{'':32}{'seconds':>10}{'MB/s':>8}{'empty run':>11}{'less start-up':>15}"
          f"{'MB/s':>8}")
    for label, key, empty in (("flushed_copy.exe", "copy", "empty copy"),
                              ("flushed_copy.exe --sum", "copy --sum", "empty copy"),
                              ("patchtool.exe apply", "apply", "empty apply")):
        net = m[key] - m[empty]
        print(f"{label:32}{m[key]:10.3f}{total / m[key] / 1e6:8.0f}{m[empty]:11.3f}"
              f"{net:15.3f}{total / net / 1e6:8.0f}")
    print(f"{'dd bs=4M conv=fsync (native)':32}{m['dd']:10.3f}{total / m['dd'] / 1e6:8.0f}")
    print(f"apply / flushed copy: {a_net / c_net:.2f}x less start-up   (target: at most 1.15x)")
    print(f"apply / flushed copy: {m['apply'] / m['copy']:.2f}x with Wine's start-up")
    s_net = m["copy --sum"] - m["empty copy"]
    print(f"flushed copy --sum / flushed copy: {s_net / c_net:.2f}x less start-up   "
          "(the checksum in the same pass)")
    print(f"apply / flushed copy --sum: {a_net / s_net:.2f}x less start-up   "
          "(the update's own steps)")
    print(f"flushed copy under Wine / native dd conv=fsync: {m['copy'] / m['dd']:.2f}x")
    print("load average (1, 5, 15 min): before %.2f %.2f %.2f, after %.2f %.2f %.2f"
          % (*load_before, *load_after))


def main():
    if sys.argv[1] == "--wine":
        wine_main(*sys.argv[2:])
        return
    tool, work = sys.argv[1], sys.argv[2]
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    names, files, patch = prepare(work, [tool])

    target = os.path.join(work, "target")
    apply_times, copy_times, dd_times, sync_times = [], [], [], []
    dd = dd_commands(files, target)
    dd_sync = dd_commands(files, target, "conv=fsync")
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
