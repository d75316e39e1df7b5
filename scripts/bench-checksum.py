#!/usr/bin/env python3
"""Prints the checksum benchmark's medians (GB/s) and the ratios fast/plain
and fast/memcpy per size, from Google Benchmark's JSON output."""
import json
import sys


def main(path):
    with open(path) as f:
        report = json.load(f)
    speed = {}  # (kind, size) -> bytes per second, median of the repetitions
    for b in report["benchmarks"]:
        if b.get("aggregate_name") != "median":
            continue
        _, kind, size = b["run_name"].split("/")
        speed[(kind, int(size))] = b["bytes_per_second"]
    sizes = sorted({size for _, size in speed})
    print(f"{'size':>10}  {'plain GB/s':>10}  {'fast GB/s':>10}  {'memcpy GB/s':>11}"
          f"  {'fast/plain':>10}  {'fast/memcpy':>11}")
    for size in sizes:
        plain, fast, copy = (speed.get((k, size)) for k in ("plain", "fast", "memcpy"))
        if None in (plain, fast, copy):
            print(f"{size:>10}  incomplete")
            continue
        label = f"{size >> 20} MiB" if size >= 1 << 20 else f"{size >> 10} KiB"
        print(f"{label:>10}  {plain / 1e9:10.2f}  {fast / 1e9:10.2f}  {copy / 1e9:11.2f}"
              f"  {fast / plain:9.1f}x  {fast / copy:10.2f}x")
    context = report.get("context", {})
    load = " ".join(f"{x:.2f}" for x in context.get("load_avg", []))
    print(f"medians of the repetitions; {context.get('num_cpus', '?')} CPUs at "
          f"{context.get('mhz_per_cpu', '?')} MHz, load average at the start {load or '?'}")

if __name__ == "__main__":
    main(sys.argv[1])
