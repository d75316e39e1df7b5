#!/usr/bin/env python3
"""Tests of the test machinery itself: which Windows build's Wine tests run
on which machine (scripts/wine-select.sh), and that the summary counts a
skipped test as skipped, never as passed (scripts/ctest-summary.py).

Usage: test_scripts_test.py SOURCE_DIR"""

import os
import subprocess
import sys
import tempfile
import unittest

SOURCE = None


def select(arch, mode, runs_32bit):
    """Runs wine_selected with the probe's answer given; returns (selected,
    why)."""
    env = dict(os.environ, UPD_RUNS_32BIT=runs_32bit, UPD_RUNS_32BIT_WHY="probe said so")
    env.pop("WINDOWS_TESTS", None)
    if mode is not None:
        env["WINDOWS_TESTS"] = mode
    script = ('. "$1/scripts/wine-select.sh"; if wine_selected "$2"; then echo yes; '
              'else echo no; fi; echo "$WINE_SELECT_WHY"')
    out = subprocess.run(["bash", "-c", script, "-", SOURCE, arch], env=env,
                         stdout=subprocess.PIPE, check=True, text=True).stdout.splitlines()
    return out[0] == "yes", out[1]


class WineSelectTest(unittest.TestCase):
    def test_each_mode_on_each_kind_of_machine(self):
        # (WINDOWS_TESTS, machine runs 32-bit code, win32 runs, win64 runs)
        cases = [
            (None, "yes", True, True),
            ("auto", "yes", True, True),
            (None, "no", False, True),
            ("win64", "yes", False, True),
            ("win64", "no", False, True),
            ("win32", "yes", True, False),
            ("win32", "no", True, False),
            ("both", "yes", True, True),
            ("both", "no", True, True),
        ]
        for mode, runs32, want32, want64 in cases:
            with self.subTest(mode=mode, runs_32bit=runs32):
                got32, why32 = select("win32", mode, runs32)
                got64, why64 = select("win64", mode, runs32)
                self.assertEqual((want32, want64), (got32, got64), (why32, why64))
                # The reason says what happened.
                self.assertTrue(why32.startswith("run:" if want32 else "skipped:"), why32)
                self.assertTrue(why64.startswith("run:" if want64 else "skipped:"), why64)

    def test_no_32bit_code_is_named_as_the_reason(self):
        _, why = select("win32", None, "no")
        self.assertIn("runs no 32-bit code", why)
        self.assertIn("probe said so", why)

    def test_unknown_mode_runs_nothing(self):
        for arch in ("win32", "win64"):
            selected, why = select(arch, "x86", "yes")
            self.assertFalse(selected)
            self.assertIn("WINDOWS_TESTS=x86", why)

    def test_probe_of_a_loader_that_cannot_start(self):
        with tempfile.TemporaryDirectory() as d:
            loader = os.path.join(d, "wine")
            with open(loader, "w") as f:
                f.write("#!/bin/sh\necho 'Exec format error' >&2\nexit 126\n")
            os.chmod(loader, 0o755)
            env = {k: v for k, v in os.environ.items() if not k.startswith("UPD_RUNS_32BIT")}
            script = ('. "$1/scripts/wine-select.sh"; WINE_LOADER_32=$2; wine_probe_32bit; '
                      'echo "$UPD_RUNS_32BIT"; echo "$UPD_RUNS_32BIT_WHY"')
            out = subprocess.run(["bash", "-c", script, "-", SOURCE, loader], env=env,
                                 stdout=subprocess.PIPE, check=True, text=True).stdout
            answer, why = out.splitlines()[:2]
            self.assertEqual("no", answer)
            self.assertIn("Exec format error", why)


CTEST_LOG = """\
Test project /work/build/win32
    Start 1: unit_tests
1/5 Test #1: unit_tests .......................***Skipped   0.05 sec
    Start 2: updater_image
2/5 Test #2: updater_image ....................   Passed    0.15 sec
    Start 3: updater_e2e
3/5 Test #3: updater_e2e ......................***Failed    3.99 sec
    Start 4: signed_updater
4/5 Test #4: signed_updater ...................***Timeout 600.01 sec
    Start 5: frontend_tests
5/5 Test #5: frontend_tests ...................   Passed    0.11 sec

80% tests passed, 1 tests failed out of 5
"""


class CtestSummaryTest(unittest.TestCase):
    def summary(self, log):
        with tempfile.NamedTemporaryFile("w", suffix=".log", delete=False) as f:
            f.write(log)
        try:
            return subprocess.run([sys.executable,
                                   os.path.join(SOURCE, "scripts", "ctest-summary.py"), f.name],
                                  stdout=subprocess.PIPE, check=True, text=True).stdout.strip()
        finally:
            os.unlink(f.name)

    def test_skipped_and_failed_are_counted_apart_from_passed(self):
        self.assertEqual("2 tests passed, 2 failed, 1 skipped; failed: updater_e2e, "
                         "signed_updater; skipped: unit_tests", self.summary(CTEST_LOG))

    def test_a_log_without_results_gives_nothing(self):
        self.assertEqual("", self.summary("No tests were found!!!\n"))


if __name__ == "__main__":
    SOURCE = os.path.abspath(sys.argv[1])
    unittest.main(argv=[sys.argv[0]] + sys.argv[2:], verbosity=2)
