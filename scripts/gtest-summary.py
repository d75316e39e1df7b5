#!/usr/bin/env python3
"""Counts the GoogleTest cases in the XML reports of one build folder."""
import glob
import os
import sys
import xml.etree.ElementTree as ET

folder = sys.argv[1]
total = failed = skipped = 0
failures = []
for path in sorted(glob.glob(os.path.join(folder, "*.xml"))):
    try:
        root = ET.parse(path).getroot()
    except ET.ParseError:
        failures.append(os.path.basename(path) + ": unreadable report")
        continue
    for case in root.iter("testcase"):
        if case.get("result") == "suppressed" or case.get("status") == "notrun":
            continue
        total += 1
        if case.find("failure") is not None:
            failed += 1
            failures.append(f"{case.get('classname')}.{case.get('name')}")
        elif case.find("skipped") is not None or case.get("result") == "skipped":
            skipped += 1
passed = total - failed - skipped
if total == 0 and not failures:
    print("test cases: none ran")
    sys.exit(0)
print(f"test cases: {passed} passed, {failed} failed, {skipped} skipped, {total} in all")
for name in failures:
    print(f"      failed case: {name}")
