#!/usr/bin/env python3
"""Reads one CTest log and prints one line: how many tests passed, failed
and were skipped, naming the skipped and failed ones. CTest's own line counts
a skipped test among those that passed; this one never does.
Usage: ctest-summary.py CTEST_LOG"""
import re
import sys

RESULT = re.compile(r"^\s*\d+/\d+ Test\s+#\d+: (\S+) \.*\s*(\**)(.+?)\s+[\d.]+ sec")

passed, failed, skipped = [], [], []
with open(sys.argv[1], encoding="utf-8", errors="replace") as f:
    for line in f:
        m = RESULT.match(line)
        if not m:
            continue
        name, status = m.group(1), m.group(3).strip()
        if status == "Passed":
            passed.append(name)
        elif status == "Skipped" or status.startswith("Not Run"):
            skipped.append(name)
        else:
            failed.append(name)
if not (passed or failed or skipped):
    sys.exit(0)
out = "%d tests passed, %d failed, %d skipped" % (len(passed), len(failed), len(skipped))
if failed:
    out += "; failed: " + ", ".join(failed)
if skipped:
    out += "; skipped: " + ", ".join(skipped)
print(out)
