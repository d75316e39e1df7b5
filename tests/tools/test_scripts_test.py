#!/usr/bin/env python3
"""Tests of the test machinery itself: which Windows build's Wine tests run
on which machine (scripts/wine-select.sh), that every wineserver a run
starts is stopped at its end, or the failure told (scripts/wine-servers.sh),
that the summary counts a skipped test as skipped, never as passed
(scripts/ctest-summary.py), that Wine's own crash is told apart from the
program's failure and only it runs a case once more (cmake/wine-run.sh,
tests/tools/wine_reruns.py), and that `make fuzz` runs every fuzz target
that the build has (scripts/fuzz.sh).

Usage: test_scripts_test.py SOURCE_DIR"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
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


# A stand-in for wineserver, as strict as the real one about WINEPREFIX:
# notes each call (uid, WINEPREFIX, arguments); -k ends the stand-in server
# of the prefix and its program, as the real one ends its clients, unless
# FAKE_STUCK is set; -p says a server runs already.
FAKE_WINESERVER = """#!/bin/sh
echo "$(id -u) $WINEPREFIX $*" >>"$FAKE_CALLS"
case "$WINEPREFIX" in
  /*) ;;
  *) echo "wineserver: invalid directory $WINEPREFIX in WINEPREFIX: not an absolute path" >&2
     exit 1 ;;
esac
case "$1" in
  -k) [ -n "${FAKE_STUCK:-}" ] || kill $(cat "$WINEPREFIX/fake-server.pid") ;;
  -p) exit 1 ;;
esac
exit 0
"""

NOBODY = 65534


class WineServersTest(unittest.TestCase):
    """Stopping the wineservers of a run, with stand-ins for wineserver (on
    PATH), for a server (a process whose working folder is the server folder
    named after the prefix, as Wine's is) and for one of its programs (a
    process with the prefix in its environment, as Wine's have)."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="wine-servers.")
        os.chmod(self.dir, 0o755)
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.bin = os.path.join(self.dir, "bin")
        os.mkdir(self.bin)
        for name, text in (("wineserver", FAKE_WINESERVER), ("wine", "#!/bin/sh\nexit 0\n")):
            path = os.path.join(self.bin, name)
            with open(path, "w") as f:
                f.write(text)
            os.chmod(path, 0o755)
        self.calls = os.path.join(self.dir, "calls")
        open(self.calls, "w").close()
        os.chmod(self.calls, 0o666)  # the stand-in runs as the prefix's owner
        self.log = os.path.join(self.dir, "prefixes")

    def env(self, **more):
        env = dict(os.environ, PATH=self.bin + os.pathsep + os.environ["PATH"],
                   FAKE_CALLS=self.calls, UPD_WINE_PREFIX_LOG=self.log)
        env.update(more)
        return env

    def prefix(self, name, uid):
        path = os.path.join(self.dir, name)
        os.makedirs(os.path.join(path, "home"))
        if uid != os.getuid():
            for p in (path, os.path.join(path, "home")):
                os.chown(p, uid, uid)
        return path

    def start(self, uid, **popen):
        command = ["sleep", "300"]
        if uid != os.getuid():
            command = ["setpriv", "--reuid=%d" % uid, "--regid=%d" % uid,
                       "--clear-groups"] + command
        process = subprocess.Popen(command, **popen)
        self.addCleanup(process.wait)
        self.addCleanup(lambda: process.poll() is None and process.kill())
        return process

    def start_server(self, prefix, uid):
        """The stand-ins of the prefix's server and of one program."""
        st = os.stat(prefix)
        folder = os.path.join(self.dir, "wine-%s" % os.path.basename(prefix),
                              "server-%x-%x" % (st.st_dev, st.st_ino))
        os.makedirs(folder)
        server = self.start(uid, cwd=folder)
        program = self.start(uid, env=dict(os.environ, WINEPREFIX=prefix))
        with open(os.path.join(prefix, "fake-server.pid"), "w") as f:
            f.write("%d %d" % (server.pid, program.pid))
        return server, program

    def note(self, prefix, uid):
        script = '. "$1/scripts/wine-servers.sh"; wine_note_prefix "$2" "$3"'
        subprocess.run(["bash", "-c", script, "-", SOURCE, prefix, str(uid)], env=self.env(),
                       check=True)

    def stop_all(self, **env):
        script = '. "$1/scripts/wine-servers.sh"; wine_stop_noted_servers "$2"'
        r = subprocess.run(["bash", "-c", script, "-", SOURCE, self.log], env=self.env(**env),
                           stdout=subprocess.PIPE, text=True, timeout=120)
        return r.returncode, r.stdout.strip()

    def wineserver_calls(self):
        with open(self.calls) as f:
            return [line.split(" ", 2) for line in f.read().splitlines()]

    def test_each_noted_prefix_is_stopped_as_its_owner_by_its_absolute_path(self):
        owners = [os.getuid()] + ([NOBODY] if os.getuid() == 0 else [])
        servers = []
        for i, uid in enumerate(owners):
            prefix = self.prefix("prefix%d" % i, uid)
            servers.append((uid, prefix) + self.start_server(prefix, uid))
            self.note(prefix, uid)
            self.note(prefix, uid)  # noted once only
        with open(self.log) as f:
            self.assertEqual(len(owners), len(f.read().splitlines()))
        code, out = self.stop_all()
        self.assertEqual(0, code, out)
        self.assertTrue(out.startswith("stopped (none left running): "), out)
        for uid, prefix, server, program in servers:
            self.assertIn(prefix, out)
            self.assertIsNotNone(server.poll(), "the server of %s still runs" % prefix)
            self.assertIsNotNone(program.poll(), "a program of %s still runs" % prefix)
            self.assertIn([str(uid), prefix, "-k"], self.wineserver_calls())

    def test_what_does_not_stop_is_told_and_ended_all_the_same(self):
        # (what, environment, prefix folder removed, server ended first, reason)
        cases = [("-k does nothing", {"FAKE_STUCK": "1"}, False, False, "wineserver -k"),
                 ("the prefix folder is gone", {}, True, False, "its prefix folder is gone"),
                 ("a program outlives its server", {}, False, True, "its wineserver is gone")]
        for what, env, remove, orphan, reason in cases:
            with self.subTest(what):
                if os.path.exists(self.log):
                    os.unlink(self.log)
                prefix = self.prefix(what.replace(" ", "-"), os.getuid())
                server, program = self.start_server(prefix, os.getuid())
                self.note(prefix, os.getuid())
                if remove:
                    shutil.rmtree(prefix)
                if orphan:
                    server.kill()
                    server.wait()
                code, out = self.stop_all(**env)
                self.assertEqual(1, code, out)
                self.assertTrue(out.startswith("FAILED: the wineserver of %s" % prefix), out)
                self.assertIn(reason, out)
                for process in (program,) if orphan else (server, program):
                    self.assertRegex(out, r"processes [0-9 ]*\b%d\b" % process.pid)
                self.assertTrue(out.endswith("ended by process id instead"), out)
                self.assertIsNotNone(server.wait(timeout=10))
                self.assertIsNotNone(program.wait(timeout=10))

    def test_a_program_that_lost_its_server_is_told_apart(self):
        def uptime():
            with open("/proc/uptime") as f:
                return f.read().split()[0]

        def lost(prefix, since):
            script = '. "$1/scripts/wine-servers.sh"; wine_server_lost "$2" "$3"'
            r = subprocess.run(["bash", "-c", script, "-", SOURCE, prefix, since],
                               stdout=subprocess.PIPE, text=True, check=False)
            return r.returncode == 0, r.stdout.strip()

        prefix = self.prefix("prefix", os.getuid())
        self.assertEqual((True, "the wineserver of %s is gone" % prefix), lost(prefix, uptime()))
        before = uptime()
        time.sleep(0.05)  # the start is counted in clock ticks
        server, _ = self.start_server(prefix, os.getuid())
        self.assertEqual((True, "the wineserver of %s is a new one (pid %d)" % (prefix, server.pid)),
                         lost(prefix, before))
        time.sleep(0.05)
        self.assertEqual((False, ""), lost(prefix, uptime()))

    def test_no_prefix_used_nothing_to_stop(self):
        self.assertEqual((0, "no Wine prefix was used"), self.stop_all())

    def test_wine_prefix_notes_a_relative_prefix_by_its_absolute_path(self):
        work = os.path.join(self.dir, "work")
        os.mkdir(work)
        r = subprocess.run([os.path.join(SOURCE, "scripts", "wine-prefix.sh"), "build/px"],
                           cwd=work, env=self.env(WINE_ARCH="win32"), stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, text=True, timeout=120)
        self.assertEqual(0, r.returncode, r.stdout)
        prefix = os.path.join(work, "build", "px")
        st = os.stat(prefix)
        with open(self.log) as f:
            self.assertEqual(["%d server-%x-%x %s" % (os.getuid(), st.st_dev, st.st_ino, prefix)],
                             f.read().splitlines())
        for call in self.wineserver_calls():
            self.assertEqual(prefix, call[1], call)


# A stand-in for Wine's loader: notes each start, then, per the start's
# number (from 1) in FAKE_ENDS (blank-separated, the last one for every
# later start): "crash" kills itself with SIGSEGV, as Wine does when it
# crashes; "killed" with SIGKILL, as from outside; a number is the
# program's own exit status.
FAKE_WINE = """#!/bin/bash
echo "$*" >>"$FAKE_CALLS"
starts=$(wc -l <"$FAKE_CALLS")
ends=($FAKE_ENDS)
end=${ends[$((starts - 1))]:-${ends[-1]}}
echo "output of start $starts"
case "$end" in
  crash) kill -SEGV $$ ;;
  killed) kill -KILL $$ ;;
esac
exit "$end"
"""


class WineRunTest(unittest.TestCase):
    """cmake/wine-run.sh over a stand-in Wine: Wine's own crash is told
    apart from the program's end, and a test program runs once more only
    where Wine crashed in it."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="wine-run.")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.bin = os.path.join(self.dir, "bin")
        os.mkdir(self.bin)
        for name, text in (("wine", FAKE_WINE), ("wineserver", "#!/bin/sh\nexit 1\n")):
            with open(os.path.join(self.bin, name), "w") as f:
                f.write(text)
            os.chmod(os.path.join(self.bin, name), 0o755)
        self.build = os.path.join(self.dir, "build")
        self.prefix = os.path.join(self.build, "wineprefix")
        os.makedirs(self.prefix)
        open(os.path.join(self.prefix, ".ready"), "w").close()  # no wineboot
        with open(os.path.join(self.build, "wine-arch"), "w") as f:
            f.write("win32\n")
        self.calls = os.path.join(self.dir, "calls")
        self.reruns = os.path.join(self.dir, "reruns")

    def run_program(self, ends, rerun):
        open(self.calls, "w").close()
        env = dict(os.environ, PATH=self.bin + os.pathsep + os.environ["PATH"],
                   FAKE_CALLS=self.calls, FAKE_ENDS=ends, WINE_BUILD_DIR=self.build,
                   UPD_RUNS_32BIT="yes", UPD_RUNS_32BIT_WHY="probe said so",
                   WINDOWS_TESTS="win32", UPD_TEST_RERUNS=self.reruns)
        env.pop("UPD_WINE_PREFIX_LOG", None)  # a stand-in prefix: nothing for make test to stop
        if rerun:
            env["WINE_RERUN_CRASHED"] = "1"
        r = subprocess.run([os.path.join(SOURCE, "cmake", "wine-run.sh"), "tests.exe", "--all"],
                           env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                           timeout=120)
        with open(self.calls) as f:
            starts = len(f.read().splitlines())
        reruns = []
        if os.path.exists(self.reruns):
            with open(self.reruns) as f:
                reruns = f.read().splitlines()
            os.remove(self.reruns)
        return r, starts, reruns

    def test_only_wines_own_crash_runs_the_program_once_more(self):
        # (ends, rerun asked, exit status, starts, reruns noted, told crashed)
        cases = [
            ("crash 0", True, 0, 2, 1, True),
            ("crash crash", True, 128 + 11, 2, 2, True),
            ("3", True, 3, 1, 0, False),         # the program's own failure
            ("killed 0", True, 128 + 9, 1, 0, False),  # ended from outside
            ("crash 0", False, 128 + 11, 1, 0, True),  # not asked
            ("0", True, 0, 1, 0, False),
        ]
        for ends, rerun, status, starts, noted, crashed in cases:
            with self.subTest(ends=ends, rerun=rerun):
                r, got_starts, reruns = self.run_program(ends, rerun)
                self.assertEqual(status, r.returncode, r.stdout + r.stderr)
                self.assertEqual(starts, got_starts)
                self.assertEqual(noted, len(reruns), reruns)
                self.assertEqual(crashed, "Wine itself crashed: tests.exe was ended by signal 11 "
                                 "(SIGSEGV), not by the program" in r.stderr, r.stderr)
                # Every start's own output is handed on.
                for k in range(1, got_starts + 1):
                    self.assertIn("output of start %d" % k, r.stdout)
                if noted:
                    self.assertIn("tests.exe (every case of this run): RUN ONCE MORE: Wine itself "
                                  "failed, not the program", reruns[0])
                    self.assertIn("RUN ONCE MORE", r.stderr)
                if noted == 2:
                    self.assertIn("FAILED AGAIN after a rerun", reruns[1])

    def test_a_host_command_runs_nothing_again_itself(self):
        # The Python harness reruns its own cases: nested runs must not.
        env = dict(os.environ, WINE_BUILD_DIR=self.build, UPD_RUNS_32BIT="yes",
                   UPD_RUNS_32BIT_WHY="probe said so", WINDOWS_TESTS="win32",
                   WINE_RERUN_CRASHED="1", PATH=self.bin + os.pathsep + os.environ["PATH"])
        env.pop("UPD_WINE_PREFIX_LOG", None)  # a stand-in prefix: nothing for make test to stop
        r = subprocess.run([os.path.join(SOURCE, "cmake", "wine-run.sh"), "--host", "sh", "-c",
                            'echo "[${WINE_RERUN_CRASHED-unset}]"'], env=env,
                           stdout=subprocess.PIPE, text=True, timeout=120)
        self.assertEqual("[unset]", r.stdout.strip())


class CaseRerunTest(unittest.TestCase):
    """tests/tools/wine_reruns.py: a case that Wine itself failed runs once
    more; any other failure stands."""

    def run_case(self, outputs, log=None):
        """Runs one case whose run of a Windows program gives, attempt by
        attempt, the outputs listed (the last for every later attempt).
        log: where UPD_TEST_RERUNS points (a fresh file by default)."""
        from wine_reruns import WineRerunning
        attempts = []

        class Case(WineRerunning):
            SUITE = "fake_suite"

            def test_it(self):
                output = outputs[min(len(attempts), len(outputs) - 1)]
                attempts.append(output)
                self.note_wine_failure(output, "prog.exe")
                self.assertNotIn("wrong", output)

        if log is None:
            log = os.path.join(tempfile.mkdtemp(prefix="reruns."), "reruns")
            self.addCleanup(shutil.rmtree, os.path.dirname(log), True)
        saved = os.environ.get("UPD_TEST_RERUNS")
        os.environ["UPD_TEST_RERUNS"] = log
        try:
            result = unittest.TestResult()
            unittest.TestLoader().loadTestsFromTestCase(Case).run(result)
        finally:
            if saved is None:
                del os.environ["UPD_TEST_RERUNS"]
            else:
                os.environ["UPD_TEST_RERUNS"] = saved
        noted = []
        if os.path.exists(log):
            with open(log) as f:
                noted = f.read().splitlines()
        return result, len(attempts), noted

    def test_only_wines_own_failures_run_the_case_once_more(self):
        crash = "x\nwine-run.sh: Wine itself crashed: prog.exe was ended by signal 11\n"
        lost = "wine-run.sh: the wineserver of /p is gone: Wine ended prog.exe with status 1\n"
        # (outputs, attempts, passes, noted)
        cases = [
            ([crash, "fine"], 2, True, 1),
            ([lost, "fine"], 2, True, 1),
            ([crash, crash], 2, False, 2),
            ([crash, "wrong"], 2, False, 1),   # the second run's own failure stands
            (["wrong", "fine"], 1, False, 0),  # the program's failure: never again
            (["wine: Unhandled page fault on read access", "fine"], 1, True, 0),
            (["fine"], 1, True, 0),
        ]
        for outputs, attempts, passes, noted in cases:
            with self.subTest(outputs=outputs):
                result, got, lines = self.run_case(outputs)
                self.assertEqual(attempts, got)
                self.assertEqual(passes, result.wasSuccessful(), result.failures)
                self.assertEqual(1, result.testsRun)
                self.assertEqual(noted, len(lines), lines)
                if noted:
                    self.assertTrue(lines[0].startswith("fake_suite test_it: RUN ONCE MORE"),
                                    lines)

    def test_a_rerun_that_cannot_be_noted_still_runs(self):
        # The summary's file out of reach (a relative path from another
        # folder, once): the case runs once more all the same.
        crash = "wine-run.sh: Wine itself crashed: prog.exe was ended by signal 11\n"
        missing = os.path.join(tempfile.gettempdir(), "no-such-folder.%d" % os.getpid(), "reruns")
        result, attempts, noted = self.run_case([crash, "fine"], log=missing)
        self.assertEqual(2, attempts)
        self.assertTrue(result.wasSuccessful(), result.errors + result.failures)
        self.assertEqual([], noted)


class RunTestsTest(unittest.TestCase):
    """scripts/run-tests.sh: the reruns that a build's tests note reach its
    summary, from whatever folder a test runs in."""

    def test_reruns_noted_from_a_test_folder_reach_the_summary(self):
        top = tempfile.mkdtemp(prefix="run-tests.")
        self.addCleanup(shutil.rmtree, top, True)
        build = os.path.join(top, "build", "fake")
        elsewhere = os.path.join(build, "tests")
        os.makedirs(elsewhere)
        with open(os.path.join(build, "CTestTestfile.cmake"), "w") as f:
            f.write('add_test(noting "sh" "-c" '
                    '"echo \'fake_suite a_case: RUN ONCE MORE\' >> \\"$UPD_TEST_RERUNS\\"")\n'
                    'set_tests_properties(noting PROPERTIES WORKING_DIRECTORY "%s")\n'
                    % elsewhere)
        env = dict(os.environ, UPD_RUNS_32BIT="no", UPD_RUNS_32BIT_WHY="not probed here")
        env.pop("UPD_TEST_RERUNS", None)
        env.pop("UPD_WINE_PREFIX_LOG", None)
        r = subprocess.run(["bash", os.path.join(SOURCE, "scripts", "run-tests.sh"),
                            os.path.join("build", "fake")], cwd=top, env=env,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                           timeout=120)
        self.assertEqual(0, r.returncode, r.stdout)
        summary = r.stdout[r.stdout.index("==== test summary"):]
        self.assertIn("cases run once more because Wine itself failed: 1\n"
                      "      fake_suite a_case: RUN ONCE MORE", summary)


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


# A stand-in for a fuzz target: notes its name and arguments, and fails
# when its name is in FAKE_FAILING, as a target that found a fault does.
FAKE_FUZZER = """#!/bin/sh
echo "$(basename "$0") $*" >>"$FAKE_CALLS"
case " $FAKE_FAILING " in
  *" $(basename "$0") "*) echo "==1==ERROR: AddressSanitizer: heap-buffer-overflow"; exit 1 ;;
esac
echo "#42 DONE   cov: 7 ft: 9 corp: 3/30b"
"""


class FuzzScriptTest(unittest.TestCase):
    """scripts/fuzz.sh over a build folder whose tests/fuzz holds what CMake
    writes there (a CTestTestfile.cmake with one test per target) and
    stand-ins for the targets."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="fuzz-script.")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.build = os.path.join(self.dir, "build")
        self.fuzz = os.path.join(self.build, "tests", "fuzz")
        os.makedirs(self.fuzz)
        self.calls = os.path.join(self.dir, "calls")

    def targets(self, *names):
        lines = []
        for name in names:
            program = os.path.join(self.fuzz, name)
            with open(program, "w") as f:
                f.write(FAKE_FUZZER)
            os.chmod(program, 0o755)
            # As tests/fuzz/CMakeLists.txt registers each target.
            lines.append('add_test(%s "%s" "-max_total_time=8" "%s/corpus/%s")'
                         % (name, program, self.fuzz, name))
        with open(os.path.join(self.fuzz, "CTestTestfile.cmake"), "w") as f:
            f.write("\n".join(lines) + "\n")

    def run_script(self, failing=""):
        env = dict(os.environ, FAKE_CALLS=self.calls, FAKE_FAILING=failing)
        proc = subprocess.run(["bash", os.path.join(SOURCE, "scripts", "fuzz.sh"), self.build,
                               "5"], env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              text=True, timeout=120)
        calls = {}
        if os.path.exists(self.calls):
            with open(self.calls) as f:
                for line in f:
                    name, *args = line.split()
                    calls[name] = args
        return proc.returncode, proc.stdout, calls

    def test_every_target_of_the_build_runs_a_new_one_too(self):
        # fuzz_package has seeds in the sources; fuzz_newcomer stands for a
        # target that the script has never heard of, without seeds.
        self.targets("fuzz_package", "fuzz_hash_list", "fuzz_newcomer")
        code, out, calls = self.run_script()
        self.assertEqual(0, code, out)
        self.assertEqual(["fuzz_hash_list", "fuzz_newcomer", "fuzz_package"], sorted(calls))
        for name, args in calls.items():
            with self.subTest(target=name):
                self.assertIn("-max_total_time=5", args)
                self.assertIn("-artifact_prefix=%s/fuzz-findings/%s-" % (self.build, name), args)
                self.assertIn("%s/corpus/%s" % (self.fuzz, name), args)
        self.assertIn(os.path.join(SOURCE, "tests", "fuzz", "seeds", "fuzz_package"),
                      calls["fuzz_package"])
        self.assertFalse([a for a in calls["fuzz_newcomer"] if "seeds" in a])
        self.assertIn("3 targets fuzzed for 5s each", out)

    def test_a_finding_fails_the_run_and_the_others_still_run(self):
        self.targets("fuzz_a", "fuzz_b", "fuzz_c")
        code, out, calls = self.run_script(failing="fuzz_b")
        self.assertEqual(1, code, out)
        self.assertEqual(["fuzz_a", "fuzz_b", "fuzz_c"], sorted(calls))
        self.assertIn("FINDING: see %s/fuzz-findings/fuzz_b.log" % self.build, out)
        self.assertIn("heap-buffer-overflow", out)

    def test_a_build_without_targets_is_an_error(self):
        code, out, calls = self.run_script()
        self.assertEqual(1, code, out)
        self.assertIn("no fuzz targets in", out)
        self.assertEqual({}, calls)

    def test_every_fuzz_source_is_a_target_of_the_build(self):
        # What fuzz.sh runs is what CMake builds; a target's source that
        # tests/fuzz/CMakeLists.txt does not name would be neither.
        folder = os.path.join(SOURCE, "tests", "fuzz")
        with open(os.path.join(folder, "CMakeLists.txt")) as f:
            cmake = f.read()
        for name in sorted(os.listdir(folder)):
            if not name.endswith(".cpp"):
                continue
            with open(os.path.join(folder, name)) as f:
                if "LLVMFuzzerTestOneInput" not in f.read():
                    continue
            with self.subTest(source=name):
                self.assertRegex(cmake, r"\b%s\b" % re.escape(name[:-4]))


if __name__ == "__main__":
    SOURCE = os.path.abspath(sys.argv[1])
    sys.path.insert(0, os.path.join(SOURCE, "tests", "tools"))
    unittest.main(argv=[sys.argv[0]] + sys.argv[2:], verbosity=2)
