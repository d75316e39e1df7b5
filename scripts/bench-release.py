#!/usr/bin/env python3
"""Prints the release check benchmark's medians (ms per check) and the ratio
walk/sorted per list size, from Google Benchmark's JSON output."""
import json
import sys


def main(path):
    with open(path) as f:
        report = json.load(f)
    time = {}  # (kind, size) -> seconds per check, median of the repetitions
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
    for b in report["benchmarks"]:
        if b.get("aggregate_name") != "median":
            continue
        _, kind, size = b["run_name"].split("/")
        time[(kind, int(size))] = b["real_time"] * scale[b.get("time_unit", "ns")]
    print(f"{'records':>8}  {'sorted ms':>10}  {'walk ms':>10}  {'walk/sorted':>11}")
    for size in sorted({size for _, size in time}):
        sorted_, walk = time.get(("sorted", size)), time.get(("walk", size))
        if sorted_ is None or walk is None:
            print(f"{size:>8}  incomplete")
            continue
        print(f"{size:>8}  {sorted_ * 1e3:10.3f}  {walk * 1e3:10.3f}  {walk / sorted_:10.1f}x")
    context = report.get("context", {})
    load = " ".join(f"{x:.2f}" for x in context.get("load_avg", []))
    print(f"medians of the repetitions; load average at the start {load or '?'}")


if __name__ == "__main__":
    main(sys.argv[1])
