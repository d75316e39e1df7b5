"""Cases that Wine itself failed, run once more.

Under Wine a run can end by Wine's own failure, not the program's: Wine
crashes (its Unix process killed by a signal; wine-run.sh says so), or the
run loses its wineserver. Such a case is run once more from the start, and
said loudly on stderr and in the file that UPD_TEST_RERUNS names (make
test's summary lists them for each build). A case that fails the second
time fails. A failure of the program itself is never run again: only the
lines below, which wine-run.sh and Wine print, count.
"""

import os
import re
import sys
import unittest

# Wine's own failures in a run's output. A Windows program's own crash is
# an unhandled exception, which Wine reports in other words ("Unhandled"),
# and which is never run again.
WINE_FAILURE = re.compile(
    r"^(wine client error|wineserver: |wine-run\.sh: (the wineserver |Wine itself crashed)"
    r"|wine: (?!.*[Uu]nhandled)).*$", re.M)


def wine_failure(output):
    """The first line of output that tells Wine's own failure, or None."""
    found = WINE_FAILURE.search(output)
    return found.group(0) if found else None


def say_rerun(suite, case, why, second):
    """Says loudly that a case is run once more, or that it failed again."""
    what = ("FAILED AGAIN after a rerun; Wine failed again" if second
            else "RUN ONCE MORE: Wine itself failed, not the program")
    line = "%s %s: %s: %s" % (suite, case, what, why)
    sys.stderr.write("\n" + "!" * 78 + "\n!! " + line + "\n" + "!" * 78 + "\n")
    sys.stderr.flush()
    log = os.environ.get("UPD_TEST_RERUNS")
    if log:
        # The summary's list, never a reason for the case to fail.
        try:
            with open(log, "a", encoding="utf-8") as f:
                f.write(line + "\n")
        except OSError as e:
            sys.stderr.write("!! (not noted in %s for make test's summary: %s)\n" % (log, e))


class _Recorder(unittest.TestResult):
    """Keeps what a run of one case reports, to be handed on, or dropped
    when the case runs once more."""

    _CALLS = ("startTest", "stopTest", "addSuccess", "addError", "addFailure", "addSkip",
              "addSubTest", "addExpectedFailure", "addUnexpectedSuccess", "addDuration")

    def __init__(self):
        super().__init__()
        self.calls = []
        for name in self._CALLS:
            if hasattr(unittest.TestResult, name):
                setattr(self, name, self._recording(name))

    def _recording(self, name):
        original = getattr(super(), name)

        def call(*args):
            self.calls.append((name, args))
            return original(*args)
        return call

    def replay(self, result):
        for name, args in self.calls:
            method = getattr(result, name, None)
            if method is not None:
                method(*args)


class WineRerunning(unittest.TestCase):
    """A test case whose runs of Windows programs report Wine's own
    failures through note_wine_failure."""

    SUITE = "tests"

    def note_wine_failure(self, output, what):
        """Fails the case where output tells Wine's own failure; the case
        then runs once more."""
        line = wine_failure(output)
        if line is None:
            return
        getattr(self, "_wine_failures", []).append("%s (running %s)" % (line, what))
        self.fail("Wine itself failed, not the program: %s (running %s)" % (line, what))

    def run(self, result=None):
        if result is None:
            return super().run(result)
        self._wine_failures = []
        first = _Recorder()
        super().run(first)
        if first.wasSuccessful() or not self._wine_failures:
            first.replay(result)
            return result
        case = self.id().split(".")[-1]
        say_rerun(self.SUITE, case, self._wine_failures[0], False)
        self._wine_failures = []
        super().run(result)
        if self._wine_failures:
            say_rerun(self.SUITE, case, self._wine_failures[0], True)
        return result
