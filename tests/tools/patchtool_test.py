#!/usr/bin/env python3
"""Tests of the patchtool program as a publisher runs it.

Usage: patchtool_test.py [--merged-output] [--engine-stand-in=FILE] [PREFIX...]
                         PATCHTOOL [-- UNITTEST-ARGS]

PREFIX is a command that runs PATCHTOOL (the build's wine-run for a Windows
build). --merged-output says that the prefix hands back stdout and stderr as
one stream, as wine-run.sh does; the checks then look at that stream.
--engine-stand-in names a build of fake_signing_engine.cpp for the same
system as PATCHTOOL, which the tests put on PATH as osslsigncode.

Signing itself is real: osslsigncode and openssl make throwaway keys and
signatures. The Windows build finds no osslsigncode under Wine (a Linux
program that it cannot wait for), so there the tests sign with osslsigncode
directly and check that patchtool.exe says it cannot check.

Each test works in a fresh temporary folder, which is also the program's
current folder, so that every path given to it is relative and means the
same under Wine. Patches are checked byte for byte against the layout
decoded here, not only through the program's own list command.
"""

import atexit
import fcntl
import glob
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unicodedata
import unittest

from package_bytes import content_sum, hash_list, list_fold, pe_stub
from wine_reruns import WineRerunning

COMMAND = []       # prefix and program
ENGINE_STAND_IN = None  # a stand-in for osslsigncode (fake_signing_engine.cpp)
MERGED = False     # stdout and stderr come back as one stream
NATIVE = True      # the program runs directly (no prefix)

PACKAGE_OFFSET = 65536
OSSLSIGNCODE = shutil.which("osslsigncode")
OPENSSL = shutil.which("openssl")



PE_STUB = pe_stub()
# The updater stub of every patch: the stub check takes a GUI program.
STUB = PE_STUB


PE_CHECKSUM_AT = 0x40 + 24 + 64             # in PE_STUB's optional header
PE_TABLE_ENTRY_AT = 0x40 + 24 + 96 + 4 * 8  # its certificate table entry


def table_entry(data):
    """(offset, size) of the certificate table of a file made from PE_STUB."""
    return struct.unpack_from("<II", data, PE_TABLE_ENTRY_AT)


KEYS = None  # folder of throwaway certificates, made once


def make_keys():
    """Self-signed code-signing certificates and keys, made for this run."""
    global KEYS
    if KEYS is not None:
        return KEYS
    KEYS = tempfile.mkdtemp(prefix="patchtool-keys.")
    atexit.register(shutil.rmtree, KEYS, True)
    for name, subject in (("", "/CN=Velmora Test Publisher"), ("other-", "/CN=Someone Else")):
        subprocess.run([OPENSSL, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30",
                        "-subj", subject, "-addext", "extendedKeyUsage=codeSigning",
                        "-keyout", name + "key.pem", "-out", name + "cert.pem"],
                       cwd=KEYS, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with open(os.path.join(KEYS, "pass.txt"), "w") as f:
        f.write("swordfish\n")
    with open(os.path.join(KEYS, "wrong-pass.txt"), "w") as f:
        f.write("haddock\n")
    subprocess.run([OPENSSL, "pkey", "-in", "key.pem", "-aes256", "-passout", "file:pass.txt",
                    "-out", "locked-key.pem"], cwd=KEYS, check=True)
    return KEYS


def parse_patch(data):
    """(stub area, [(name, offset, size, data)]) decoded from a patch."""
    header = data[PACKAGE_OFFSET:PACKAGE_OFFSET + 16]
    count = struct.unpack_from("<I", header, 12)[0]
    base = PACKAGE_OFFSET + 16 + 32 * count
    entries = []
    for i in range(count):
        record = data[PACKAGE_OFFSET + 16 + 32 * i:PACKAGE_OFFSET + 48 + 32 * i]
        name = record[:16].split(b"\0")[0].decode("cp932")  # as the updater reads it
        offset, size = struct.unpack_from("<II", record, 16)
        entries.append((name, offset, size, data[base + offset:base + offset + size]))
    return data[:PACKAGE_OFFSET], header[:12], entries, base


def build_patch(entries):
    """A patch laid out here byte by byte: STUB, zero fill, the header, the
    directory and the data back to back; entries are (stored name, data)."""
    out = bytearray(STUB.ljust(PACKAGE_OFFSET, b"\0"))
    out += b"PackFile    " + struct.pack("<I", len(entries))
    offset = 0
    for name, data in entries:
        if isinstance(name, str):
            name = name.encode("cp932")
        out += name.ljust(16, b"\0")[:16] + struct.pack("<II", offset, len(data)) + bytes(8)
        offset += len(data)
    for _, data in entries:
        out += data
    return bytes(out)


def processes():
    """{pid: (parent pid, argv)} of this machine's processes."""
    found = {}
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % name, "rb") as f:
                parent = int(f.read().rsplit(b")", 1)[1].split()[1])
            with open("/proc/%s/cmdline" % name, "rb") as f:
                argv = [a.decode("utf-8", "replace") for a in f.read().split(b"\0") if a]
        except (OSError, IndexError, ValueError):
            continue
        found[int(name)] = (parent, argv)
    return found



def signal_pending(pid, sig):
    """Whether sig waits at process pid, blocked (Linux's /proc)."""
    try:
        with open("/proc/%d/status" % pid) as f:
            status = f.read()
    except OSError:
        return False
    for line in status.splitlines():
        field = line.split(":")[0]
        if field in ("ShdPnd", "SigPnd") and int(line.split()[1], 16) & (1 << (sig - 1)):
            return True
    return False


def tree(root):
    """{relative path with '/': bytes} of every file under root."""
    found = {}
    for folder, _, files in os.walk(root):
        for name in files:
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, root).replace(os.sep, "/")] = f.read()
    return found


class Result:
    def __init__(self, code, out, err):
        self.code = code
        self.out = out
        self.err = err

    def lines(self):
        return self.out.splitlines()

    def result_lines(self):
        """stdout's lines; where stderr comes in the same stream (under
        Wine), without the program's error lines and the indented lines of
        a message that names many files."""
        kept, within = [], False
        for l in self.lines():
            within = MERGED and (l.startswith("patchtool ") or (within and l.startswith("  ")))
            if not within:
                kept.append(l)
        return kept


def normalize(raw):
    return raw.decode("utf-8", "replace").replace("\r\n", "\n")


def pipe_is_open(path):
    """Whether any process holds path open (Linux's /proc)."""
    for fd_dir in glob.glob("/proc/[0-9]*/fd"):
        try:
            links = [os.readlink(os.path.join(fd_dir, fd)) for fd in os.listdir(fd_dir)]
        except OSError:  # the process ended, or an fd closed meanwhile
            continue
        if path in links:
            return True
    return False


class PatchtoolTest(WineRerunning):
    # A case that Wine itself fails (it crashes, or loses its wineserver:
    # rare, and not patchtool's doing) runs once more (wine_reruns.py).
    SUITE = "patchtool_cli"

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="patchtool.")
        self.addCleanup(shutil.rmtree, self.dir, True)

    # -- helpers ------------------------------------------------------------

    def run_tool(self, *args, env=None, cwd=None):
        proc = subprocess.run(COMMAND + list(args), cwd=cwd or self.dir,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=300, env=env)
        return self.checked(Result(proc.returncode, normalize(proc.stdout),
                                   normalize(proc.stderr)), args)

    def checked(self, result, args):
        """result, unless Wine itself failed in that run (under Wine its
        words come back in the program's output, where they would pass for
        patchtool's): the case then fails, and runs once more."""
        if not NATIVE:
            self.note_wine_failure(result.out + result.err,
                                   "patchtool %s, exit status %d" % (" ".join(args), result.code))
        return result

    def path(self, name):
        return os.path.join(self.dir, *name.split("/"))

    def write(self, name, data):
        path = self.path(name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def listing(self):
        found = []
        for root, dirs, files in os.walk(self.dir):
            for name in dirs + files:
                found.append(os.path.relpath(os.path.join(root, name), self.dir))
        return sorted(found)

    def err(self, result):
        """What the program wrote on stderr (merged: its own lines, and the
        indented lines of a message that names many files)."""
        if MERGED:
            kept, within = [], False
            for l in result.out.splitlines():
                within = l.startswith("patchtool") or (within and l.startswith("  "))
                if within:
                    kept.append(l + "\n")
            return "".join(kept)
        return result.err

    def assert_error_line(self, result, command, warnings=False):
        """Exactly one error on stderr, naming the command: its line, and
        when it names many files, one indented line per file after it (the
        line then ends in a colon); nothing else, unless warnings are
        expected, each in the same form. Returns the error's lines, joined
        by line feeds."""
        stream = result.out if MERGED else result.err
        messages, stray = [], []
        for line in stream.splitlines():
            if line.startswith("patchtool"):
                messages.append([line])
            elif line.startswith("  ") and messages:
                messages[-1].append(line)
            else:
                stray.append(line)
        errors = [m for m in messages if ": warning: " not in m[0]]
        self.assertEqual(1, len(errors), stream)
        if not warnings:
            self.assertEqual(1, len(messages), stream)
        block = errors[0]
        self.assertTrue(block[0].startswith("patchtool %s: " % command) if command
                        else block[0].startswith("patchtool: "), block[0])
        if len(block) > 1:
            self.assertTrue(block[0].endswith(":"), block[0])
        if not MERGED:
            self.assertEqual([], stray, result.err)
        return "\n".join(block)

    def make_files(self):
        self.write("stub.bin", STUB)
        files = {"Data01.arc": os.urandom(3000), "b.arc": os.urandom(70000), "empty.dat": b""}
        for name, data in files.items():
            self.write("src/" + name, data)
        return files

    # -- help -----------------------------------------------------------------

    def test_help_of_the_tool_and_of_every_command(self):
        commands = ["make", "sum", "hashlist", "pack", "sign", "list", "apply", "verify", "check",
                    "extract"]
        top = self.run_tool("--help")
        self.assertEqual(0, top.code)
        for command in commands:
            self.assertRegex(top.out, r"\n  %s +\S" % command)
        for command in commands:
            with self.subTest(command=command):
                r = self.run_tool(command, "--help")
                self.assertEqual(0, r.code, r.out + r.err)
                self.assertTrue(r.out.startswith("Usage: patchtool %s" % command), r.out)
                self.assertIn("exit status", r.out.lower())
        apply_help = self.run_tool("apply", "--help").out
        for name, value, status in [("UPD_OK", "0x00000000", 0),
                                    ("UPD_E_PACKAGE", "0x80000001", 11),
                                    ("UPD_E_TOO_MANY", "0x80000002", 12),
                                    ("UPD_E_CHECKSUM", "0x80000003", 13),
                                    ("UPD_E_WRITE", "0x80000004", 14),
                                    ("UPD_E_UNINSTALL_LIST", "0x80000005", 15)]:
            self.assertRegex(apply_help, r"\n +%d +%s +%s +\S" % (status, name, value))

    def test_usage_errors(self):
        cases = [([], None), (["frobnicate"], None), (["sum"], "sum"),
                 (["sum", "--frob", "x"], "sum"), (["list"], "list"),
                 (["list", "a", "b"], "list"), (["apply", "patch.exe"], "apply"),
                 (["verify"], "verify"), (["pack", "--stub", "stub.bin", "a"], "pack"),
                 (["pack", "-o", "out.exe", "a"], "pack"), (["hashlist", "a"], "hashlist"),
                 (["pack", "--stub"], "pack"), (["pack", "--hash-list=yes"], "pack"),
                 (["sign", "patch.exe"], "sign"),
                 (["sign", "patch.exe", "--cert", "c.pem"], "sign"),
                 (["sign", "--cert", "c.pem", "--key", "k.pem"], "sign"),
                 (["sign", "a.exe", "b.exe", "--cert", "c.pem", "--key", "k.pem"], "sign"),
                 (["verify", "patch.exe", "--ca"], "verify"), (["list", "--ca=", "p.exe"], "list")]
        for args, command in cases:
            with self.subTest(args=args):
                r = self.run_tool(*args)
                self.assertEqual(2, r.code)
                self.assert_error_line(r, command)
                self.assertEqual([], self.listing())

    # -- sum ------------------------------------------------------------------

    def test_sum_prints_lower_case_stored_bytes_and_the_name(self):
        self.write("empty", b"")
        self.write("abc.txt", b"abc")
        self.write("a.txt", b"a")
        r = self.run_tool("sum", "empty", "abc.txt", "missing.txt", "a.txt")
        self.assertEqual(1, r.code)
        self.assertEqual(["0000000000000000  empty", "06b4500012cc2660  abc.txt",
                          "6100000061616161  a.txt"],
                         [l for l in r.lines() if not l.startswith("patchtool")])
        self.assertIn("missing.txt", self.assert_error_line(r, "sum"))

    # -- pack and list ----------------------------------------------------------

    def test_pack_then_list_round_trip(self):
        files = self.make_files()
        records = [("Data01.arc", content_sum(files["Data01.arc"])),
                   ("b.arc", content_sum(b"not b")), ("empty.dat", content_sum(b""))]
        self.write("qen.hvl", hash_list(records))
        # b.arc differs from its record: refused, or packed with --force.
        pack = ["pack", "--stub", "stub.bin", "-o", "patch.exe",
                "src/Data01.arc", "src/b.arc", "src/empty.dat", "qen.hvl"]
        r = self.run_tool(*pack)
        self.assertEqual(1, r.code, r.err + r.out)
        self.assertIn("src/b.arc differs from its record in qen.hvl (listed %s, data %s); the "
                      "update would stop there with UPD_E_CHECKSUM: refresh the list (patchtool "
                      "hashlist --base), or pack anyway with --force (nothing written)"
                      % (content_sum(b"not b").hex(), content_sum(files["b.arc"]).hex()),
                      self.assert_error_line(r, "pack"))
        self.assertNotIn("patch.exe", self.listing())
        r = self.run_tool(*pack, "--force")
        self.assertEqual(0, r.code, r.err + r.out)
        self.assertIn("patchtool pack: warning: src/b.arc differs from its record in qen.hvl",
                      self.err(r))

        data = self.read("patch.exe")
        stub_area, signature, entries, base = parse_patch(data)
        self.assertEqual(STUB + bytes(PACKAGE_OFFSET - len(STUB)), stub_area)
        self.assertEqual(b"PackFile    ", signature)
        names = ["Data01.arc", "b.arc", "empty.dat", "qen.hvl"]
        self.assertEqual(names, [e[0] for e in entries])
        expected_data = [files["Data01.arc"], files["b.arc"], b"", hash_list(records)]
        self.assertEqual(expected_data, [e[3] for e in entries])
        offsets = [0, 3000, 73000, 73000]
        self.assertEqual(offsets, [e[1] for e in entries])
        self.assertEqual(base + 73000 + len(hash_list(records)), len(data))

        r = self.run_tool("list", "patch.exe")
        self.assertEqual(0, r.code, r.out + r.err)
        lines = r.lines()
        self.assertEqual("patch.exe: 4 entries, data base %d" % base, lines[0])
        self.assertEqual("hash list: qen.hvl (entry 3), 3 records", lines[1])
        self.assertEqual("signature: none", lines[2])
        self.assertEqual("stub: an updater (PE32 i386 GUI), image of 1024 bytes", lines[3])
        rows = [l.split(None, 4) for l in lines[5:]]
        self.assertEqual([["0", "0", "3000", "matches", "Data01.arc"],
                          ["1", "3000", "70000", "differs", "b.arc"],
                          ["2", "73000", "0", "matches", "empty.dat"],
                          ["3", "73000", "208", "not", "listed  qen.hvl"]], rows)

    def test_pack_with_a_generated_hash_list(self):
        files = self.make_files()
        r = self.run_tool("pack", "--hash-list", "--stub", "stub.bin", "--output=patch.exe",
                          "src/b.arc", "src/Data01.arc")
        self.assertEqual(0, r.code, r.err + r.out)
        _, _, entries, _ = parse_patch(self.read("patch.exe"))
        self.assertEqual(["b.arc", "Data01.arc", "QEN.hvl"], [e[0] for e in entries])
        self.assertEqual(hash_list([("b.arc", content_sum(files["b.arc"])),
                                    ("Data01.arc", content_sum(files["Data01.arc"]))]),
                         entries[2][3])

        r = self.run_tool("list", "patch.exe")
        self.assertEqual(0, r.code, r.out + r.err)
        self.assertEqual(["matches", "matches", "not listed"],
                         [l.split(None, 3)[3].rsplit("  ", 1)[0].strip()
                          for l in r.lines()[5:]])

    def test_pack_replaces_an_existing_output(self):
        self.make_files()
        self.write("patch.exe", os.urandom(200000))
        r = self.run_tool("pack", "--hash-list", "--stub", "stub.bin", "-o", "patch.exe",
                          "src/b.arc")
        self.assertEqual(0, r.code, r.out + r.err)
        _, _, entries, base = parse_patch(self.read("patch.exe"))
        self.assertEqual(base + 70000 + 16 + 64, len(self.read("patch.exe")))
        self.assertNotIn("patch.exe.part", self.listing())

    def test_refusals_write_nothing(self):
        long_record = "n" * 52 + ".arc"  # 56 bytes: one more than a record holds
        files17 = ["f%d.dat" % i for i in range(17)]
        pack = ["pack", "--stub", "stub.bin", "-o", "out.bin"]
        cases = [
            ("name of 16 bytes", pack + ["src/sixteen_chars.xy"], {"src/sixteen_chars.xy": b"x"}),
            ("parent step", pack + ["src/.."], {}),
            ("stub too long", pack + ["src/a.arc"], {"stub.bin": bytes(65537)}),
            ("17 files", pack + ["src/" + f for f in files17], {"src/" + f: b"x" for f in files17}),
            ("two hash lists", pack + ["src/qen.hvl", "src/sub/QEN.HVL"],
             {"src/qen.hvl": hash_list([]), "src/sub/QEN.HVL": hash_list([])}),
            ("hash list and --hash-list", pack + ["--hash-list", "src/a.arc", "src/Qen.hvl"],
             {"src/Qen.hvl": hash_list([])}),
            ("same name twice", pack + ["src/a.arc", "src/sub/A.ARC"], {"src/sub/A.ARC": b"y"}),
            ("missing file", pack + ["src/a.arc", "src/missing.arc"], {}),
            ("missing stub", ["pack", "--stub", "nostub.bin", "-o", "out.bin", "src/a.arc"], {}),
            ("record name too long", ["hashlist", "-o", "out.bin", "src/" + long_record],
             {"src/" + long_record: b"z"}),
            ("same name twice in a list", ["hashlist", "-o", "out.bin", "src/a.arc",
                                           "src/sub/A.arc"], {"src/sub/A.arc": b"y"}),
            ("missing file for a list", ["hashlist", "-o", "out.bin", "src/missing.arc"], {}),
            ("base that does not load", ["hashlist", "--base", "src/a.arc", "-o", "out.bin",
                                         "src/a.arc"], {}),
        ]
        for what, args, extra in cases:
            for existing in (False, True):
                with self.subTest(what=what, existing=existing):
                    shutil.rmtree(self.dir)
                    os.mkdir(self.dir)
                    self.write("stub.bin", STUB)
                    self.write("src/a.arc", b"data of a")
                    for name, data in extra.items():
                        self.write(name, data)
                    old = os.urandom(1000)
                    if existing:
                        self.write("out.bin", old)
                    before = self.listing()
                    r = self.run_tool(*args)
                    self.assertEqual(1, r.code, r.out + r.err)
                    self.assert_error_line(r, args[0])
                    self.assertEqual(before, self.listing())
                    if existing:
                        self.assertEqual(old, self.read("out.bin"))

    # -- hashlist -----------------------------------------------------------------

    def test_hashlist_without_base(self):
        # Each FILE is recorded under its path as given, from the game's
        # top folder.
        self.write("Game.EXE", b"abc")
        self.write("b/readme.txt", b"")
        # A new list: its summary; --verbose lists every file. The records
        # come in the one order of the toolkit's lists, not as given.
        for verbose in ([], ["--verbose"]):
            with self.subTest(verbose=verbose):
                if os.path.exists(self.path("qen.hvl")):
                    os.remove(self.path("qen.hvl"))
                r = self.run_tool("hashlist", "-o", "qen.hvl", "Game.EXE", "./b/readme.txt",
                                  *verbose)
                self.assertEqual(0, r.code, r.out + r.err)
                self.assertEqual(hash_list([("b\\readme.txt", bytes(8)),
                                            ("Game.EXE", bytes.fromhex("06b4500012cc2660"))]),
                                 self.read("qen.hvl"))
                files = ["0000000000000000  b\\readme.txt  added",
                         "06b4500012cc2660  Game.EXE  added"] if verbose else []
                self.assertEqual(files + [
                    "qen.hvl: 2 records, a new list%s" % ("" if verbose else
                                                          " (--verbose lists every file)"),
                    "release check: passes; a fix patch can deliver every one of the 2 "
                    "files"], r.result_lines())

    def test_hashlist_with_base_keeps_order_and_stored_names(self):
        keep = bytes.fromhex("1111111111111111")
        stale = bytes.fromhex("2222222222222222")
        old = hash_list([("Game.EXE", keep), ("DATA01.ARC", stale), ("readme.txt", keep),
                         ("data01.arc", stale)])
        self.write("qen.hvl", old)
        new_data = os.urandom(5000)
        self.write("new/data01.arc", new_data)
        self.write("new/Movie.mpg", b"movie")
        # Files of the game that this run does not record.
        self.write("new/game.exe", b"game")
        self.write("new/readme.txt", b"readme")
        r = self.run_tool("hashlist", "--base", "../qen.hvl", "-o", "../new.hvl",
                          "data01.arc", "Movie.mpg", cwd=self.path("new"))
        self.assertEqual(0, r.code, r.out + r.err)
        fresh = content_sum(new_data)
        # Every record of the file refreshed, in the one order of the lists.
        self.assertEqual(hash_list([("DATA01.ARC", fresh), ("data01.arc", fresh),
                                    ("Game.EXE", keep), ("Movie.mpg", content_sum(b"movie")),
                                    ("readme.txt", keep)]),
                         self.read("new.hvl"))
        self.assertEqual(old, self.read("qen.hvl"))
        # The changes against the base, and only those, then the summary.
        self.assertEqual(["%s  DATA01.ARC  changed" % fresh.hex(),
                          "%s  data01.arc  changed" % fresh.hex(),
                          "%s  Movie.mpg  added" % content_sum(b"movie").hex(),
                          "../new.hvl: 5 records; against the list before (../qen.hvl): 1 added, "
                          "2 changed, 2 unchanged"],
                         r.result_lines()[:4])
        self.assertEqual(sorted(["new", os.path.join("new", "Movie.mpg"),
                                 os.path.join("new", "data01.arc"), os.path.join("new", "game.exe"),
                                 os.path.join("new", "readme.txt"), "new.hvl", "qen.hvl"]),
                         self.listing())

    # -- verify, list of a damaged patch, apply -----------------------------------

    def make_patch(self):
        files = self.make_files()
        r = self.run_tool("pack", "--hash-list", "--stub", "stub.bin", "-o", "patch.exe",
                          "src/Data01.arc", "src/b.arc", "src/empty.dat")
        self.assertEqual(0, r.code, r.out + r.err)
        return files

    def damage(self, offset_in_entry, entry, name="patch.exe"):
        data = bytearray(self.read(name))
        _, _, entries, base = parse_patch(bytes(data))
        data[base + entries[entry][1] + offset_in_entry] ^= 0x01
        self.write(name, bytes(data))

    def test_verify_of_a_good_and_of_a_damaged_patch(self):
        self.make_patch()
        r = self.run_tool("verify", "patch.exe")
        self.assertEqual(0, r.code, r.err + r.out)
        self.assertEqual(["hash list: QEN.hvl (entry 3), 3 records",
                          "signature: none",
                          "stub: an updater (PE32 i386 GUI), image of 1024 bytes",
                          "matches     Data01.arc", "matches     b.arc",
                          "matches     empty.dat", "not listed  QEN.hvl",
                          "patch.exe: passes; 3 of 4 entries verified"], r.lines())

        self.damage(69999, 1)
        r = self.run_tool("verify", "patch.exe")
        self.assertEqual(1, r.code)
        self.assertRegex(r.out, r"\ndiffers     b\.arc  \(listed [0-9a-f]{16}, data [0-9a-f]{16}\)\n")
        self.assertIn("UPD_E_CHECKSUM", self.assert_error_line(r, "verify"))
        # list shows the difference but the package itself is usable.
        r = self.run_tool("list", "patch.exe")
        self.assertEqual(0, r.code, r.out + r.err)
        self.assertIn(" differs ", r.out)

    def test_verify_and_list_of_unusable_patches(self):
        self.make_patch()
        good = self.read("patch.exe")
        _, _, entries, base = parse_patch(good)
        hash_list_at = base + entries[3][1]
        cases = [
            ("cut short", good[:-1], "verify", "UPD_E_PACKAGE"),
            ("no package", good[:65535], "verify", "UPD_E_PACKAGE"),
            ("17 entries", good[:PACKAGE_OFFSET + 12] + struct.pack("<I", 17), "verify",
             "UPD_E_TOO_MANY"),
            ("hash list with a wrong magic",
             good[:hash_list_at] + b"JXW____x" + good[hash_list_at + 8:], "verify",
             "hash list"),
            ("cut short", good[:-1], "list", "UPD_E_PACKAGE"),
            ("no package", good[:65535], "list", "UPD_E_PACKAGE"),
        ]
        for what, data, command, part in cases:
            with self.subTest(what=what, command=command):
                self.write("bad.exe", data)
                r = self.run_tool(command, "bad.exe")
                self.assertEqual(1, r.code, r.out)
                self.assertIn(part, self.assert_error_line(r, command))
        r = self.run_tool("verify", "missing.exe")
        self.assertEqual(1, r.code)
        self.assertIn("missing.exe", self.assert_error_line(r, "verify"))

    def install_folder(self, name, listed=b"game.exe\n"):
        os.makedirs(self.path(name))
        if listed is not None:
            self.write(name + "/uninst.lst", listed + b"\0")

    def test_apply(self):
        files = self.make_patch()
        self.install_folder("game")
        r = self.run_tool("apply", "patch.exe", "game")
        self.assertEqual(0, r.code, r.out + r.err)
        self.assertEqual(["UPD_OK 0x00000000 Every entry was written and the uninstall list "
                          "was updated."], r.lines())
        for name, data in files.items():
            self.assertEqual(data, self.read("game/" + name))
        self.assertEqual(b"game.exe\nData01.arc\nb.arc\nempty.dat\nQEN.hvl\n\0",
                         self.read("game/uninst.lst"))

        # A damaged second entry: nothing is put in place, not even the first.
        self.damage(10, 1)
        self.install_folder("game2")
        r = self.run_tool("apply", "patch.exe", "game2")
        self.assertEqual(13, r.code)
        self.assertEqual(1, len(r.result_lines()), r.out)
        self.assertTrue(r.out.startswith("UPD_E_CHECKSUM 0x80000003 A listed entry"), r.out)
        self.assertEqual(["uninst.lst"], sorted(os.listdir(self.path("game2"))))
        self.assertEqual(b"game.exe\n\0", self.read("game2/uninst.lst"))

    def test_apply_failures_have_their_own_exit_status(self):
        self.make_patch()
        self.install_folder("game")
        self.install_folder("nolist", listed=None)
        self.install_folder("listfolder", listed=None)
        os.mkdir(self.path("listfolder/uninst.lst"))
        self.write("short.exe", STUB)
        sep = "/" if NATIVE else "\\"
        # (patch, folder, status, stdout line, error part): the folder and its
        # list are checked before anything is written.
        cases = [("short.exe", "game", 11, "UPD_E_PACKAGE 0x80000001 ", None),
                 ("patch.exe", "nolist", 15, None,
                  "cannot open the uninstall list nolist%suninst.lst: " % sep),
                 ("patch.exe", "listfolder", 15, None,
                  "cannot open the uninstall list listfolder%suninst.lst: it is a folder" % sep),
                 ("patch.exe", "missing", 14, None,
                  "the install folder missing does not exist; the updater creates none "
                  "(UPD_E_WRITE; nothing written)")]
        for patch, folder, code, line, part in cases:
            with self.subTest(folder=folder, patch=patch):
                before = self.files_here()
                r = self.run_tool("apply", patch, folder)
                self.assertEqual(code, r.code, r.out)
                self.assertEqual(before, self.files_here())
                if line:
                    self.assertEqual(1, len(r.result_lines()), r.out)
                    self.assertTrue(r.out.startswith(line), r.out)
                else:
                    self.assertEqual([], [l for l in r.lines() if not l.startswith("patchtool")])
                    self.assertIn(part, self.assert_error_line(r, "apply"))

    def test_apply_shows_progress_only_on_a_terminal(self):
        if not NATIVE or not hasattr(os, "openpty"):
            self.skipTest("needs a terminal that the program itself sees")
        self.make_patch()
        self.install_folder("game")
        shown, code, stdout = self.run_on_terminal(["apply", "patch.exe", "game"])
        self.assertEqual(0, code)
        self.assertIn(b"[2/4] b.arc", shown)
        self.assertIn(b"100%", shown)
        self.assertTrue(stdout.startswith(b"UPD_OK "), stdout)
        # Through a pipe, nothing but the result line.
        self.install_folder("game2")
        r = self.run_tool("apply", "patch.exe", "game2")
        self.assertEqual("", r.err)


    # -- sign, and signatures in list and verify ---------------------------------

    def keys(self):
        """The throwaway certificates, copied into keys/ of the test folder."""
        shutil.copytree(make_keys(), self.path("keys"))

    def make_pe_patch(self, name="patch.exe"):
        files = self.make_files()
        self.write("updater.exe", PE_STUB)
        r = self.run_tool("pack", "--hash-list", "--stub", "updater.exe", "-o", name,
                          "src/Data01.arc", "src/b.arc", "src/empty.dat")
        self.assertEqual(0, r.code, r.out + r.err)
        return files

    def engine(self, *args):
        """osslsigncode itself, run here whichever build is under test."""
        proc = subprocess.run([OSSLSIGNCODE] + list(args), cwd=self.dir,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
        self.assertEqual(0, proc.returncode, proc.stdout)

    def sign(self, patch, out):
        """Signs patch into out: by patchtool where it can run the engine,
        else (the Windows build under Wine) by osslsigncode directly."""
        if NATIVE:
            r = self.run_tool("sign", patch, "--cert", "keys/cert.pem", "--key", "keys/key.pem",
                              "-o", out)
            self.assertEqual(0, r.code, r.out + r.err)
            return r
        self.engine("sign", "-certs", "keys/cert.pem", "-key", "keys/key.pem", "-in", patch,
                    "-out", out)
        return None

    def files_of(self, folder):
        return {f: self.read(folder + "/" + f) for f in sorted(os.listdir(self.path(folder)))}

    def files_here(self):
        return {name: self.read(name) for name in self.listing()
                if os.path.isfile(self.path(name))}

    def test_signed_patch_keeps_its_package_and_applies_as_unsigned(self):
        files = self.make_pe_patch()
        self.keys()
        unsigned = self.read("patch.exe")
        r = self.sign("patch.exe", "signed-patch.exe")
        self.assertEqual(unsigned, self.read("patch.exe"))  # -o leaves PATCH alone
        self.assertNotIn("signed-patch.exe.part", self.listing())

        # Byte for byte the unsigned patch but for the headers' checksum and
        # table entry; the table follows the package, 8-byte aligned.
        signed = self.read("signed-patch.exe")
        offset, size = table_entry(signed)
        self.assertNotEqual(0, size)
        self.assertEqual(len(signed), offset + size)
        self.assertEqual(0, offset % 8)
        self.assertGreaterEqual(offset, len(unsigned))
        expected = bytearray(unsigned)
        for at, width in ((PE_CHECKSUM_AT, 4), (PE_TABLE_ENTRY_AT, 8)):
            expected[at:at + width] = signed[at:at + width]
        self.assertEqual(bytes(expected), signed[:len(unsigned)])
        self.assertEqual(bytes(offset - len(unsigned)), signed[len(unsigned):offset])
        if r is not None:
            self.assertEqual("signed-patch.exe: signed; 4 entries read back unchanged; "
                             "certificate table of %d bytes at offset %d\n" % (size, offset),
                             r.out)
            # Signing twice is refused: the unsigned PATCH is what to sign again.
            self.assertEqual("patchtool sign: warning: signed without --timestamp: the signature "
                             "stops verifying when the certificate expires; a signed patch cannot "
                             "be signed again, so sign patch.exe (still unsigned) again with "
                             "--timestamp URL (your CA's RFC 3161 server) before you ship\n",
                             r.err)

        # list and verify: the same but for the signature line.
        signature = ("signature: present, verifies" if NATIVE
                     else "signature: present, not checked (osslsigncode not found)")
        for command, line in (("list", 2), ("verify", 1)):
            with self.subTest(command=command):
                plain = self.run_tool(command, "patch.exe")
                checked = self.run_tool(command, "--ca", "keys/cert.pem", "signed-patch.exe")
                self.assertEqual(0, plain.code, plain.out + plain.err)
                self.assertEqual(0, checked.code, checked.out + checked.err)
                self.assertEqual("signature: none", plain.lines()[line])
                self.assertEqual(signature, checked.lines()[line])

                def others(r):
                    return [l.replace("signed-patch.exe", "patch.exe")
                            for i, l in enumerate(r.lines()) if i != line]
                self.assertEqual(others(plain), others(checked))

        # apply: the same line, exit status, files and uninstall list.
        self.install_folder("game")
        self.install_folder("game-signed")
        plain = self.run_tool("apply", "patch.exe", "game")
        checked = self.run_tool("apply", "signed-patch.exe", "game-signed")
        self.assertEqual(0, plain.code, plain.out)
        self.assertEqual((plain.code, plain.out), (checked.code, checked.out))
        self.assertEqual(self.files_of("game"), self.files_of("game-signed"))
        for name, data in files.items():
            self.assertEqual(data, self.read("game-signed/" + name))

    def test_changing_any_byte_after_signing_breaks_the_signature(self):
        if not NATIVE:
            self.skipTest("the Windows build finds no osslsigncode to check with")
        self.make_pe_patch()
        self.keys()
        self.sign("patch.exe", "signed-patch.exe")
        signed = self.read("signed-patch.exe")
        _, _, entries, base = parse_patch(signed)
        hash_list_at = base + entries[3][1]
        # (what, position, whether the package check still passes: then the
        # signature is all that notices)
        positions = [
            ("the updater's code", 0x200 + 1, True),
            ("the zero fill before the package", 0x8000, True),
            ("the package header's signature bytes", PACKAGE_OFFSET + 3, True),
            ("a directory record's reserved bytes", PACKAGE_OFFSET + 16 + 32 + 24, True),
            ("an entry's data", base + entries[1][1] + 69999, False),
            ("a name in the hash list", hash_list_at + 16, True),
            ("the package's last byte", base + entries[3][1] + entries[3][2] - 1, False),
        ]
        r = self.run_tool("verify", "--ca", "keys/cert.pem", "signed-patch.exe")
        self.assertEqual(0, r.code, r.out + r.err)
        changed = "signature: present, does not verify (the file was changed after signing)"
        for what, at, package_passes in positions:
            with self.subTest(what=what):
                data = bytearray(signed)
                data[at] ^= 0x20
                self.write("changed.exe", bytes(data))
                r = self.run_tool("verify", "--ca", "keys/cert.pem", "changed.exe")
                self.assertEqual(1, r.code, r.out)
                self.assertEqual(changed, r.lines()[1])
                # One error line: the package's own fault where it has one.
                error = self.assert_error_line(r, "verify")
                self.assertEqual(package_passes, "the signature does not verify" in error, error)
                r = self.run_tool("list", "--ca", "keys/cert.pem", "changed.exe")
                self.assertEqual(0, r.code, r.out + r.err)
                self.assertEqual(changed, r.lines()[2])

    def test_signature_not_trusted_or_unreadable(self):
        if not NATIVE:
            self.skipTest("the Windows build finds no osslsigncode to check with")
        self.make_pe_patch()
        self.keys()
        self.sign("patch.exe", "signed-patch.exe")
        signed = self.read("signed-patch.exe")
        self.write("cut-patch.exe", signed[:-100])
        untrusted = "certificate not trusted: self-signed certificate"
        cases = [
            ("no --ca", [], "signed-patch.exe", untrusted + "; no --ca given"),
            ("another CA", ["--ca", "keys/other-cert.pem"], "signed-patch.exe", untrusted),
            ("table cut short", ["--ca", "keys/cert.pem"], "cut-patch.exe",
             "the certificate table cannot be read"),
        ]
        for what, ca, patch, reason in cases:
            with self.subTest(what=what):
                line = "signature: present, does not verify (%s)" % reason
                r = self.run_tool("list", patch, *ca)
                self.assertEqual(0, r.code, r.out + r.err)  # list only reports
                self.assertEqual(line, r.lines()[2])
                r = self.run_tool("verify", patch, *ca)
                self.assertEqual(1, r.code, r.out)
                self.assertEqual(line, r.lines()[1])
                self.assertIn("fails: the signature does not verify (%s)" % reason,
                              self.assert_error_line(r, "verify"))

    def test_missing_ca_file_and_missing_engine(self):
        self.make_pe_patch()
        self.keys()
        self.sign("patch.exe", "signed-patch.exe")
        for command in ("list", "verify"):
            with self.subTest(command=command):
                r = self.run_tool(command, "--ca", "keys/missing.pem", "signed-patch.exe")
                self.assertEqual(1, r.code, r.out)
                self.assertIn("cannot open the CA file keys/missing.pem",
                              self.assert_error_line(r, command))
        if not NATIVE:
            return  # the Windows build finds no engine anyway: see above
        empty = self.path("empty-path")
        os.mkdir(empty)
        env = dict(os.environ, PATH=empty)
        for command, line in (("list", 2), ("verify", 1)):
            with self.subTest(command=command, engine="missing"):
                r = self.run_tool(command, "--ca", "keys/cert.pem", "signed-patch.exe", env=env)
                self.assertEqual(0, r.code, r.out + r.err)
                self.assertEqual("signature: present, not checked (osslsigncode not found)",
                                 r.lines()[line])
                # An unsigned patch needs no engine at all.
                r = self.run_tool(command, "patch.exe", env=env)
                self.assertEqual("signature: none", r.lines()[line])

    def test_sign_in_place_with_a_locked_key(self):
        if not NATIVE:
            self.skipTest("the Windows build finds no osslsigncode to sign with")
        self.make_pe_patch()
        self.keys()
        r = self.run_tool("sign", "patch.exe", "--cert", "keys/cert.pem",
                          "--key", "keys/locked-key.pem", "--pass-file", "keys/pass.txt")
        self.assertEqual(0, r.code, r.out + r.err)
        self.assertTrue(r.out.startswith("patch.exe: signed; 4 entries read back unchanged; "),
                        r.out)
        self.assertNotIn("patch.exe.part", self.listing())
        # Signed in place: no unsigned patch is left to sign again.
        self.assertIn("a signed patch cannot be signed again, so make (or pack) the patch again "
                      "and sign that with --timestamp URL (your CA's RFC 3161 server) before you "
                      "ship", r.err)
        r = self.run_tool("verify", "--ca", "keys/cert.pem", "patch.exe")
        self.assertEqual(0, r.code, r.out + r.err)
        self.assertEqual("signature: present, verifies", r.lines()[1])

    def test_sign_refusals_leave_everything_as_it_was(self):
        sign = ["--cert", "keys/cert.pem", "--key", "keys/key.pem"]
        no_engine = "signing needs osslsigncode.exe on PATH"
        # (what, patch to make, arguments, error part, error part of the
        # Windows build, which finds no engine here, when it differs)
        cases = [
            ("signed twice", "signed", sign, "patch.exe is signed already; signing twice is "
             "refused: sign the unsigned patch (pack it again)", None),
            ("not a PE program", "not-pe", sign, "is not a Windows program", None),
            ("no package", "stub-only", sign, "carries no usable package", None),
            ("package fails the check", "damaged", sign,
             "fails the package check: an entry differs", None),
            ("missing certificate", "good", ["--cert", "keys/missing.pem", "--key", "keys/key.pem"],
             "cannot open keys/missing.pem", None),
            ("missing password file", "good", sign + ["--pass-file", "keys/missing.txt"],
             "cannot open keys/missing.txt", None),
            ("key of another certificate", "good",
             ["--cert", "keys/cert.pem", "--key", "keys/other-key.pem"],
             "osslsigncode failed: Failed to checking the consistency of a private key",
             no_engine),
            ("locked key without its password", "good",
             ["--cert", "keys/cert.pem", "--key", "keys/locked-key.pem"],
             "keys/locked-key.pem is protected by a password: give it with --pass-file FILE",
             no_engine),
            ("wrong password", "good",
             ["--cert", "keys/cert.pem", "--key", "keys/locked-key.pem",
              "--pass-file", "keys/wrong-pass.txt"], "osslsigncode failed: ", no_engine),
            # In patchtool's terms: not osslsigncode's advice to use its -t.
            ("time-stamp server unreachable", "good", sign + ["--timestamp", "http://127.0.0.1:9/"],
             "sign: the time-stamp server http://127.0.0.1:9/ gave no time stamp (Failed to get "
             "data from http://127.0.0.1:9/): check the URL (your CA's RFC 3161 server) and the "
             "network, or give another --timestamp URL (nothing written", no_engine),
        ]
        for what, kind, args, part, windows_part in cases:
            for output in (None, "out-patch.exe"):
                with self.subTest(what=what, output=output):
                    shutil.rmtree(self.dir)
                    os.mkdir(self.dir)
                    self.keys()
                    if kind == "not-pe":
                        self.make_patch()
                        data = bytearray(self.read("patch.exe"))
                        data[0:2] = b"XX"  # no longer a Windows program
                        self.write("patch.exe", bytes(data))
                    elif kind == "stub-only":
                        self.write("patch.exe", PE_STUB)
                    else:
                        self.make_pe_patch()
                    if kind == "signed":
                        self.engine("sign", "-certs", "keys/cert.pem", "-key", "keys/key.pem",
                                    "-in", "patch.exe", "-out", "signed.exe")
                        os.replace(self.path("signed.exe"), self.path("patch.exe"))
                    if kind == "damaged":
                        self.damage(10, 1)
                    if output:
                        self.write(output, b"an older signed patch")
                    before = self.files_here()
                    r = self.run_tool("sign", "patch.exe", *args,
                                      *(["-o", output] if output else []))
                    self.assertEqual(1, r.code, r.out + r.err)
                    error = self.assert_error_line(r, "sign")
                    self.assertIn(part if NATIVE or windows_part is None else windows_part,
                                  error)
                    self.assertTrue(error.endswith("(nothing written; patch.exe left as it was)"),
                                    error)
                    self.assertNotIn('"-t', error)  # osslsigncode's options are not patchtool's
                    self.assertEqual(before, self.files_here())

    def test_sign_without_the_engine_on_path(self):
        if not NATIVE:
            self.skipTest("the Windows build is seen without the engine in the refusals")
        self.make_pe_patch()
        self.keys()
        empty = self.path("empty-path")
        os.mkdir(empty)
        before = self.files_here()
        r = self.run_tool("sign", "patch.exe", "--cert", "keys/cert.pem", "--key", "keys/key.pem",
                          env=dict(os.environ, PATH=empty))
        self.assertEqual(1, r.code, r.out)
        self.assertIn("signing needs osslsigncode on PATH (the Debian package osslsigncode)",
                      self.assert_error_line(r, "sign"))
        self.assertEqual(before, self.files_here())

    def stand_in_engine(self):
        """Puts the stand-in engine on PATH as osslsigncode; returns the
        environment to run patchtool in."""
        if not ENGINE_STAND_IN:
            self.skipTest("no --engine-stand-in given")
        folder = self.path("engine")
        os.mkdir(folder)
        shutil.copy(ENGINE_STAND_IN, os.path.join(folder, "osslsigncode" if NATIVE
                                                  else "osslsigncode.exe"))
        if NATIVE:
            return dict(os.environ, PATH=folder + os.pathsep + os.environ["PATH"])
        return dict(os.environ, WINEPATH="Z:" + folder.replace("/", "\\"))

    def engine_args(self):
        with open(self.path("engine-args.txt")) as f:
            return f.read().splitlines()

    def test_sign_checks_what_the_engine_wrote_before_replacing(self):
        env = self.stand_in_engine()
        self.make_pe_patch()
        self.keys()
        sign = ["sign", "patch.exe", "--cert", "keys/cert.pem", "--key", "keys/key.pem"]
        cases = [
            ("fails", "osslsigncode failed: Failed to read certificate file: keys/cert.pem ("),
            ("leaves it unsigned", "osslsigncode wrote no certificate table"),
            ("changes an entry", "the signed file does not read back the same package"),
            ("changes the header", "the signed file does not read back the same package"),
            ("table over the package", "the certificate table was placed over the package "
             "(at byte 65536)"),
        ]
        for mode, part in cases:
            with self.subTest(mode=mode):
                before = self.files_here()
                before.pop("engine-args.txt", None)
                r = self.run_tool(*sign, env=dict(env, FAKE_MODE=mode))
                self.assertEqual(1, r.code, r.out + r.err)
                self.assertIn(part, self.assert_error_line(r, "sign"))
                after = self.files_here()
                after.pop("engine-args.txt")
                self.assertEqual(before, after)

        # Options reach the engine as its own; a table appended behind the
        # package is accepted.
        before = self.read("patch.exe")
        r = self.run_tool(*sign, "--pass-file", "keys/pass.txt", "--timestamp",
                          "http://ts.example/?a b", "-o", "out-patch.exe",
                          env=dict(env, FAKE_MODE="appends a table"))
        self.assertEqual(0, r.code, r.out + r.err)
        self.assertEqual(["sign", "-certs", "keys/cert.pem", "-key", "keys/key.pem",
                          "-readpass", "keys/pass.txt", "-ts", "http://ts.example/?a b",
                          "-in", "patch.exe", "-out", "out-patch.exe.part"], self.engine_args())
        self.assertEqual(before, self.read("patch.exe"))
        self.assertEqual((len(before), 16), table_entry(self.read("out-patch.exe")))

        # list and verify hand the signed file to the engine and read its verdict.
        for mode, signature, status in (
                ("verifies", "present, verifies", 0),
                ("mismatch", "present, does not verify (the file was changed after signing)", 1)):
            for command, line in (("list", 2), ("verify", 1)):
                with self.subTest(command=command, mode=mode):
                    r = self.run_tool(command, "--ca", "keys/cert.pem", "out-patch.exe",
                                      env=dict(env, FAKE_MODE=mode))
                    self.assertEqual(status if command == "verify" else 0, r.code, r.out)
                    self.assertEqual("signature: " + signature, r.lines()[line])
                    self.assertEqual(["verify", "-in", "out-patch.exe", "-CAfile",
                                      "keys/cert.pem"], self.engine_args())

    def test_pack_refuses_a_signed_stub(self):
        self.make_files()
        self.keys()
        self.write("updater.exe", PE_STUB)
        self.engine("sign", "-certs", "keys/cert.pem", "-key", "keys/key.pem",
                    "-in", "updater.exe", "-out", "signed-updater.exe")
        before = self.listing()
        r = self.run_tool("pack", "--stub", "signed-updater.exe", "-o", "patch.exe", "src/b.arc")
        self.assertEqual(1, r.code, r.out + r.err)
        self.assertIn("the stub signed-updater.exe is signed; pack the unsigned updater, then "
                      "sign the patch (patchtool sign)", self.assert_error_line(r, "pack"))
        self.assertEqual(before, self.listing())

    def test_pack_warns_about_names_that_windows_does_not_elevate(self):
        self.make_files()
        os.mkdir(self.path("patches"))
        os.mkdir(self.path("setup"))
        # (output, warned): only the file's own name counts, in any letter case.
        cases = [("velmora.exe", True), ("fix-1.01.exe", True), ("patches/velmora.exe", True),
                 ("upd.exe", True), ("Setup.exe", False), ("VELMORA_UPDATE.EXE", False),
                 ("reinstall-me.exe", False), ("fixPaTcH.bin", False), ("setup/x-update", False)]
        for output, warned in cases:
            with self.subTest(output=output):
                r = self.run_tool("pack", "--hash-list", "--stub", "stub.bin", "-o", output,
                                  "src/b.arc")
                self.assertEqual(0, r.code, r.out + r.err)
                self.assertEqual(["%s: 2 entries" % output],
                                 [l for l in r.lines() if not l.startswith("patchtool")])
                # (Besides the warning of a list without the game's other records.)
                if warned:
                    self.assertIn(
                        "patchtool pack: warning: the name of %s holds none of the words setup, "
                        "install, update or patch; Windows elevates the updater only by such a "
                        "name, and unelevated its writes into a protected install folder go to "
                        "the player's VirtualStore, where the game never sees them (see "
                        "docs/publishing.md)\n" % output, self.err(r))
                else:
                    self.assertNotIn("holds none of the words", self.err(r))
                self.assertEqual(PACKAGE_OFFSET + 16 + 2 * 32 + 70000 + 16 + 64,
                                 len(self.read(output)))



    # -- the mistakes a new publisher makes: each gives one clear error, a
    # non-zero exit and untouched files ------------------------------------

    def test_outputs_that_are_inputs_are_refused(self):
        self.keys()
        self.make_pe_patch()
        self.write("d4.arc", os.urandom(5000))
        self.write("qen.hvl", hash_list([("d4.arc", bytes(8))]))
        self.write("old/qen.hvl", hash_list([]))
        self.write("old/a.arc", b"a")
        self.write("new/a.arc", b"b")
        sign = ["sign", "patch.exe", "--cert", "keys/cert.pem", "--key", "keys/key.pem"]
        pack = ["pack", "--stub", "updater.exe"]
        make = ["make", "old", "new", "--stub", "updater.exe"]
        cases = [
            ("sign over the key", sign + ["-o", "keys/key.pem"], "sign", "is the key keys/key.pem"),
            ("sign over the certificate", sign + ["-o", "keys/cert.pem"], "sign",
             "is the certificate keys/cert.pem"),
            ("list over a FILE", ["hashlist", "-o", "d4.arc", "d4.arc"], "hashlist",
             "is the FILE d4.arc"),
            ("list over its base", ["hashlist", "--base", "qen.hvl", "-o", "qen.hvl", "d4.arc"],
             "hashlist", "is the base list qen.hvl"),
            ("patch over a FILE", pack + ["-o", "d4.arc", "d4.arc"], "pack", "is the FILE d4.arc"),
            ("patch over the stub", pack + ["-o", "updater.exe", "d4.arc"], "pack",
             "is the stub updater.exe"),
            ("patch over the base list", pack + ["--hash-list", "--base", "qen.hvl", "-o",
                                                 "qen.hvl", "d4.arc"], "pack",
             "is the base list qen.hvl"),
            ("patch over a release file", make + ["-o", "new/a.arc"], "make",
             "is the release file new"),
            ("patch into a release folder", make + ["-o", "old/patch.exe"], "make",
             "would be written into a release folder"),
        ]
        if NATIVE:
            os.link(self.path("d4.arc"), self.path("link.arc"))
            cases.append(("patch over a hard link of a FILE", pack + ["-o", "link.arc", "d4.arc"],
                          "pack", "is the FILE d4.arc (the same file)"))
        for what, args, command, part in cases:
            with self.subTest(what=what):
                before = self.files_here()
                r = self.run_tool(*args)
                self.assertEqual(1, r.code, r.out + r.err)
                error = self.assert_error_line(r, command)
                self.assertIn(part, error)
                self.assertEqual(before, self.files_here())

    def test_the_stub_must_be_the_updater(self):
        self.make_files()
        self.write("notes.txt", b"release notes\n")
        self.write("console.exe", PE_STUB[:0x40 + 24 + 68] + b"\x03"
                   + PE_STUB[0x40 + 24 + 69:])
        cases = [("notes.txt", "the stub notes.txt is not a Windows program (no MZ header)"),
                 ("console.exe", "the stub console.exe is not a Windows GUI program "
                                 "(subsystem 3, the console)"),
                 ("src/b.arc", "the stub src/b.arc is not a Windows program")]
        for stub, part in cases:
            with self.subTest(stub=stub):
                before = self.files_here()
                r = self.run_tool("pack", "--stub", stub, "-o", "patch.exe", "src/b.arc")
                self.assertEqual(1, r.code, r.out + r.err)
                self.assertIn(part, self.assert_error_line(r, "pack"))
                self.assertEqual(before, self.files_here())

        # A patch whose stub was swapped with a data file fails verify.
        self.make_patch()
        data = bytearray(self.read("patch.exe"))
        data[:len(PE_STUB)] = os.urandom(len(PE_STUB))
        self.write("swapped.exe", bytes(data))
        r = self.run_tool("verify", "swapped.exe")
        self.assertEqual(1, r.code, r.out + r.err)
        self.assertIn("stub: not an updater: it is not a Windows program (no MZ header)", r.out,
                      "stderr: " + r.err)
        self.assertIn("swapped.exe: fails: the program before the package is not a Windows "
                      "program (no MZ header)", self.assert_error_line(r, "verify"))

    def test_names_are_stored_in_code_page_932(self):
        # 18 bytes in UTF-8, 14 in code page 932: the limit counts the latter.
        files = {"データ.arc": b"data", "ミロセナ_1.arc": b"name of 14 bytes"}
        for name, data in files.items():
            self.write("src/" + name, data)
        self.write("stub.bin", STUB)
        r = self.run_tool("pack", "--hash-list", "--stub", "stub.bin", "-o", "patch.exe",
                          *["src/" + n for n in files])
        self.assertEqual(0, r.code, r.out + r.err)
        _, _, entries, _ = parse_patch(self.read("patch.exe"))
        self.assertEqual(list(files) + ["QEN.hvl"], [e[0] for e in entries])
        self.assertEqual(hash_list([(n.encode("cp932"), content_sum(d))
                                    for n, d in files.items()]), entries[2][3])
        if NATIVE:
            r = self.run_tool("list", "patch.exe")
            self.assertEqual(["データ.arc", "ミロセナ_1.arc", "QEN.hvl"],
                             [l.split("  ")[-1].strip() for l in r.lines()[5:]])

        # The base's code page 932 record of the name is refreshed in place.
        self.write("qen.hvl", hash_list([("データ.arc".encode("cp932"), bytes(8))]))
        r = self.run_tool("hashlist", "--base", "../qen.hvl", "-o", "../new.hvl", "データ.arc",
                          cwd=self.path("src"))
        self.assertEqual(0, r.code, r.out + r.err)
        self.assertEqual(hash_list([("データ.arc".encode("cp932"), content_sum(b"data"))]),
                         self.read("new.hvl"))

        # Too long in code page 932 too (16 bytes), and a name it cannot hold.
        self.write("src/ミロセナ_123.arc", b"x")
        cases = [(["src/ミロセナ_123.arc"], "is 16 bytes long in code page 932")]
        if NATIVE:  # an ANSI code page 932 cannot even pass this name
            self.write("src/café.arc", b"x")
            cases.append((["src/café.arc"], "é (U+00E9) is not in code page 932; Windows "
                                            "reads byte 0x65 as e (U+0065)"))
        for names, part in cases:
            with self.subTest(names=names):
                before = self.files_here()
                r = self.run_tool("pack", "--stub", "stub.bin", "-o", "out.exe", *names)
                self.assertEqual(1, r.code, r.out + r.err)
                error = self.assert_error_line(r, "pack")
                if NATIVE:
                    self.assertIn(part, error)
                self.assertEqual(before, self.files_here())

    def test_pack_hash_list_base_warning_and_the_uninstall_list(self):
        files = self.make_files()
        base = hash_list([("game.exe", bytes(8)), ("B.ARC", bytes(8))])
        self.write("game/qen.hvl", base)
        # Without --base the list holds the packed files only: a warning.
        r = self.run_tool("pack", "--hash-list", "--stub", "stub.bin", "-o", "patch.exe",
                          "src/b.arc")
        self.assertEqual(0, r.code, r.out + r.err)
        self.assertIn("patchtool pack: warning: the hash list QEN.hvl names only the 1 packed "
                      "file, and it replaces the game's full qen.hvl, whose other records are "
                      "then lost: give the game's list with --base qen.hvl (or use patchtool "
                      "make)", self.err(r))
        # With --base: the game's list refreshed, under its own name, no warning.
        r = self.run_tool("pack", "--hash-list", "--base", "game/qen.hvl", "--stub", "stub.bin",
                          "-o", "patch.exe", "src/b.arc", "src/Data01.arc")
        self.assertEqual(0, r.code, r.out + r.err)
        self.assertEqual("", self.err(r))
        _, _, entries, _ = parse_patch(self.read("patch.exe"))
        self.assertEqual(["b.arc", "Data01.arc", "qen.hvl"], [e[0] for e in entries])
        # In the one order of the toolkit's lists.
        self.assertEqual(hash_list([("B.ARC", content_sum(files["b.arc"])),
                                    ("Data01.arc", content_sum(files["Data01.arc"])),
                                    ("game.exe", bytes(8))]),
                         entries[2][3])
        # The game's uninstall list is never packed, in any letter case.
        self.write("src/UnInst.LST", b"game.exe\n\0")
        before = self.files_here()
        r = self.run_tool("pack", "--stub", "stub.bin", "-o", "out.exe", "src/b.arc",
                          "src/UnInst.LST")
        self.assertEqual(1, r.code, r.out + r.err)
        self.assertIn("src/UnInst.LST is the game's uninstall list (uninst.lst); packing it "
                      "would replace the player's list and lose its lines",
                      self.assert_error_line(r, "pack"))
        self.assertEqual(before, self.files_here())

    def test_apply_names_the_failing_file(self):
        self.make_patch()
        self.install_folder("game")
        os.mkdir(self.path("game/b.arc"))  # a folder where a file goes
        before = self.files_here()
        r = self.run_tool("apply", "patch.exe", "game")
        self.assertEqual(14, r.code, r.out)
        self.assertTrue(r.lines()[0].startswith("UPD_E_WRITE 0x80000004 "), r.out)
        # Every place is checked before anything is written: the file is
        # named, with what stands in its way.
        error = self.assert_error_line(r, "apply")
        self.assertRegex(error, r"^patchtool apply: game[/\\]b\.arc is no place the update may "
                                r"write: a folder stands there, .*; nothing was written$")
        self.assertEqual(before, self.files_here())


    # -- make: two release folders in, the fix patch out -------------------

    def releases(self):
        """OLD and NEW releases: a changed file, a changed file in a
        subfolder, a new one there, an unchanged one, one that NEW lacks."""
        old = {"game.exe": b"the game", "data01.arc": os.urandom(3000),
               "data/movie.mpg": os.urandom(500), "data/same.arc": b"same",
               "readme.txt": b"old readme", "gone.txt": b"dropped in NEW"}
        new = dict(old, **{"data01.arc": os.urandom(3001), "data/movie.mpg": os.urandom(500),
                           "data/extra.arc": b"new file"})
        del new["gone.txt"]
        # OLD's list records every file of OLD (some spelt otherwise).
        records = [("Game.exe", content_sum(old["game.exe"])),
                   ("DATA01.ARC", content_sum(old["data01.arc"])),
                   ("data\\movie.mpg", content_sum(old["data/movie.mpg"])),
                   ("data\\same.arc", content_sum(old["data/same.arc"])),
                   ("readme.txt", content_sum(old["readme.txt"])),
                   ("gone.txt", content_sum(old["gone.txt"]))]
        for name, data in old.items():
            self.write("old/" + name, data)
        for name, data in new.items():
            self.write("new/" + name, data)
        self.write("old/QEN.hvl", hash_list(records))
        self.write("old/uninst.lst", b"game.exe\ndata01.arc\n\0")
        self.write("new/uninst.lst", b"game.exe\ndata01.arc\n\0")
        # The list the patch carries is NEW's: its files as it spells them,
        # in the one order of the lists.
        expected_list = hash_list([(n.replace("/", "\\"), content_sum(new[n]))
                                   for n in ("data/extra.arc", "data/movie.mpg", "data/same.arc",
                                             "data01.arc", "game.exe", "readme.txt")])
        self.write("new/qen.hvl", expected_list)
        self.write("stub.bin", STUB)
        return old, new, expected_list

    def test_make_turns_old_into_new(self):
        old, new, expected_list = self.releases()
        r = self.run_tool("make", "old", "new", "--stub", "stub.bin", "-o", "patch.exe")
        self.assertEqual(0, r.code, r.out + r.err)
        sep = os.sep if NATIVE else "\\"
        self.assertEqual(["new      data\\extra.arc  (8 bytes)",
                          "changed  data\\movie.mpg  (500 bytes)",
                          "changed  data01.arc  (3001 bytes)",
                          "list     QEN.hvl  (6 records; against old%sQEN.hvl: 1 added, "
                          "2 changed, 2 renamed, 1 dropped, 2 unchanged)" % sep,
                          "not taken: new%sqen.hvl" % sep, "not taken: new%suninst.lst" % sep,
                          "patch.exe: 4 entries; verified: passes, 3 of 4 entries verified"],
                         [l for l in r.lines() if not l.startswith("patchtool")])
        self.assertIn("patchtool make: warning: 1 file of old is not in new, and a patch cannot "
                      "delete files; players keep them: gone.txt", self.err(r))
        # NEW's own list describes NEW's files: no word about it.
        self.assertNotIn("qen.hvl", self.err(r))

        _, _, entries, _ = parse_patch(self.read("patch.exe"))
        self.assertEqual(["data\\extra.arc", "data\\movie.mpg", "data01.arc", "QEN.hvl"],
                         [e[0] for e in entries])
        self.assertEqual(expected_list, entries[3][3])
        r = self.run_tool("verify", "patch.exe")
        self.assertEqual(0, r.code, r.out + r.err)

        # apply turns a copy of OLD into NEW, byte for byte, but for the
        # uninstall list, which gains the patch's names.
        shutil.copytree(self.path("old"), self.path("game"))
        r = self.run_tool("apply", "patch.exe", "game")
        self.assertEqual(0, r.code, r.out + r.err)
        got = tree(self.path("game"))
        want = tree(self.path("new"))
        want["gone.txt"] = old["gone.txt"]
        del want["qen.hvl"]
        want["QEN.hvl"] = expected_list
        self.assertEqual(b"game.exe\ndata01.arc\ndata\\extra.arc\ndata\\movie.mpg\nQEN.hvl\n\0",
                         got.pop("uninst.lst"))
        del want["uninst.lst"]
        self.assertEqual(want, got)

    def test_unicode_names_whatever_the_system_code_page(self):
        # File names in and out of the code page of the system: Japanese
        # ones under the English locale (ANSI code page 1252), "José" under
        # the Japanese one (code page 932). Natively the locale changes
        # nothing: names are UTF-8 there anyway.
        for lang in ("en_US.UTF-8", "ja_JP.UTF-8"):
            with self.subTest(lang=lang):
                env = dict(os.environ, WINE_LANG=lang, LANG=lang, LC_ALL=lang)
                root = "run-" + lang.split(".")[0]
                self.write(root + "/stub.bin", STUB)
                self.write(root + "/修正/データ.arc", b"japanese")
                self.write(root + "/José/plain.arc", b"plain")
                self.write(root + "/game/uninst.lst", b"game.exe\n\0")
                out = root + "/José/修正パッチ.exe"
                r = self.run_tool("pack", "--hash-list", "--stub", root + "/stub.bin", "-o", out,
                                  root + "/修正/データ.arc", root + "/José/plain.arc", env=env)
                self.assertEqual(0, r.code, r.out + r.err)
                _, _, entries, _ = parse_patch(self.read(out))
                self.assertEqual(["データ.arc", "plain.arc", "QEN.hvl"], [e[0] for e in entries])
                r = self.run_tool("verify", out, env=env)
                self.assertEqual(0, r.code, r.out + r.err)
                self.assertIn("matches     データ.arc", r.lines())
                r = self.run_tool("apply", out, root + "/game", env=env)
                self.assertEqual(0, r.code, r.out + r.err)
                self.assertEqual(b"japanese", self.read(root + "/game/データ.arc"))
                # A name that code page 932 cannot hold is refused by name.
                self.write(root + "/José.arc", b"x")
                r = self.run_tool("pack", "--stub", root + "/stub.bin", "-o", root + "/x.exe",
                                  root + "/José.arc", env=env)
                self.assertNotEqual(0, r.code)
                error = self.assert_error_line(r, "pack")
                self.assertIn("José.arc", error)
                self.assertIn("code page 932", error)
                self.assertFalse(os.path.exists(self.path(root + "/x.exe")))

    def test_make_and_apply_with_names_as_windows_has_them(self):
        # A changed file whose name differs from OLD's in letter case, and a
        # new file with a Japanese name: on Windows the first replaces OLD's
        # file and the second gets its name back from code page 932; apply
        # does the same on Linux.
        self.write("old/Data01.arc", b"old data")
        self.write("new/data01.arc", b"new data")
        self.write("new/データ.arc", b"jp")
        self.write("old/qen.hvl", hash_list([("Data01.arc", content_sum(b"old data"))]))
        self.write("old/uninst.lst", b"game.exe\n\0")
        self.write("stub.bin", STUB)
        r = self.run_tool("make", "old", "new", "--stub", "stub.bin", "-o", "patch.exe")
        self.assertEqual(0, r.code, r.out + r.err)
        _, _, entries, _ = parse_patch(self.read("patch.exe"))
        self.assertEqual(["data01.arc", "データ.arc", "qen.hvl"], [e[0] for e in entries])
        shutil.copytree(self.path("old"), self.path("game"))
        r = self.run_tool("apply", "patch.exe", "game")
        self.assertEqual(0, r.code, r.out + r.err)
        names = sorted(os.listdir(self.path("game")))
        self.assertEqual(["Data01.arc", "qen.hvl", "uninst.lst", "データ.arc"], names)
        self.assertEqual(b"new data", self.read("game/Data01.arc"))
        self.assertEqual(b"jp", self.read("game/データ.arc"))

    def test_dry_run_lists_and_writes_nothing(self):
        self.releases()
        before = self.files_here()
        r = self.run_tool("make", "old", "new", "--stub", "stub.bin", "-o", "patch.exe",
                          "--dry-run")
        self.assertEqual(0, r.code, r.out + r.err)
        lines = [l for l in r.lines() if not l.startswith("patchtool")]
        self.assertEqual(["new      data\\extra.arc  (8 bytes)",
                          "changed  data\\movie.mpg  (500 bytes)",
                          "changed  data01.arc  (3001 bytes)"], lines[:3])
        self.assertEqual("patch.exe: not written (dry run); it would hold 4 entries", lines[-1])
        self.assertEqual(before, self.files_here())

    def test_refusals_write_nothing(self):
        many = {"f%02d.arc" % i: b"x" for i in range(16)}
        cases = [
            ("16 changed files", {}, many, "16 files are new or changed (16 bytes together), "
             "more than one patch carries (at most 15 files besides its hash list, which must "
             "start below 2 GiB): give --split to make 2 patches (patch-1of2.exe to "
             "patch-2of2.exe) that players run in order, or leave some changes for a later "
             "patch; the changes (nothing written):\n" +
             "\n".join("  " + name for name in sorted(many))),
            ("a name of 16 bytes", {}, {"data/long_name.arc": b"x"},
             "long_name.arc: its name data\\long_name.arc is 18 bytes long in code page 932, "
             "and a patch's entry names, subfolders included, hold at most 15: rename it"),
            ("no change", {"a.arc": b"a"}, {"a.arc": b"a"}, "there is nothing to patch"),
            ("a new folder", {}, {"fresh/a.arc": b"a"}, "new/fresh/a.arc: it lies in a folder "
             "that old lacks (fresh): a fix patch cannot create folders; the updater writes only "
             "into folders that exist"),
            ("no hash list in OLD", {"qen.hvl": None}, {"a.arc": b"b"},
             "old holds no hash list (qen.hvl)"),
            ("a hash list that does not load", {"qen.hvl": b"JXW____x" + bytes(8)},
             {"a.arc": b"b"}, "cannot be loaded"),
        ]
        if NATIVE:
            cases.append(("names that are one on Windows", {}, {"A.arc": b"1", "a.ARC": b"2"},
                          "new holds 2 names that are 1 file on Windows (letter case does not "
                          "count there): keep one of each (nothing written):\n"
                          "  new/A.arc: one file on Windows with new/a.ARC (letter case does not "
                          "count there): keep one\n"
                          "  new/a.ARC: one file on Windows with new/A.arc (letter case does not "
                          "count there): keep one"))
        for what, old_extra, new_extra, part in cases:
            with self.subTest(what=what):
                shutil.rmtree(self.dir)
                os.mkdir(self.dir)
                self.write("stub.bin", STUB)
                # OLD's list records OLD's files, unless the case says.
                old_files = dict({"data/x.arc": b"x"}, **{n: d for n, d in old_extra.items()
                                                          if n != "qen.hvl"})
                self.write_release("old", old_files)
                for name, data in old_extra.items():
                    if data is None:
                        os.remove(self.path("old/" + name))
                    else:
                        self.write("old/" + name, data)
                for name, data in new_extra.items():
                    self.write("new/" + name, data)
                self.write("patch.exe", b"an older patch")
                before = self.files_here()
                r = self.run_tool("make", "old", "new", "--stub", "stub.bin", "-o", "patch.exe")
                self.assertEqual(1, r.code, r.out + r.err)
                self.assertIn(part, self.assert_error_line(r, "make"))
                self.assertEqual(before, self.files_here())


    # -- what make checks, --split, the limits, hash lists of whole releases ---

    def install_mismatches(self, folder):
        """What in an install folder does not match its qen.hvl: records
        whose file differs or is missing, names recorded twice."""
        lists = [n for n in os.listdir(self.path(folder)) if n.lower() == "qen.hvl"]
        if len(lists) != 1:
            return ["qen.hvl: %d of them" % len(lists)]
        return self.install_mismatches_of(folder, folder + "/" + lists[0])

    def install_mismatches_of(self, folder, list_file):
        """The same for folder against the list in list_file."""
        data = self.read(list_file)
        count = struct.unpack_from("<I", data, 12)[0]
        found, seen = [], set()
        for i in range(count):
            record = data[16 + 64 * i:16 + 64 * (i + 1)]
            name = record[:56].split(b"\0")[0]
            key = list_fold(name)
            shown = name.decode("cp932")
            if key in seen:
                found.append("twice " + shown)
                continue
            seen.add(key)
            path = self.path(folder + "/" + shown.replace("\\", "/"))
            if not os.path.isfile(path):
                found.append("missing " + shown)
            elif content_sum(self.read(folder + "/" + shown.replace("\\", "/"))) != record[56:]:
                found.append("differs " + shown)
        return found

    def write_release(self, root, files, listed=True):
        for name, data in files.items():
            self.write(root + "/" + name, data)
        if listed:
            self.write(root + "/qen.hvl", hash_list([(n.replace("/", "\\").encode("cp932"),
                                                      content_sum(d))
                                                     for n, d in files.items()]))

    def test_make_and_pack_refuse_names_that_windows_takes_for_another_file(self):
        # Each name is a new file of NEW and a FILE to pack: both refuse it
        # by name and rule, with nothing written.
        names = [("data¥sc00.arc", "¥ (U+00A5) is not in code page 932; Windows reads byte "
                                   "0x5C as \\ (U+005C), the folder separator"),
                 ("a〜b.arc", "〜 (U+301C) is not in code page 932"),
                 ("a−b.arc", "− (U+2212) is not in code page 932"),
                 ("a‖b.arc", "‖ (U+2016) is not in code page 932"),
                 ("a¢b.arc", "¢ (U+00A2) is not in code page 932"),
                 ("a—b.arc", "— (U+2014) is not in code page 932"),
                 ("a¬b.arc", "¬ (U+00AC) is not in code page 932")]
        if NATIVE:  # names that Windows itself does not let a file have
            names += [("readme.txt.", "\"readme.txt.\" ends in a dot, which Windows strips"),
                      ("readme.txt ", "\"readme.txt \" ends in a space, which Windows strips"),
                      ("con.arc", "con.arc is a device name to Windows"),
                      ("aux", "aux is a device name to Windows"),
                      ("nul.txt", "nul.txt is a device name to Windows"),
                      ("COM1", "COM1 is a device name to Windows"),
                      ("a?.arc", "? cannot stand in a Windows file name"),
                      ("a*.arc", "* cannot stand in a Windows file name"),
                      ("a<.arc", "< cannot stand in a Windows file name"),
                      ("a|.arc", "| cannot stand in a Windows file name"),
                      ("a\".arc", "\" cannot stand in a Windows file name"),
                      ("a\x01.arc", "the control character U+0001 cannot stand"),
                      ("a\nb.arc", "the control character U+000A cannot stand")]
        self.write("stub.bin", STUB)
        self.write("old/a.arc", b"a")
        self.write("old/qen.hvl", hash_list([("a.arc", content_sum(b"a"))]))
        self.write("new/a.arc", b"a")
        for name, says in names:
            with self.subTest(name=name):
                self.write("new/" + name, b"x")
                before = self.files_here()
                r = self.run_tool("make", "old", "new", "--stub", "stub.bin", "-o", "patch.exe")
                self.assertEqual(1, r.code, r.out + r.err)
                error = self.assert_error_line(r, "make")
                # One line: control characters in the path are shown as \xNN.
                self.assertIn(name.replace("\x01", "\\x01").replace("\n", "\\x0A"), error)
                self.assertIn(says, error)
                r = self.run_tool("pack", "--stub", "stub.bin", "-o", "patch.exe", "new/" + name)
                self.assertEqual(1, r.code, r.out + r.err)
                error = self.assert_error_line(r, "pack")
                self.assertIn(says, error)
                self.assertEqual(before, self.files_here())
                os.remove(self.path("new/" + name))

    def test_hashlist_of_a_whole_release(self):
        files = {"Velmora.exe": b"game", "data/sc00.arc": b"sc00", "data/index.dat": b"i1",
                 "movie/index.dat": b"i2", "data/Sub/qen.hvl": b"not the game's list",
                 "データ/立ち絵_long_name_01.arc": b"jp", "readme.txt": b""}
        for name, data in files.items():
            self.write("game/" + name, data)
        self.write("game/QEN.HVL", b"the game's own list is left out")
        self.write("game/Uninst.lst", b"so is the uninstall list\n\0")
        r = self.run_tool("hashlist", "game", "-o", "qen.hvl")
        self.assertEqual(0, r.code, r.out + r.err)
        # In the order of the paths, letter case aside: the same everywhere.
        order = ["data/index.dat", "data/sc00.arc", "data/Sub/qen.hvl", "movie/index.dat",
                 "readme.txt", "Velmora.exe", "データ/立ち絵_long_name_01.arc"]
        self.assertEqual(hash_list([(n.replace("/", "\\").encode("cp932"), content_sum(files[n]))
                                    for n in order]), self.read("qen.hvl"))
        self.assertEqual(["qen.hvl: 7 records, a new list (--verbose lists every file)",
                          "release check: 2 of 7 files cannot be delivered by any fix patch "
                          "(see the warnings)"], r.result_lines())
        self.assertIn("patchtool hashlist: warning: release check: 2 of 7 files have stored "
                      "names over 15 bytes, the most a patch's entry holds, so no fix patch can "
                      "ever deliver them: rename them before the release ships if they may ever "
                      "need a fix:\n  data\\Sub\\qen.hvl (16 bytes)\n"
                      "  データ\\立ち絵_long_name_01.arc (%d bytes)\n"
                      % len("データ\\立ち絵_long_name_01.arc".encode("cp932")), self.err(r))
        self.assertEqual([], self.install_mismatches_of("game", "qen.hvl"))

        # Run again: refused, then replaced or extended only when asked.
        before = self.files_here()
        r = self.run_tool("hashlist", "game", "-o", "qen.hvl")
        self.assertEqual(1, r.code, r.out + r.err)
        self.assertIn("qen.hvl exists already: give --extend to add these records to it",
                      self.assert_error_line(r, "hashlist"))
        self.assertEqual(before, self.files_here())
        # A folder spelt otherwise is one line; a file whose sum changed is
        # told as well; every file only with --verbose.
        self.write("game/data/sc00.arc", b"changed")
        self.write("game/readme.txt", b"read me")
        os.rename(self.path("game/data"), self.path("game/DATA"))
        r = self.run_tool("hashlist", "game", "-o", "qen.hvl", "--replace")
        self.assertEqual(0, r.code, r.out + r.err)
        self.assertIn(content_sum(b"changed"), self.read("qen.hvl"))
        self.assertEqual(["renamed data/ \u2192 DATA/ (3 files)",
                          "%s  DATA\\sc00.arc  changed" % content_sum(b"changed").hex(),
                          "%s  readme.txt  changed" % content_sum(b"read me").hex(),
                          "qen.hvl: 7 records; against the list before (qen.hvl): 2 changed, "
                          "3 renamed, 3 unchanged"], r.result_lines()[:4])
        r = self.run_tool("hashlist", "game", "-o", "qen.hvl", "--replace", "--verbose")
        self.assertEqual(0, r.code, r.out + r.err)
        now = dict(files, **{"data/sc00.arc": b"changed", "readme.txt": b"read me"})
        shown = [re.sub("^data/", "DATA/", n).replace("/", "\\") for n in order]
        self.assertEqual(["%s  %s  unchanged" % (content_sum(now[n]).hex(), s)
                          for n, s in zip(order, shown)] +
                         ["qen.hvl: 7 records; against the list before (qen.hvl): 7 unchanged"],
                         [l for l in r.result_lines() if not l.startswith("release check")])

        # A name that cannot be recorded refuses the list, every such file named.
        bad = ["data/a〜b.arc", "x" * 52 + ".arc"]
        if NATIVE:
            bad.append("data/con.arc")
        for name in bad:
            self.write("game/" + name, b"x")
        before = self.files_here()
        r = self.run_tool("hashlist", "game", "-o", "other.hvl")
        self.assertEqual(1, r.code, r.out + r.err)
        error = self.assert_error_line(r, "hashlist")
        self.assertIn("%d files cannot be recorded as the updater names files" % len(bad), error)
        self.assertIn("〜 (U+301C) is not in code page 932", error)
        self.assertIn("is 56 bytes long in code page 932; a hash-list record holds 1 to 55", error)
        self.assertEqual(before, self.files_here())

    def records(self, name):
        """(stored name, stored sum) of each record of the hash list in file
        name, in record order."""
        data = self.read(name)
        count = struct.unpack_from("<I", data, 12)[0]
        return [(data[16 + 64 * i:16 + 64 * i + 56].split(b"\0")[0],
                 data[16 + 64 * i + 56:16 + 64 * i + 64]) for i in range(count)]

    def record_names(self, name):
        """The stored names of the hash list in file name, in record order."""
        return [name for name, _ in self.records(name)]

    def test_names_that_differ_in_a_second_byte_are_files_of_their_own(self):
        # 右 (0x89 0x45) and 影 (0x89 0x65), the folders エリ and トリ, ０ and
        # Ｐ: other names to the updater as to Windows. Each file keeps a
        # record of its own; check, make, verify and apply take each file as
        # itself, never as the other.
        files = {"ui/右.png": b"migi", "ui/影.png": b"kage", "エリ/a.txt": b"eri",
                 "トリ/a.txt": b"tori", "０.txt": b"zero", "Ｐ.txt": b"pe"}
        self.write_release("r0", files, listed=False)
        self.write("r0/uninst.lst", b"game.exe\n\0")
        self.write("stub.bin", STUB)
        r = self.run_tool("hashlist", "r0", "-o", "r0/qen.hvl")
        self.assertEqual(0, r.code, r.out + r.err)
        self.assertEqual(sorted(n.replace("/", "\\").encode("cp932") for n in files),
                         sorted(self.record_names("r0/qen.hvl")))
        self.assertEqual([], self.install_mismatches_of("r0", "r0/qen.hvl"))
        r = self.run_tool("check", "r0")
        self.assertEqual(0, r.code, r.out + r.err)
        # NEW changes 影.png and トリ/a.txt, and nothing else.
        changed = {"ui/影.png": b"kage 2", "トリ/a.txt": b"tori 2"}
        self.write_release("r1", dict(files, **changed), listed=False)
        r = self.run_tool("make", "r0", "r1", "--stub", "stub.bin", "-o", "patch.exe",
                          "--write-list")
        self.assertEqual(0, r.code, r.out + r.err)
        _, _, entries, _ = parse_patch(self.read("patch.exe"))
        self.assertEqual(["ui\\影.png", "トリ\\a.txt", "qen.hvl"], [e[0] for e in entries])
        r = self.run_tool("verify", "patch.exe")
        self.assertEqual(0, r.code, r.out + r.err)
        self.assertIn("matches     ui\\影.png", r.lines())
        shutil.copytree(self.path("r0"), self.path("game"))
        r = self.run_tool("apply", "patch.exe", "game")
        self.assertEqual(0, r.code, r.out + r.err)
        got = tree(self.path("game"))
        for name, data in dict(files, **changed).items():
            self.assertEqual(data, got[name], name)
        self.assertEqual([], self.install_mismatches("game"))
        r = self.run_tool("check", "game")
        self.assertEqual(0, r.code, r.out + r.err)

    def test_hashlist_of_files_records_their_paths_and_adds_up_in_batches(self):
        files = {"data/sc00.arc": b"sc00", "data/sc01.arc": b"sc01", "Velmora.exe": b"exe"}
        for name, data in files.items():
            self.write("game/" + name, data)
        game = self.path("game")
        # From the game's top folder, as xargs would run it, in two batches.
        r = self.run_tool("hashlist", "-o", "../qen.hvl", "--extend", "data/sc00.arc",
                          "Velmora.exe", cwd=game)
        self.assertEqual(0, r.code, r.out + r.err)
        self.write("game/data/sc00.arc", b"sc00 again")
        r = self.run_tool("hashlist", "-o", "../qen.hvl", "--extend", "data/sc01.arc",
                          "./data/sc00.arc", cwd=game)
        self.assertEqual(0, r.code, r.out + r.err)
        self.assertEqual(hash_list([("data\\sc00.arc", content_sum(b"sc00 again")),
                                    ("data\\sc01.arc", content_sum(b"sc01")),
                                    ("Velmora.exe", content_sum(b"exe"))]),
                         self.read("qen.hvl"))
        # A path that does not say where the file lies in the game.
        for args in (["game/../game/Velmora.exe"], [os.path.join(game, "Velmora.exe")]):
            with self.subTest(args=args):
                before = self.files_here()
                r = self.run_tool("hashlist", "-o", "other.hvl", *args)
                self.assertEqual(1, r.code, r.out + r.err)
                self.assertIn("not say where in the game the file lies: a record names a file "
                              "by its path from the game's top folder; run patchtool hashlist "
                              "in that folder", self.assert_error_line(r, "hashlist"))
                self.assertEqual(before, self.files_here())

    def test_hashlist_drops_the_records_of_files_that_are_gone(self):
        # A record of a deleted file would describe a file that the game
        # lacks: dropped, and named, unless --keep-gone. The file is looked
        # for as the updater looks for it, letter case aside.
        files = {"Velmora.exe": b"exe", "data/sc00.arc": b"sc00"}
        for name, data in files.items():
            self.write("game/" + name, data)
        gone = content_sum(b"sc01")
        earlier = hash_list([("Velmora.exe", bytes(8)), ("DATA\\SC00.ARC", bytes(8)),
                             ("data\\sc01.arc", gone)])
        # The release's list names its files as the release spells them, in
        # the order of its walk.
        sc00 = ("data\\sc00.arc", content_sum(b"sc00"))
        exe = ("Velmora.exe", content_sum(b"exe"))
        dropped = "%s  data\\sc01.arc  dropped (no such file; --keep-gone keeps it)" % gone.hex()
        cases = [([], [sc00, exe], True),
                 (["--keep-gone"], [sc00, ("data\\sc01.arc", gone), exe], False)]
        for extra, records, says in cases:
            with self.subTest(extra=extra):
                self.write("qen.hvl", earlier)
                r = self.run_tool("hashlist", "game", "-o", "qen.hvl", "--extend", *extra)
                self.assertEqual(0, r.code, r.out + r.err)
                self.assertEqual(hash_list(records), self.read("qen.hvl"))
                self.assertEqual(says, dropped in r.result_lines(), r.out)
        # Files given in batches from the game's top folder: the same.
        self.write("qen.hvl", earlier)
        r = self.run_tool("hashlist", "-o", "../qen.hvl", "--extend", "Velmora.exe",
                          cwd=self.path("game"))
        self.assertEqual(0, r.code, r.out + r.err)
        self.assertEqual(hash_list([("DATA\\SC00.ARC", bytes(8)),
                                    ("Velmora.exe", content_sum(b"exe"))]), self.read("qen.hvl"))
        self.assertIn(dropped, r.result_lines())

    def test_new_is_the_next_old(self):
        # make says when NEW's list is not the one that the patch carries,
        # with the command that writes it; run as given, that command
        # makes NEW's list the patch's, and the next make from NEW has no
        # word about any list: not about a deleted file's record either.
        v100 = {"Velmora.exe": b"exe 1.00", "data/a.arc": b"a 1.00", "data/gone.arc": b"gone"}
        v101 = {"Velmora.exe": b"exe 1.01", "data/a.arc": b"a 1.00", "data/b.arc": b"b 1.01"}
        v102 = dict(v101, **{"data/a.arc": b"a 1.02"})
        sep = os.sep if NATIVE else "\\"
        self.write("stub.bin", STUB)
        self.write_release("r100", v100)
        self.write_release("r101", v101, listed=False)
        self.write_release("r102", v102, listed=False)
        self.write_release("game", v100)
        self.write("game/uninst.lst", b"Velmora.exe\n\0")
        r = self.run_tool("make", "r100", "r101", "--stub", "stub.bin", "-o", "patch-101.exe")
        self.assertEqual(0, r.code, r.out + r.err)
        found = re.search(r"warning: r101 holds no hash list \(qen\.hvl\); r101 is OLD for the "
                          r"next patch, and its list must be the one players have once this "
                          r"patch has run: write it with --write-list \((patchtool make [^)]*)\)",
                          self.err(r))
        self.assertTrue(found, self.err(r))
        command = found.group(1).split()
        self.assertEqual(["patchtool", "make", "r100", "r101", "--stub", "stub.bin", "-o",
                          "patch-101.exe", "--write-list"], command)
        # Meanwhile r101 cannot be OLD, and the refusal says how it gets its list.
        before = self.files_here()
        r = self.run_tool("make", "r101", "r102", "--stub", "stub.bin", "-o", "patch-102.exe")
        self.assertEqual(1, r.code, r.out + r.err)
        self.assertIn("r101 holds no hash list (qen.hvl); the patch is proved against the "
                      "game's own list, so OLD must be the game as players have it, with its "
                      "qen.hvl: where r101 was the NEW of a patch, the list that patch carries is the one "
                      "(patchtool make ITS_OLD r101 --stub STUB -o PATCH --write-list writes it)",
                      self.assert_error_line(r, "make"))
        self.assertEqual(before, self.files_here())
        r = self.run_tool(*command[1:], "--dry-run")
        self.assertEqual(0, r.code, r.out + r.err)
        self.assertIn("r101%sqen.hvl: not written (dry run); --write-list would make it the "
                      "list the patch carries" % sep, r.result_lines())
        self.assertEqual(before, self.files_here())
        r = self.run_tool(*command[1:])
        self.assertEqual(0, r.code, r.out + r.err)
        self.assertIn("r101%sqen.hvl: written, the list the patch carries" % sep,
                      r.result_lines())
        self.assertNotIn("is OLD for the next patch", self.err(r))
        _, _, entries, _ = parse_patch(self.read("patch-101.exe"))
        self.assertEqual(entries[-1][3], self.read("r101/qen.hvl"))
        # Players keep the deleted file; the list, NEW's, names it no more.
        self.assertEqual([], self.install_mismatches_of("r101", "r101/qen.hvl"))
        r = self.run_tool(*command[1:])
        self.assertEqual(0, r.code, r.out + r.err)
        self.assertIn("r101%sqen.hvl: the list the patch carries already" % sep,
                      r.result_lines())

        r = self.run_tool("make", "r101", "r102", "--stub", "stub.bin", "-o", "patch-102.exe",
                          "--write-list")
        self.assertEqual(0, r.code, r.out + r.err)
        self.assertNotIn("qen.hvl", self.err(r))
        self.assertNotIn("record", self.err(r))
        for patch in ("patch-101.exe", "patch-102.exe"):
            r = self.run_tool("apply", patch, "game")
            self.assertEqual(0, r.code, r.out + r.err)
        got = tree(self.path("game"))
        self.assertEqual(b"gone", got.pop("data/gone.arc"))
        got.pop("uninst.lst")
        self.assertEqual(tree(self.path("r102")), got)
        r = self.run_tool("check", "game")
        self.assertEqual(0, r.code, r.out + r.err)

    def test_one_patch_for_the_players_of_several_releases(self):
        # 1.01 changed data/a.arc, and 1.02 took it back: make from 1.02
        # alone leaves it out. make r100 r101 r102 r103 carries every file
        # that differs in any of them, part 1 what their lists disagree
        # on, and brings the players of each to 1.03 byte for byte.
        v100 = {"Velmora.exe": b"exe 1.00", "data/a.arc": b"a 1.00", "data/b.arc": b"b 1.00",
                "readme.txt": b"readme"}
        v101 = dict(v100, **{"data/a.arc": b"a 1.01", "data/new.arc": b"new in 1.01"})
        v102 = dict(v101, **{"data/a.arc": b"a 1.00"})
        v103 = dict(v102, **{"Velmora.exe": b"exe 1.03"})
        v103.update({"data/f%02d.arc" % i: b"f %d" % i for i in range(15)})
        self.write("stub.bin", STUB)
        for name, files in (("r100", v100), ("r101", v101), ("r102", v102), ("r103", v103)):
            self.write_release(name, files)
            self.write_release("game-" + name, files)
            self.write("game-%s/uninst.lst" % name, b"Velmora.exe\n\0")
        os.remove(self.path("game-r103/uninst.lst"))
        r = self.run_tool("make", "r102", "r103", "--stub", "stub.bin", "-o", "patch.exe",
                          "--split", "--dry-run")
        self.assertEqual(0, r.code, r.out + r.err)
        self.assertNotIn("data\\a.arc", r.out)

        r = self.run_tool("make", "r100", "r101", "r102", "r103", "--stub", "stub.bin", "-o",
                          "velmora-patch.exe", "--split")
        self.assertEqual(0, r.code, r.out + r.err)
        self.assertIn("players of r100, r101, r102 end at r103: checked for each, part by part",
                      r.result_lines())
        parts = ["velmora-patch-1of2.exe", "velmora-patch-2of2.exe"]
        names = [[e[0] for e in parse_patch(self.read(part))[2]] for part in parts]
        self.assertIn("data\\a.arc", names[0])
        self.assertIn("data\\new.arc", names[0])
        self.assertEqual(18 + 2, len(names[0]) + len(names[1]))
        for release in ("r100", "r101", "r102"):
            with self.subTest(release=release):
                for part in parts:
                    r = self.run_tool("apply", part, "game-" + release)
                    self.assertEqual(0, r.code, r.out + r.err)
                    self.assertEqual([], self.install_mismatches("game-" + release))
                got = tree(self.path("game-" + release))
                got.pop("uninst.lst")
                want = tree(self.path("game-r103"))
                self.assertEqual(sorted(want), sorted(got))
                for name in v103:
                    self.assertEqual(v103[name], got[name], name)

        # Releases whose lists disagree on more files than part 1 carries.
        self.write_release("wide", dict(v103, **{"Velmora.exe": b"exe of another branch"}))
        before = self.files_here()
        r = self.run_tool("make", "r100", "wide", "r103", "--stub", "stub.bin", "-o",
                          "velmora-patch.exe", "--split")
        self.assertEqual(1, r.code, r.out + r.err)
        error = self.assert_error_line(r, "make")
        self.assertIn("the lists of r100, wide disagree on 17 files", error)
        # Those files one per line, in the order of their paths.
        disputed = ["data\\f%02d.arc" % i for i in range(15)] + ["data\\new.arc", "Velmora.exe"]
        self.assertIn("no split can serve the players of all of these releases: publish a patch "
                      "for each release instead (patchtool make OLD NEW), or one for fewer "
                      "releases at a time; the files they disagree on (nothing written):\n" +
                      "\n".join("  " + name for name in disputed), error)
        self.assertEqual(before, self.files_here())

    # -- every fault in one run, --report, --exclude --------------------------

    def report_text(self, ran, result, faults):
        """A report as --report writes it: the same bytes on every system."""
        text = "# patchtool %s\n# result: %s\n# faults: %d (one per line: path, fault and why, " \
               "separated by tabs)\n" % (ran, result, len(faults))
        return (text + "".join("%s\t%s\t%s\n" % f for f in faults)).encode("utf-8")

    def test_one_run_names_every_fault_one_file_per_line(self):
        decomposed = unicodedata.normalize("NFD", "ガイド.txt")  # as macOS writes it
        self.write("stub.bin", STUB)
        self.write_release("old", {"a.arc": b"a1", "b.arc": b"b1", "data/x.arc": b"x"},
                           listed=False)
        self.write("old/qen.hvl", hash_list([("a.arc", content_sum(b"a1")),
                                             ("b.arc", content_sum(b"stale")),
                                             ("data\\x.arc", content_sum(b"x"))]))
        self.write_release("new", {"a.arc": b"a2", "b.arc": b"b1", "data/x.arc": b"x",
                                   "data/long_name_here.arc": b"l", "data/" + decomposed: b"g",
                                   "fresh/c.arc": b"c", ".DS_Store": b"left out"},
                           listed=False)
        twins = []
        if NATIVE:  # Windows holds no two such names
            self.write("new/Twin.arc", b"1")
            self.write("new/twin.ARC", b"2")
            why = " (letter case does not count there): keep one"
            twins = [("new/Twin.arc", "one-file-on-windows", "one file on Windows with "
                      "new/twin.ARC" + why),
                     ("new/twin.ARC", "one-file-on-windows", "one file on Windows with "
                      "new/Twin.arc" + why)]
        long_name = ("new/data/long_name_here.arc", "name-too-long", "its name "
                     "data\\long_name_here.arc is 23 bytes long in code page 932, and a patch's "
                     "entry names, subfolders included, hold at most 15: rename it (or its "
                     "folder)")
        composed = ("new/data/" + decomposed, "name-refused",
                    "カ (U+30AB) followed by the combining mark U+3099 is ガ written decomposed "
                    "(macOS); ガ (U+30AC) is accepted: rename it to ガイド.txt")
        faults = [long_name, composed,
                  ("new/fresh/c.arc", "new-folder", "it lies in a folder that old lacks (fresh): "
                   "a fix patch cannot create folders; the updater writes only into folders "
                   "that exist: move it into a folder the game has, or ship the new folder with "
                   "a full installer")] + twins + [
                  ("old/b.arc", "differs-from-list", "it differs from its record in old/qen.hvl: "
                   "old is not the release its hash list describes; OLD must be the release "
                   "exactly as players have it, files and qen.hvl alike: put the players' file "
                   "back into old, or, if it is the players' file, the qen.hvl that players have "
                   "(the one that the release's patch carried: patchtool extract PATCH DIR); a "
                   "list made anew from these files would describe files that players do not "
                   "have")]
        before = self.files_here()
        r = self.run_tool("make", "old", "new", "--stub", "stub.bin", "-o", "patch.exe",
                          "--report", "report.txt")
        self.assertEqual(1, r.code, r.out + r.err)
        summary = "%d faults in old and new: a fix patch needs every one mended" % len(faults)
        self.assertEqual("patchtool make: %s (nothing written but the report report.txt):\n"
                         % summary + "\n".join("  %s: %s" % (p, w) for p, _, w in faults),
                         self.assert_error_line(r, "make", warnings=True))
        self.assertIn("patchtool make: warning: left out 1 file that is no part of the game "
                      "(Thumbs.db, desktop.ini, .DS_Store, names ending in ~): new/.DS_Store\n",
                      self.err(r))
        self.assertEqual(self.report_text("make old new", "refused: " + summary, faults),
                         self.read("report.txt"))
        del before  # the report is new; nothing else is written
        self.assertEqual(["report.txt"], [n for n in self.listing()
                                          if not n.startswith(("old", "new", "stub"))])

        # hashlist names every name it cannot record, and the report adds the
        # release check's files.
        r = self.run_tool("hashlist", "new", "-o", "new.hvl", "--report", "report.txt")
        self.assertEqual(1, r.code, r.out + r.err)
        refused = [composed] + twins
        error = self.assert_error_line(r, "hashlist", warnings=True)
        for path, _, why in refused:
            self.assertIn("%s: %s" % (path, why), error)
        hashlist_long = (long_name[0], long_name[1], "its stored name data\\long_name_here.arc "
                         "is 23 bytes long in code page 932, and a patch's entry names, "
                         "subfolders included, hold at most 15: no fix patch can deliver it; "
                         "rename it (or its folder) before the release ships if it may ever need "
                         "a fix")
        result = "refused: " + (error[len("patchtool hashlist: "):].split(" (nothing written")[0])
        self.assertEqual(self.report_text("hashlist new", result, [hashlist_long] + refused),
                         self.read("report.txt"))
        self.assertFalse(os.path.exists(self.path("new.hvl")))

    def test_release_check_shows_ten_names_and_reports_every_one(self):
        names = ["data/long_name_%02d.arc" % i for i in range(20)]
        for name in names:
            self.write("game/" + name, b"x")
        self.write("game/ok.arc", b"ok")
        warning = ("patchtool hashlist: warning: release check: 20 of 21 files have stored names "
                   "over 15 bytes, the most a patch's entry holds, so no fix patch can ever "
                   "deliver them: rename them before the release ships if they may ever need a "
                   "fix:\n" + "".join("  %s (21 bytes)\n" % n.replace("/", "\\")
                                      for n in names[:10]))
        r = self.run_tool("hashlist", "game", "-o", "qen.hvl")
        self.assertEqual(0, r.code, r.out + r.err)
        self.assertIn(warning + "  and 10 more (--report FILE lists every one)\n", self.err(r))
        r = self.run_tool("hashlist", "game", "-o", "qen.hvl", "--replace", "--report", "r.txt")
        self.assertEqual(0, r.code, r.out + r.err)
        self.assertIn(warning + "  and 10 more (every one is in r.txt)\n", self.err(r))
        self.assertEqual("release check: 20 of 21 files cannot be delivered by any fix patch (see "
                         "the warnings)", r.result_lines()[-1])
        self.assertEqual(self.report_text(
            "hashlist game", "done: qen.hvl written",
            [("game/" + n, "name-too-long", "its stored name %s is 21 bytes long in code page "
              "932, and a patch's entry names, subfolders included, hold at most 15: no fix "
              "patch can deliver it; rename it (or its folder) before the release ships if it "
              "may ever need a fix" % n.replace("/", "\\")) for n in names]),
            self.read("r.txt"))
        # A report that the next run would take for a game file, or that is
        # the list itself, is refused before anything is written.
        for report in ("game/r.txt", "game/data/r.txt", "qen.hvl"):
            with self.subTest(report=report):
                before = self.files_here()
                r = self.run_tool("hashlist", "game", "-o", "qen.hvl", "--replace", "--report",
                                  report)
                self.assertEqual(1, r.code, r.out + r.err)
                self.assertIn("--report", self.assert_error_line(r, "hashlist"))
                self.assertEqual(before, self.files_here())

    def test_excluded_files_are_left_out_alike_by_hashlist_and_make(self):
        game = {"data/a.arc": b"a", "Thumbs.db": b"t", "sub/desktop.ini": b"d", ".DS_Store": b"s",
                "a.arc~": b"backup", "work/notes.txt": b"n", "art/cover.psd": b"p",
                "data/b.arc": b"b"}
        for name, data in game.items():
            self.write("game/" + name, data)
        patterns = ["--exclude", "work/", "--exclude", "*.PSD"]
        left_out = ["game/.DS_Store", "game/Thumbs.db", "game/a.arc~", "game/art/cover.psd",
                    "game/sub/desktop.ini", "game/work/"]
        r = self.run_tool("hashlist", "game", "-o", "game/qen.hvl", *patterns)
        self.assertEqual(0, r.code, r.out + r.err)
        self.assertIn("patchtool hashlist: warning: left out 5 files and 1 folder that are no part "
                      "of the game (Thumbs.db, desktop.ini, .DS_Store, names ending in ~, "
                      "--exclude work/, --exclude *.PSD):\n" +
                      "".join("  %s\n" % p for p in left_out), self.err(r))
        self.assertEqual(hash_list([("data\\a.arc", content_sum(b"a")),
                                    ("data\\b.arc", content_sum(b"b"))]),
                         self.read("game/qen.hvl"))

        # make leaves the same out of both: with its list, game is a clean
        # OLD, and only the game's own change goes in.
        shutil.copytree(self.path("game"), self.path("new"))
        for name in ("Thumbs.db", "work/notes.txt", "art/cover.psd", "a.arc~"):
            self.write("new/" + name, b"changed")
        self.write("new/data/a.arc", b"a2")
        os.remove(self.path("new/qen.hvl"))
        self.write("stub.bin", STUB)
        r = self.run_tool("make", "game", "new", "--stub", "stub.bin", "-o", "patch.exe",
                          *patterns)
        self.assertEqual(0, r.code, r.out + r.err)
        self.assertIn("left out 10 files and 2 folders that are no part of the game", self.err(r))
        self.assertNotIn("lacks", self.err(r))
        self.assertNotIn("is not in new", self.err(r))
        _, _, entries, _ = parse_patch(self.read("patch.exe"))
        self.assertEqual(["data\\a.arc", "qen.hvl"], [e[0] for e in entries])

        # Without the default names, they are the game's files.
        r = self.run_tool("hashlist", "game", "-o", "all.hvl", "--no-default-excludes")
        self.assertEqual(0, r.code, r.out + r.err)
        self.assertNotIn("left out", self.err(r))
        data = self.read("all.hvl")
        self.assertEqual(len(game), struct.unpack_from("<I", data, 12)[0])

        # Letter case does not count for any letter, as on Windows: a
        # full-width or Greek pattern leaves out the files of the other
        # case, and full-width is not ASCII.
        for name in ("ｂｇｍ/title.ogg", "ω.arc", "BGM/x.arc", "keep.arc"):
            self.write("cased/" + name, name.encode())
        r = self.run_tool("hashlist", "cased", "-o", "cased.hvl", "--exclude", "ＢＧＭ/",
                          "--exclude", "Ω*")
        self.assertEqual(0, r.code, r.out + r.err)
        self.assertIn("left out 1 file and 1 folder that are no part of the game (Thumbs.db, "
                      "desktop.ini, .DS_Store, names ending in ~, --exclude ＢＧＭ/, "
                      "--exclude Ω*):\n  cased/ω.arc\n  cased/ｂｇｍ/\n", self.err(r))
        self.assertEqual(hash_list([("BGM\\x.arc", content_sum(b"BGM/x.arc")),
                                    ("keep.arc", content_sum(b"keep.arc"))]),
                         self.read("cased.hvl"))

        # A pattern that can match nothing is a usage error.
        for bad in ("a//b", "../x"):
            with self.subTest(pattern=bad):
                r = self.run_tool("hashlist", "game", "-o", "bad.hvl", "--exclude", bad)
                self.assertEqual(2, r.code, r.out + r.err)
                self.assertIn("--exclude %s: a pattern names files" % bad,
                              self.assert_error_line(r, "hashlist"))
                r = self.run_tool("make", "game", "new", "--stub", "stub.bin", "-o", "bad.exe",
                                  "--exclude", bad)
                self.assertEqual(2, r.code, r.out + r.err)
                self.assertFalse(os.path.exists(self.path("bad.exe")))

    def test_make_takes_entry_names_of_15_bytes_and_refuses_16(self):
        cases = [("abcdefghijk.arc", True), ("abcdefghijkl.arc", False),
                 ("data/abcdef.arc", True), ("data/abcdefg.arc", False),
                 ("データ/abcd.arc", True), ("データ/abcde.arc", False)]
        for name, goes_in in cases:
            with self.subTest(name=name):
                shutil.rmtree(self.dir)
                os.mkdir(self.dir)
                self.write("stub.bin", STUB)
                for folder in ("old", "new", "game"):
                    self.write_release(folder, {"data/x.arc": b"x", "データ/y.arc": b"y"},
                                       listed=folder != "new")
                self.write("game/uninst.lst", b"x\n\0")
                self.write("new/" + name, b"the new file")
                r = self.run_tool("make", "old", "new", "--stub", "stub.bin", "-o", "patch.exe")
                self.assertEqual(0 if goes_in else 1, r.code, r.out + r.err)
                if goes_in:
                    r = self.run_tool("apply", "patch.exe", "game")
                    self.assertEqual(0, r.code, r.out + r.err)
                    self.assertEqual(b"the new file", self.read("game/" + name))
                    self.assertEqual([], self.install_mismatches("game"))
                else:
                    self.assertIn("is 16 bytes long in code page 932, and a patch's entry "
                                  "names, subfolders included, hold at most 15",
                                  self.assert_error_line(r, "make"))
                    self.assertFalse(os.path.exists(self.path("patch.exe")))

    def test_make_checks_old_against_its_own_list(self):
        self.write("stub.bin", STUB)
        old = {"Velmora.exe": b"1.00", "data/a.arc": b"a", "data/b.arc": b"b"}
        self.write_release("old", old)
        self.write_release("new", dict(old, **{"data/a.arc": b"a2"}), listed=False)
        self.write("old/qen.hvl", hash_list([("Velmora.exe", content_sum(b"0.99")),
                                             ("data\\a.arc", content_sum(b"a")),
                                             ("data\\b.arc", content_sum(b"b")),
                                             ("gone.arc", content_sum(b"g"))]))
        before = self.files_here()
        for extra in ([], ["--dry-run"]):
            r = self.run_tool("make", "old", "new", "--stub", "stub.bin", "-o", "patch.exe",
                              *extra)
            self.assertEqual(1, r.code, r.out + r.err)
            self.assertIn("make: old/Velmora.exe: it differs from its record in old/qen.hvl: old "
                          "is not the release its hash list describes",
                          self.assert_error_line(r, "make"))
            self.assertEqual(before, self.files_here())
        # A record whose file is missing is only named.
        self.write("old/qen.hvl", hash_list([("Velmora.exe", content_sum(b"1.00")),
                                             ("data\\a.arc", content_sum(b"a")),
                                             ("data\\b.arc", content_sum(b"b")),
                                             ("gone.arc", content_sum(b"g"))]))
        r = self.run_tool("make", "old", "new", "--stub", "stub.bin", "-o", "patch.exe")
        self.assertEqual(0, r.code, r.out + r.err)
        self.assertIn("patchtool make: warning: 1 record of old%sqen.hvl names a file that old "
                      "lacks (gone.arc): the patch keeps them as they are" %
                      (os.sep if NATIVE else "\\"), self.err(r))

    def test_releases_in_a_row_keep_the_installed_list_exact(self):
        # 1.00 -> 1.01 -> 1.02 through apply; OLD of the second patch is
        # the game as installed, NEW keeps 1.00's list (a warning only).
        v100 = {"Velmora.exe": b"exe 1.00", "data/sc00.arc": b"sc00 1.00",
                "data/sc01.arc": b"sc01 1.00", "データ.arc": b"jp 1.00", "readme.txt": b"r"}
        v101 = dict(v100, **{"Velmora.exe": b"exe 1.01", "data/sc01.arc": b"sc01 1.01",
                             "data/new.arc": b"new 1.01"})
        v102 = dict(v101, **{"Velmora.exe": b"exe 1.02", "データ.arc": b"jp 1.02",
                             "data/sc00.arc": b"sc00 1.02", "extra.arc": b"extra"})
        self.write("stub.bin", STUB)
        self.write_release("r100", v100)
        self.write_release("r101", v101, listed=False)
        self.write("r101/qen.hvl", self.read("r100/qen.hvl"))
        self.write_release("r102", v102, listed=False)
        self.write("r102/qen.hvl", self.read("r100/qen.hvl"))
        self.write_release("game", v100)
        self.write("game/uninst.lst", b"Velmora.exe\n\0")
        for old, new, records in (("r100", "r101", 6), ("game", "r102", 7)):
            with self.subTest(new=new):
                r = self.run_tool("make", old, new, "--stub", "stub.bin", "-o", new + ".exe")
                self.assertEqual(0, r.code, r.out + r.err)
                self.assertIn("%s%sqen.hvl is not the list the patch carries" %
                              (new, os.sep if NATIVE else "\\"), self.err(r))
                self.assertIn("write it with --write-list (patchtool make %s %s --stub stub.bin "
                              "-o %s.exe --write-list)" % (old, new, new), self.err(r))
                r = self.run_tool("apply", new + ".exe", "game")
                self.assertEqual(0, r.code, r.out + r.err)
                self.assertEqual([], self.install_mismatches("game"))
                data = self.read("game/qen.hvl")
                self.assertEqual(records, struct.unpack_from("<I", data, 12)[0])
        got = tree(self.path("game"))
        for name, data in v102.items():
            self.assertEqual(data, got[name], name)
        # The trial's mistake: the 1.01 release folder with 1.00's list as OLD.
        r = self.run_tool("make", "r101", "r102", "--stub", "stub.bin", "-o", "bad.exe")
        self.assertEqual(1, r.code, r.out + r.err)
        error = self.assert_error_line(r, "make")
        self.assertIn("r101 is not the release its hash list describes: 2 files differ from "
                      "their records and 1 file is not recorded in r101/qen.hvl; where that file "
                      "is no part of the game, this leaves it out: patchtool make r101 r102 --stub "
                      "stub.bin -o bad.exe --exclude /data/new.arc (nothing written):\n"
                      "  r101/data/new.arc: r101/qen.hvl does not record it", error)
        self.assertIn("\n  r101/data/sc01.arc: it differs from its record", error)
        # Never the advice to make the list anew from these files.
        self.assertIn("OLD must be the release exactly as players have it", error)
        self.assertNotIn("patchtool hashlist", error)
        self.assertFalse(os.path.exists(self.path("bad.exe")))

    def test_split_parts_keep_the_game_consistent_after_each(self):
        old = {"data/f%02d.arc" % i: b"old %d" % i for i in range(0, 22, 2)}
        old["Velmora.exe"] = b"exe"
        new = dict(old, **{"data/f%02d.arc" % i: b"new %d" % i for i in range(22)})
        self.write("stub.bin", STUB)
        self.write_release("old", old)
        self.write_release("new", new, listed=False)
        self.write_release("game", old)
        self.write("game/uninst.lst", b"Velmora.exe\n\0")
        changed = ["data\\f%02d.arc" % i for i in range(22)]
        before = self.files_here()
        r = self.run_tool("make", "old", "new", "--stub", "stub.bin", "-o", "velmora-patch.exe")
        self.assertEqual(1, r.code, r.out + r.err)
        error = self.assert_error_line(r, "make")
        self.assertIn("22 files are new or changed", error)
        self.assertIn("give --split to make 2 patches (velmora-patch-1of2.exe to "
                      "velmora-patch-2of2.exe) that players run in order", error)
        self.assertIn("the changes (nothing written):\n" + "\n".join("  " + c for c in changed),
                      error)
        self.assertEqual(before, self.files_here())

        r = self.run_tool("make", "old", "new", "--stub", "stub.bin", "-o", "velmora-patch.exe",
                          "--split", "--dry-run")
        self.assertEqual(0, r.code, r.out + r.err)
        lines = r.result_lines()
        self.assertEqual("part 1 of 2: velmora-patch-1of2.exe", lines[0])
        self.assertEqual(["%-8s %s  (%d bytes)" % ("changed" if i % 2 == 0 else "new",
                                                    changed[i], len(new[changed[i]
                                                                        .replace("\\", "/")]))
                          for i in range(15)], lines[1:16])
        self.assertEqual("part 2 of 2: velmora-patch-2of2.exe", lines[17])
        self.assertEqual(7, len([l for l in lines[18:] if l.startswith(("changed", "new"))]))
        self.assertIn("velmora-patch-2of2.exe: not written (dry run); it would hold 8 entries",
                      lines)
        self.assertEqual(before, self.files_here())

        r = self.run_tool("make", "old", "new", "--stub", "stub.bin", "-o", "velmora-patch.exe",
                          "--split")
        self.assertEqual(0, r.code, r.out + r.err)
        self.assertIn("players run the 2 parts in order, from velmora-patch-1of2.exe to "
                      "velmora-patch-2of2.exe", r.result_lines())
        self.assertFalse(os.path.exists(self.path("velmora-patch.exe")))
        # 12 records in OLD's list; part 1 adds 7 new files, part 2 the other 4.
        for part, files, records in (("velmora-patch-1of2.exe", 15, 19),
                                     ("velmora-patch-2of2.exe", 7, 23)):
            with self.subTest(part=part):
                _, _, entries, _ = parse_patch(self.read(part))
                self.assertEqual(files + 1, len(entries))
                r = self.run_tool("verify", part)
                self.assertEqual(0, r.code, r.out + r.err)
                r = self.run_tool("apply", part, "game")
                self.assertEqual(0, r.code, r.out + r.err)
                self.assertEqual([], self.install_mismatches("game"))
                # What support staff would see on the player's machine.
                r = self.run_tool("check", "game")
                self.assertEqual(0, r.code, r.out + r.err)
                self.assertTrue(r.lines()[-1].startswith(
                    "game: passes; %d files match their records in " % records), r.out)
        got = tree(self.path("game"))
        for name, data in new.items():
            self.assertEqual(data, got[name], name)
        # Parts of an earlier split into another count are named.
        self.write("velmora-patch-3of3.exe", b"an older part")
        self.write("velmora-patch-notes.exe", b"not a part")
        r = self.run_tool("make", "old", "new", "--stub", "stub.bin", "-o", "velmora-patch.exe",
                          "--split", "--dry-run")
        self.assertEqual(0, r.code, r.out + r.err)
        self.assertIn("patchtool make: warning: velmora-patch-3of3.exe is a part of an earlier "
                      "split, not of this patch: remove it, so that players do not run it with "
                      "its parts", self.err(r))
        self.assertNotIn("notes", self.err(r))

    def test_limits_are_named_before_anything_is_read(self):
        # Sparse files: nothing of them is read before the refusal.
        self.write("stub.bin", STUB)
        self.write("old/qen.hvl", hash_list([("data\\big.arc", content_sum(b"small"))]))
        self.write("old/data/big.arc", b"small")
        os.makedirs(self.path("new/data"))
        cases = [("data/big.arc", 2684354560, "is 2.50 GiB (2684354560 bytes): the updater reads "
                  "a package only below 2 GiB (byte 2147483648, the format's limit), and the "
                  "hash list must start after the file"),
                 ("data/huge.arc", 4831838208, "is 4.50 GiB (4831838208 bytes): a package stores "
                  "each file's size in 32 bits, so no fix patch can carry a file of 4 GiB or "
                  "more (the format's limit)")]
        for name, size, says in cases:
            with self.subTest(name=name):
                with open(self.path("new/" + name), "wb") as f:
                    f.truncate(size)
                before = self.listing()
                r = self.run_tool("make", "old", "new", "--stub", "stub.bin", "-o", "patch.exe")
                self.assertEqual(1, r.code, r.out + r.err)
                error = self.assert_error_line(r, "make")
                self.assertIn("make: new/" + name + ": it " + says, error)
                self.assertEqual(before, self.listing())
                os.remove(self.path("new/" + name))
        with open(self.path("huge.arc"), "wb") as f:
            f.truncate(4831838208)
        before = self.listing()
        r = self.run_tool("pack", "--stub", "stub.bin", "-o", "patch.exe", "huge.arc")
        self.assertEqual(1, r.code, r.out + r.err)
        self.assertIn("huge.arc is 4.50 GiB (4831838208 bytes): a package stores each file's "
                      "size in 32 bits", self.assert_error_line(r, "pack"))
        self.assertEqual(before, self.listing())

    def test_dry_run_warns_as_a_real_run_does(self):
        self.releases()
        self.write("new/qen.hvl", hash_list([("data01.arc", bytes(8))]))  # stale
        runs = []
        for extra in (["--dry-run"], []):
            r = self.run_tool("make", "old", "new", "--stub", "stub.bin", "-o", "fix.exe", *extra)
            self.assertEqual(0, r.code, r.out + r.err)
            runs.append(sorted(l for l in self.err(r).splitlines() if "warning" in l))
        self.assertEqual(runs[0], runs[1])
        warnings = "\n".join(runs[0])
        self.assertIn("fix.exe holds none of the words setup, install, update or patch",
                      warnings)
        self.assertIn("new%sqen.hvl is not the list the patch carries (1 record differs "
                      "(data01.arc), 5 records missing (data\\extra.arc, data\\movie.mpg, "
                      "data\\same.arc, game.exe, readme.txt)); new is OLD for the next patch, and its list must "
                      "be the one players have once this patch has run: write it with "
                      "--write-list (patchtool make old new --stub stub.bin -o fix.exe "
                      "--write-list)" % (os.sep if NATIVE else "\\"), warnings)
        self.assertIn("1 file of old is not in new", warnings)

    # -- progress -------------------------------------------------------------

    def test_long_commands_show_progress_only_on_a_terminal(self):
        if not NATIVE or not hasattr(os, "openpty"):
            self.skipTest("needs a terminal that the program itself sees")
        self.make_patch()
        self.releases()
        self.install_folder("game")
        cases = [(["pack", "--hash-list", "--stub", "stub.bin", "-o", "p2.exe", "src/b.arc"],
                  b"writing p2.exe  100%"),
                 (["make", "old", "new", "--stub", "stub.bin", "-o", "p3.exe"],
                  b"verifying p3.exe  100%"),
                 (["verify", "patch.exe"], b"reading patch.exe  100%"),
                 (["hashlist", "src", "-o", "h.hvl", "--replace"], b"summing src  100%"),
                 (["apply", "patch.exe", "game"], b"[2/4] b.arc")]
        if OSSLSIGNCODE:
            self.keys()
            self.make_pe_patch("pe-patch.exe")
            cases.append((["sign", "pe-patch.exe", "--cert", "keys/cert.pem", "--key",
                           "keys/key.pem", "-o", "signed.exe"], b"signing with osslsigncode"))
        for args, shown_part in cases:
            with self.subTest(command=args[0]):
                shown, code, _ = self.run_on_terminal(args)
                self.assertEqual(0, code, shown)
                self.assertIn(shown_part, shown)
                self.assertTrue(shown.endswith(b"\r") or b"warning" in shown, shown)
                r = self.run_tool(*[a.replace(".exe", "-piped.exe") if a.startswith("p") and
                                    a.endswith(".exe") and a != "patch.exe" else a
                                    for a in args])
                self.assertNotIn("\r", r.err)

    # -- list and verify of packages that the updater refuses ---------------

    def test_list_and_verify_name_each_entry_the_updater_refuses(self):
        a = b"data of a"
        cases = [
            (b"readme.txt.", '"readme.txt." ends in a dot, which Windows strips: it would '
                             'write "readme.txt" instead, another file: rename it'),
            (b"readme.txt ", '"readme.txt " ends in a space, which Windows strips'),
            (b"con.arc", "con.arc is a device name to Windows"),
            (b"COM1", "COM1 is a device name to Windows"),
            (b"nul.txt", "nul.txt is a device name to Windows"),
            (b"a?b.arc", "? cannot stand in a Windows file name"),
            (b'a"b.arc', '" cannot stand in a Windows file name'),
            (b"a\nb.arc", "the control character U+000A cannot stand in a Windows file name"),
            (b"\\a.arc", "the name \\a.arc has an empty part (a backslash at its start or "
                         "end, or two in a row)"),
            (b"data\\..\\x", '".." ends in a dot'),
        ]
        for name, words in cases:
            with self.subTest(name=name):
                self.write("bad.exe", build_patch([
                    ("a.arc", a), (name, b"x"),
                    ("qen.hvl", hash_list([("a.arc", content_sum(a))]))]))
                r = self.run_tool("verify", "bad.exe")
                self.assertEqual(1, r.code, r.out)
                lines = r.result_lines()
                self.assertEqual("matches     a.arc", lines[3])
                self.assertTrue(lines[4].startswith("not listed  "), lines[4])
                self.assertIn("  (refused: " + words, lines[4])
                error = self.assert_error_line(r, "verify")
                self.assertIn("bad.exe: fails: entry 1, ", error)
                self.assertIn(words, error)
                self.assertTrue(error.endswith("the updater refuses the whole patch for it before "
                                               "writing anything (UPD_E_PACKAGE)"), error)
                r = self.run_tool("list", "bad.exe")
                self.assertEqual(1, r.code, r.out)
                lines = r.result_lines()
                self.assertTrue(lines[6].startswith("    1 "), lines)
                self.assertTrue(lines[7].startswith("       refused: "), lines)
                self.assertIn(words, lines[7])
                self.assertEqual("    2 ", lines[8][:6])
                self.assertIn("bad.exe: the updater refuses this package before writing anything: "
                              "1 entry is refused (shown above; the update ends with "
                              "UPD_E_PACKAGE)", self.assert_error_line(r, "list"))

        # A patch cut short: its last entry runs past the end, the entries
        # before it are still shown and checked.
        self.make_patch()
        data = self.read("patch.exe")
        _, _, entries, base = parse_patch(data)
        self.write("cut.exe", data[:-10])
        cut = ("its %d bytes of data, from byte %d, run past the end of the file at byte %d: the "
               "patch is cut short (copy or download it again)"
               % (entries[3][2], base + entries[3][1], len(data) - 10))
        r = self.run_tool("verify", "cut.exe")
        self.assertEqual(1, r.code, r.out)
        self.assertEqual("unreadable  QEN.hvl  (refused: %s)" % cut, r.result_lines()[6])
        self.assertIn("cut.exe: fails: entry 3, QEN.hvl: " + cut, self.assert_error_line(r, "verify"))
        r = self.run_tool("list", "cut.exe")
        self.assertEqual(1, r.code, r.out)
        self.assertEqual("       refused: " + cut, r.result_lines()[-1])
        self.assertEqual(4, len([l for l in r.result_lines() if l.startswith("    ")
                                 and not l.strip().startswith("refused")]))

        # Every refused entry is named, the count in the error.
        self.write("two.exe", build_patch([("con.arc", a), ("a.arc", a), ("aux", a)]))
        r = self.run_tool("verify", "two.exe")
        self.assertIn("fails: entry 0, con.arc: ", self.assert_error_line(r, "verify"))
        self.assertIn("(UPD_E_PACKAGE; 2 entries refused in all)", r.out + r.err)
        self.assertEqual(2, len([l for l in r.result_lines() if "(refused: " in l]))

    # -- check ------------------------------------------------------------------

    def test_check_an_installed_game_against_its_hash_list(self):
        old, new, expected_list = self.releases()
        r = self.run_tool("make", "old", "new", "--stub", "stub.bin", "-o", "patch.exe")
        self.assertEqual(0, r.code, r.out + r.err)
        shutil.copytree(self.path("old"), self.path("game"))
        r = self.run_tool("apply", "patch.exe", "game")
        self.assertEqual(0, r.code, r.out + r.err)
        sep = "/" if NATIVE else "\\"
        r = self.run_tool("check", "game")
        self.assertEqual(0, r.code, r.out + r.err)
        self.assertEqual(["game: passes; 6 files match their records in game%sQEN.hvl" % sep],
                         r.lines())
        r = self.run_tool("check", "--all", "game")
        self.assertEqual(["matches     data\\extra.arc", "matches     data\\movie.mpg",
                          "matches     data\\same.arc", "matches     data01.arc",
                          "matches     game.exe", "matches     readme.txt"], r.lines()[:6])

        # A damaged installation, and records that the check cannot follow.
        movie = bytearray(self.read("game/data/movie.mpg"))
        movie[499] ^= 0x40
        self.write("game/data/movie.mpg", bytes(movie))
        os.remove(self.path("game/readme.txt"))
        os.remove(self.path("game/data/extra.arc"))
        os.mkdir(self.path("game/data/extra.arc"))
        records = [(name, digest) for name, digest in
                   [(expected_list[16 + 64 * i:16 + 64 * i + 56].split(b"\0")[0],
                     expected_list[16 + 64 * i + 56:16 + 64 * i + 64]) for i in range(6)]]
        self.write("game/QEN.hvl", hash_list(records + [("con.arc", bytes(8)),
                                                        ("README.TXT", bytes(8))]))
        before = self.files_here()
        r = self.run_tool("check", "game")
        self.assertEqual(1, r.code, r.out)
        self.assertEqual(
            ["unreadable  data\\extra.arc  (game%sdata%sextra.arc is a folder)" % (sep, sep),
             "differs     data\\movie.mpg  (listed %s, file %s)"
             % (content_sum(new["data/movie.mpg"]).hex(), content_sum(bytes(movie)).hex()),
             "missing     readme.txt  (no game%sreadme.txt)" % sep,
             "refused     con.arc  (con.arc is a device name to Windows (CON, PRN, AUX, NUL, "
             "COM1 to COM9, LPT1 to LPT9, with any extension), which opens the device, not a "
             "file: rename it)",
             "game: 8 records in game%sQEN.hvl: 3 files match, 1 differs, 1 is missing, 1 cannot "
             "be read, 1 has a name the rule refuses (1 later record of a name already checked "
             "is not looked at: the first record of a name decides)" % sep],
            r.result_lines())
        self.assertEqual("patchtool check: game: fails: 4 of 7 files are not as the hash list "
                         "says (listed above)", self.assert_error_line(r, "check"))
        self.assertEqual(before, self.files_here())  # nothing is written

    def test_check_finds_japanese_names_in_any_locale(self):
        for lang in ("en_US.UTF-8", "ja_JP.UTF-8"):
            with self.subTest(lang=lang):
                env = dict(os.environ, WINE_LANG=lang, LANG=lang, LC_ALL=lang)
                root = "game-" + lang.split(".")[0]
                self.write(root + "/データ/ジ.arc", b"japanese")
                self.write(root + "/修正.arc", b"fixed")
                self.write(root + "/qen.hvl", hash_list([
                    ("データ\\ジ.arc".encode("cp932"), content_sum(b"japanese")),
                    ("修正.arc".encode("cp932"), content_sum(b"other")),
                    ("ミロセナ.exe".encode("cp932"), bytes(8))]))
                r = self.run_tool("check", root, env=env)
                self.assertEqual(1, r.code, r.out)
                self.assertEqual(["differs     修正.arc  (listed %s, file %s)"
                                  % (content_sum(b"other").hex(), content_sum(b"fixed").hex()),
                                  "missing     ミロセナ.exe  (no %s%sミロセナ.exe)"
                                  % (root, "/" if NATIVE else "\\")],
                                 r.result_lines()[:2])
                r = self.run_tool("check", "--all", root, env=env)
                self.assertEqual("matches     データ\\ジ.arc", r.result_lines()[0])

    def test_check_refuses_a_folder_without_a_usable_list(self):
        self.write("game/a.arc", b"a")
        cases = [("no list", None, "game holds no hash list (qen.hvl)"),
                 ("a list that does not load", b"JXW____x" + bytes(8),
                  "the hash list game%sqen.hvl cannot be loaded: the hash list does not start "
                  "with JXW_____" % ("/" if NATIVE else "\\")),
                 ("an empty list", hash_list([]), "holds no records: there is nothing to check "
                                                  "the game's files against"),
                 ("no folder", "missing", "the install folder nothere does not exist")]
        for what, data, part in cases:
            with self.subTest(what=what):
                if os.path.exists(self.path("game/qen.hvl")):
                    os.remove(self.path("game/qen.hvl"))
                if isinstance(data, bytes):
                    self.write("game/qen.hvl", data)
                r = self.run_tool("check", "nothere" if data == "missing" else "game")
                self.assertEqual(1, r.code, r.out)
                self.assertIn(part, self.assert_error_line(r, "check"))
                self.assertEqual([], r.result_lines())

    # -- letter case, for every letter -------------------------------------------

    # Names that Windows takes for one file: full-width Latin, Greek and
    # Cyrillic capitals and small letters.
    TWINS = [("ＡＢＣ.txt", "ａｂｃ.txt"), ("Ω.txt", "ω.txt"), ("Ж.txt", "ж.txt")]

    def error_text(self, r, command):
        """The whole error of a failed run, its further lines too: on stderr,
        or (merged) from its first line on."""
        text = r.out if MERGED else r.err
        start = text.find("patchtool %s: " % command)
        self.assertNotEqual(-1, start, text)
        return text[start:]

    def test_names_that_are_one_file_on_windows_are_refused(self):
        self.write("stub.bin", STUB)
        for capital, small in self.TWINS:
            self.write("game/" + capital, b"capital")
            self.write("game/" + small, b"small")
        self.write("old/a.arc", b"a")
        self.write("old/qen.hvl", hash_list([("a.arc", content_sum(b"a"))]))
        # A summary line, then one line per file, in the order of their
        # names (the same on every system); hashlist and make name each
        # file with its fault, pack each group.
        files = ("3 files under more than one name each, which Windows takes for one (letter "
                 "case does not count there): %s:\n  Ω.txt and ω.txt\n  Ж.txt and ж.txt\n"
                 "  ＡＢＣ.txt and ａｂｃ.txt (nothing written)\n")
        why = " (letter case does not count there): keep one\n"
        faults = ("game holds 6 names that are 3 files on Windows (letter case does not count "
                  "there): keep one of each (nothing written):\n" +
                  "".join("  game/%s: one file on Windows with game/%s" % (a, b) + why +
                          "  game/%s: one file on Windows with game/%s" % (b, a) + why
                          for a, b in [("Ω.txt", "ω.txt"), ("Ж.txt", "ж.txt"),
                                       ("ＡＢＣ.txt", "ａｂｃ.txt")]))
        runs = [("hashlist", ["hashlist", "game", "-o", "qen.hvl"],
                 "patchtool hashlist: " + faults),
                ("make", ["make", "old", "game", "--stub", "stub.bin", "-o", "patch.exe"],
                 "patchtool make: " + faults),
                ("pack", ["pack", "--stub", "stub.bin", "-o", "patch.exe"] +
                 ["game/" + name for pair in self.TWINS for name in pair],
                 "patchtool pack: the FILEs include " +
                 (files % "the update would write one over the other; pack one of each")
                 .replace("  ", "  game/").replace("and ", "and game/"))]
        for command, args, expected in runs:
            with self.subTest(command=command):
                before = self.files_here()
                r = self.run_tool(*args)
                self.assertEqual(1, r.code, r.out + r.err)
                self.assertEqual(expected, self.error_text(r, command))
                self.assertEqual(before, self.files_here())
        # Files given by their paths, as hashlist takes them in batches.
        r = self.run_tool("hashlist", "-o", "qen.hvl", "game/Ж.txt", "game/ж.txt")
        self.assertEqual(1, r.code, r.out + r.err)
        why = " (letter case does not count there): a list records a file once; give one of them"
        self.assertEqual("patchtool hashlist: the files given include 2 names that are 1 file on "
                         "Windows (letter case does not count there): a list records a file "
                         "once; give one of each (nothing written):\n"
                         "  game/Ж.txt: one file on Windows with game/ж.txt" + why + "\n"
                         "  game/ж.txt: one file on Windows with game/Ж.txt" + why,
                         self.assert_error_line(r, "hashlist"))

        # Letters that are not one another's capital stay apart: full-width
        # and ASCII, half-width and full-width katakana, Greek sigma and
        # omega.
        apart = ["Ａ.txt", "A.txt", "ｶ.txt", "カ.txt", "Σ.txt", "ω.txt"]
        for name in apart:
            self.write("apart/" + name, name.encode())
        r = self.run_tool("hashlist", "apart", "-o", "apart.hvl")
        self.assertEqual(0, r.code, r.out + r.err)
        self.assertEqual(hash_list([(n.encode("cp932"), content_sum(n.encode()))
                                    for n in ["A.txt", "Σ.txt", "ω.txt", "カ.txt", "Ａ.txt",
                                              "ｶ.txt"]]),
                         self.read("apart.hvl"))
        # Nor does Windows take ß for SS, nor fold letters beyond the first
        # plane (Deseret): such names are refused for what they are, names
        # outside code page 932, not as twins.
        for name in ["ß.txt", "SS.txt", "𐐀.txt", "𐐨.txt"]:
            self.write("beyond/" + name, b"x")
        r = self.run_tool("hashlist", "beyond", "-o", "beyond.hvl")
        self.assertEqual(1, r.code, r.out + r.err)
        error = self.assert_error_line(r, "hashlist")
        self.assertIn("3 files cannot be recorded as the updater names files", error)
        self.assertNotIn("one file on Windows", error)

    def test_make_takes_a_case_only_change_as_the_same_file(self):
        self.write("stub.bin", STUB)
        old = {"ＡＢＣ.txt": b"abc 1.00", "data/Ω.txt": b"omega 1.00", "Ж.txt": b"zhe",
               "Data01.arc": b"data 1.00"}
        new = {"ａｂｃ.txt": b"abc 1.01", "DATA/ω.txt": b"omega 1.01", "ж.txt": b"zhe",
               "data01.arc": b"data 1.01"}
        self.write_release("old", old)
        self.write_release("new", new, listed=False)
        r = self.run_tool("make", "old", "new", "--stub", "stub.bin", "-o", "patch.exe")
        self.assertEqual(0, r.code, r.out + r.err)
        # Changed files, none new, under NEW's spelling, which NEW's list
        # records. ж.txt has the same bytes, but the updater's list
        # matching does not fold Ж: players' lists would not hold NEW's
        # record of it, so it goes in too.
        self.assertEqual(["changed  DATA\\ω.txt  (10 bytes)", "changed  data01.arc  (9 bytes)",
                          "relisted ж.txt  (3 bytes)", "changed  ａｂｃ.txt  (8 bytes)"],
                         r.result_lines()[:4])
        self.assertIn("patchtool make: warning: 1 file of new is spelt otherwise than an OLD's "
                      "list records it, in letters beyond A to Z, which the updater's list "
                      "matching does not fold (ж.txt as Ж.txt): the patch carries it under "
                      "new's spelling", self.err(r))
        _, _, entries, _ = parse_patch(self.read("patch.exe"))
        order = ["DATA/ω.txt", "data01.arc", "ж.txt", "ａｂｃ.txt"]
        self.assertEqual([n.replace("/", "\\") for n in order] + ["qen.hvl"],
                         [e[0] for e in entries])
        self.assertEqual(hash_list([(n.replace("/", "\\").encode("cp932"), content_sum(new[n]))
                                    for n in order]),
                         entries[4][3])
        # Applied to the game as players have it: the same files, NEW's
        # bytes, no second file, and the game checks out.
        shutil.copytree(self.path("old"), self.path("game"))
        self.write("game/uninst.lst", b"game.exe\n\0")
        r = self.run_tool("apply", "patch.exe", "game")
        self.assertEqual(0, r.code, r.out + r.err)
        self.assertEqual(sorted(["ＡＢＣ.txt", "data", "data/Ω.txt", "Ж.txt", "Data01.arc",
                                 "qen.hvl", "uninst.lst"]),
                         sorted(os.path.relpath(p, self.path("game")).replace(os.sep, "/")
                                for p in glob.glob(self.path("game/**"), recursive=True)
                                if p != self.path("game/")))
        self.assertEqual({"ＡＢＣ.txt": b"abc 1.01", "data/Ω.txt": b"omega 1.01",
                          "Ж.txt": b"zhe", "Data01.arc": b"data 1.01"},
                         {n: d for n, d in tree(self.path("game")).items()
                          if n not in ("qen.hvl", "uninst.lst")})
        r = self.run_tool("check", "game")
        self.assertEqual(0, r.code, r.out + r.err)

    def test_apply_check_and_extract_find_files_as_windows_does(self):
        # The patch names its files in small letters; the game has them in
        # capitals (full-width, Greek, ASCII).
        names = [("ａｂｃ.txt", "ＡＢＣ.txt"), ("ω.txt", "Ω.txt"), ("data01.arc", "DATA01.ARC")]
        listed = hash_list([(small.encode("cp932"), content_sum(small.encode()))
                            for small, _ in names])
        self.write("patch.exe", build_patch([(small, small.encode()) for small, _ in names] +
                                            [("qen.hvl", listed)]))
        for _, capital in names:
            self.write("game/" + capital, b"old")
        self.write("game/uninst.lst", b"game.exe\n\0")
        r = self.run_tool("apply", "patch.exe", "game")
        self.assertEqual(0, r.code, r.out + r.err)
        self.assertEqual(sorted([capital for _, capital in names] + ["qen.hvl", "uninst.lst"]),
                         sorted(os.listdir(self.path("game"))))
        for small, capital in names:
            self.assertEqual(small.encode(), self.read("game/" + capital))
        r = self.run_tool("check", "--all", "game")
        self.assertEqual(0, r.code, r.out + r.err)
        self.assertEqual(["matches     " + small for small, _ in names], r.result_lines()[:3])
        # extract writes over no file: the capitals' files exist already.
        for small, capital in names:
            with self.subTest(name=small):
                shutil.rmtree(self.path("into"), True)
                self.write("into/" + capital, b"mine")
                before = self.listing()
                r = self.run_tool("extract", "patch.exe", "into")
                self.assertEqual(1, r.code, r.out)
                self.assertIn("into%s%s exists already" % ("/" if NATIVE else "\\",
                                                           capital if NATIVE else small),
                              self.assert_error_line(r, "extract"))
                self.assertEqual(before, self.listing())

    # -- extract ----------------------------------------------------------------

    def test_extract_writes_every_entry_as_a_file(self):
        old, new, expected_list = self.releases()
        self.write("old/データ/a.arc", b"a")
        self.write("old/QEN.hvl", hash_list(self.records("old/QEN.hvl") +
                                            [("データ\\a.arc".encode("cp932"),
                                              content_sum(b"a"))]))
        self.write("new/データ/a.arc", b"a")
        self.write("new/データ/ジ.arc", b"japanese")
        r = self.run_tool("make", "old", "new", "--stub", "stub.bin", "-o", "patch.exe")
        self.assertEqual(0, r.code, r.out + r.err)
        _, _, entries, _ = parse_patch(self.read("patch.exe"))
        r = self.run_tool("extract", "patch.exe", "out")
        self.assertEqual(0, r.code, r.out + r.err)
        sep = "/" if NATIVE else "\\"
        self.assertEqual(["matches     out%sdata%sextra.arc  (8 bytes)" % (sep, sep),
                          "matches     out%sdata%smovie.mpg  (500 bytes)" % (sep, sep),
                          "matches     out%sdata01.arc  (3001 bytes)" % sep,
                          "matches     out%sデータ%sジ.arc  (8 bytes)" % (sep, sep),
                          "not listed  out%sQEN.hvl  (%d bytes)" % (sep, entries[4][2]),
                          "patch.exe: 5 entries written into out"], r.lines())
        self.assertEqual("", self.err(r))
        # The hash list is an entry too, under its stored name.
        self.assertEqual({"data/extra.arc": new["data/extra.arc"],
                          "data/movie.mpg": new["data/movie.mpg"],
                          "data01.arc": new["data01.arc"], "データ/ジ.arc": b"japanese",
                          "QEN.hvl": entries[4][3]}, tree(self.path("out")))

        # Into an existing folder whose subfolder has another letter case: it
        # is found as Windows finds it, and nothing else is touched.
        self.write("into/DATA/keep.txt", b"keep")
        r = self.run_tool("extract", "patch.exe", "into")
        self.assertEqual(0, r.code, r.out + r.err)
        self.assertEqual(new["data/extra.arc"], self.read("into/DATA/extra.arc"))
        self.assertEqual(b"keep", self.read("into/DATA/keep.txt"))

        # A second time: every file exists already. Nothing is written.
        before = self.files_here()
        r = self.run_tool("extract", "patch.exe", "out")
        self.assertEqual(1, r.code, r.out)
        self.assertIn("out%sdata%sextra.arc exists already; extract writes over no file: extract "
                      "into a new or empty folder (nothing written)" % (sep, sep),
                      self.assert_error_line(r, "extract"))
        self.assertEqual(before, self.files_here())

    def test_extract_refusals_write_nothing(self):
        a = b"data of a"
        listed = hash_list([("a.arc", content_sum(a))])
        good = build_patch([("a.arc", a), ("data\\b.arc", b"b"), ("qen.hvl", listed)])
        sep = "/" if NATIVE else "\\"
        cases = [
            ("a name the rule refuses", build_patch([("a.arc", a), ("con.arc", a)]), {}, "out",
             "bad.exe: the updater refuses its entry 1, con.arc: con.arc is a device name"),
            ("cut short", good[:-1], {}, "out", "the updater refuses its entry 2, qen.hvl: its "),
            ("no package", STUB, {}, "out", "carries no usable package"),
            ("one file on Windows", build_patch([("a.arc", a), ("A.ARC", a)]), {}, "out",
             "entries 0 and 1 (a.arc, A.ARC) are one file on Windows"),
            ("one file on Windows, full-width", build_patch([("ＡＢＣ.txt", a), ("b", a),
                                                            ("ａｂｃ.txt", a)]), {}, "out",
             "entries 0 and 2 (ＡＢＣ.txt, ａｂｃ.txt) are one file on Windows"),
            ("a file where a folder goes, Cyrillic", build_patch([("ПАП", a),
                                                                  ("пап\\a.arc", a)]), {},
             "out", "entry 0 (ПАП) is a file where entry 1 (пап\\a.arc) needs a folder"),
            ("a file where a folder goes", build_patch([("data", a), ("data\\b.arc", a)]), {},
             "out", "entry 0 (data) is a file where entry 1 (data\\b.arc) needs a folder"),
            # Found as the updater finds them, whatever their letter case.
            ("an existing file", good, {"out/data/B.ARC": b"mine"}, "out",
             "out%sdata%s%s exists already" % (sep, sep, "B.ARC" if NATIVE else "b.arc")),
            ("a file in a folder's place", good, {"out/Data": b"a file"}, "out",
             "out%s%s is a file where a folder of the patch goes"
             % (sep, "Data" if NATIVE else "data")),
            ("DIR is a file", good, {"out": b"a file"}, "out", "out is not a folder"),
            ("DIR's parent is missing", good, {}, "missing/out",
             "cannot create the folder missing/out: "),
        ]
        if NATIVE:
            os.mkdir(self.path("elsewhere"))
            os.mkdir(self.path("linked"))
            os.symlink(self.path("elsewhere"), self.path("linked/data"))
            cases.append(("a link on the way", good, {}, "linked",
                          "linked/data is a link; extract writes only into real folders"))
        for what, patch, extra, folder, part in cases:
            with self.subTest(what=what):
                for name in ("out", "missing"):
                    if os.path.isdir(self.path(name)):
                        shutil.rmtree(self.path(name))
                    elif os.path.exists(self.path(name)):
                        os.remove(self.path(name))
                self.write("bad.exe", patch)
                for name, data in extra.items():
                    self.write(name, data)
                before = self.listing()
                r = self.run_tool("extract", "bad.exe", folder)
                self.assertEqual(1, r.code, r.out)
                error = self.assert_error_line(r, "extract")
                self.assertIn(part, error)
                self.assertTrue(error.endswith("(nothing written)"), error)
                self.assertEqual(before, self.listing())

        # An entry that differs from its record is what the patch holds:
        # written, with a warning.
        self.write("differs.exe", build_patch([("a.arc", b"not a"), ("qen.hvl", listed)]))
        r = self.run_tool("extract", "differs.exe", "out2")
        self.assertEqual(0, r.code, r.out + r.err)
        self.assertIn("patchtool extract: warning: out2%sa.arc differs from its hash-list record "
                      "(listed %s, data %s): the update would stop there with UPD_E_CHECKSUM; "
                      "written as the patch holds it"
                      % (sep, content_sum(a).hex(), content_sum(b"not a").hex()), self.err(r))
        self.assertEqual(b"not a", self.read("out2/a.arc"))

    def test_extract_never_replaces_a_file_that_appears_at_its_name(self):
        # A file that another program puts at an entry's name while extract
        # runs, between its check and its commit, is neither replaced nor
        # lost: extract refuses and removes what it wrote.
        a = b"data of a"
        self.write("p.exe", build_patch([("a.arc", a), ("data\\b.arc", b"b"),
                                         ("qen.hvl", hash_list([("a.arc", content_sum(a)),
                                                                ("data\\b.arc",
                                                                 content_sum(b"b"))]))]))
        os.mkdir(self.path("out"))
        gate = self.path("gate")
        env = dict(os.environ, PATCHTOOL_TEST_GATE="gate")
        proc = subprocess.Popen(COMMAND + ["extract", "p.exe", "out"], cwd=self.dir,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=env)
        deadline, planted = time.time() + 120, False
        while proc.poll() is None and time.time() < deadline:
            if not os.path.exists(gate):
                time.sleep(0.02)
                continue
            if not planted:
                self.write("out/a.arc", b"another program's")
                planted = True
            os.remove(gate)
        out, err = proc.communicate(timeout=120)
        r = self.checked(Result(proc.returncode, normalize(out), normalize(err)),
                         ["extract", "p.exe", "out"])
        self.assertTrue(planted)
        self.assertEqual(1, r.code, r.out + r.err)
        self.assertIn("something appeared there meanwhile; it is left as it is",
                      self.assert_error_line(r, "extract"))
        self.assertEqual({"a.arc": b"another program's"}, tree(self.path("out")))

    def test_new_folders_are_checked_against_every_old(self):
        # r1 lacks sub/, r2 has it: a file of sub/ that the patch carries
        # would leave r1's players with UPD_E_WRITE. Refused, r1 named,
        # whichever place it has among the OLDs.
        self.write("stub.bin", STUB)
        self.write_release("r1", {"a.arc": b"a"})
        self.write_release("r2", {"a.arc": b"a", "sub/x.arc": b"x"})
        self.write_release("new", {"a.arc": b"a", "sub/x.arc": b"x2"}, listed=False)
        for olds in (["r1", "r2"], ["r2", "r1"]):
            with self.subTest(olds=olds):
                before = self.files_here()
                r = self.run_tool("make", *olds, "new", "--stub", "stub.bin", "-o", "patch.exe")
                self.assertEqual(1, r.code, r.out + r.err)
                self.assertEqual("patchtool make: new/sub/x.arc: it lies in a folder that r1 "
                                 "lacks (sub): a fix patch cannot create folders; the updater "
                                 "writes only into folders that exist: move it into a folder "
                                 "the game has, or ship the new folder with a full installer "
                                 "(nothing written)", self.assert_error_line(r, "make"))
                self.assertEqual(before, self.files_here())

    def test_cumulative_patch_across_a_spelling_beyond_a_to_z(self):
        # ｓｅ.txt in s0 is ＳＥ.txt in s1 (the same bytes): one file on
        # Windows, two names to the updater's list matching. Then s2
        # changes another file. The patch for the players of s0 and s1
        # carries the file for their lists, and every list of s2 is the
        # same bytes: make s1 s2's, make s0 s1 s2's, hashlist s2's.
        self.write("stub.bin", STUB)
        s0 = {"ｓｅ.txt": b"se", "a.arc": b"a0", "b.arc": b"b0"}
        s1 = {"ＳＥ.txt": b"se", "a.arc": b"a1", "b.arc": b"b0"}
        s2 = dict(s1, **{"b.arc": b"b2"})
        for name, files in (("s0", s0), ("s1", s1), ("s2", s2)):
            self.write_release(name, files, listed=False)
            self.write(name + "/uninst.lst", b"game.exe\n\0")
        r = self.run_tool("hashlist", "s0", "-o", "s0/qen.hvl")
        self.assertEqual(0, r.code, r.out + r.err)
        for old, new in (("s0", "s1"), ("s1", "s2")):
            r = self.run_tool("make", old, new, "--stub", "stub.bin", "-o", new + "-patch.exe",
                              "--write-list")
            self.assertEqual(0, r.code, r.out + r.err)
        r = self.run_tool("make", "s0", "s1", "s2", "--stub", "stub.bin", "-o", "patch.exe")
        self.assertEqual(0, r.code, r.out + r.err)
        self.assertNotIn("fault of patchtool", r.out + r.err)
        self.assertEqual(["changed  a.arc  (2 bytes)", "changed  b.arc  (2 bytes)",
                          "relisted ＳＥ.txt  (2 bytes)"],
                         sorted(l for l in r.result_lines() if l.startswith(("relisted",
                                                                             "changed"))))
        self.assertNotIn("qen.hvl is not the list", r.out + r.err)
        _, _, entries, _ = parse_patch(self.read("patch.exe"))
        self.assertEqual(self.read("s2/qen.hvl"), entries[-1][3])
        r = self.run_tool("hashlist", "s2", "-o", "s2.hvl")
        self.assertEqual(0, r.code, r.out + r.err)
        self.assertEqual(self.read("s2/qen.hvl"), self.read("s2.hvl"))
        r = self.run_tool("verify", "patch.exe")
        self.assertEqual(0, r.code, r.out + r.err)
        # The players of s0 and of s1 end at s2, each file keeping its
        # spelling, the game checked against s2's list.
        for release, files in (("s0", s0), ("s1", s1)):
            with self.subTest(release=release):
                shutil.copytree(self.path(release), self.path("game-" + release))
                r = self.run_tool("apply", "patch.exe", "game-" + release)
                self.assertEqual(0, r.code, r.out + r.err)
                got = tree(self.path("game-" + release))
                se = [n for n in files if n.endswith(".txt")][0]
                self.assertEqual({se: b"se", "a.arc": b"a1", "b.arc": b"b2"},
                                 {n: d for n, d in got.items()
                                  if n not in ("qen.hvl", "uninst.lst")})
                self.assertEqual(self.read("s2/qen.hvl"), got["qen.hvl"])
                r = self.run_tool("check", "game-" + release)
                self.assertEqual(0, r.code, r.out + r.err)

    def test_exclusions_stay_with_the_release(self):
        # The studio's work folder lies in every release folder; r0's list
        # was made without it. make counts only on what players have.
        self.write("stub.bin", STUB)
        r0 = {"game.exe": b"g0", "data/a.arc": b"a0"}
        r1 = dict(r0, **{"data/a.arc": b"a1"})
        self.write_release("r0", r0)
        self.write_release("r1", r1, listed=False)
        for release in ("r0", "r1"):
            self.write(release + "/work/cover.psd", b"psd of " + release.encode())
        # Without anything that leaves it out: refused, the file named,
        # with the command that leaves it out, every option repeated.
        before = self.files_here()
        r = self.run_tool("make", "r0", "r1", "--stub", "stub.bin", "-o", "p.exe", "--split",
                          "--report", "report.txt")
        self.assertEqual(1, r.code, r.out + r.err)
        error = self.assert_error_line(r, "make")
        self.assertIn("r0/work/cover.psd: r0/qen.hvl does not record it, so players of r0 do "
                      "not have it and no patch may count on it", error)
        self.assertIn("this leaves it out: patchtool make r0 r1 --stub stub.bin -o p.exe "
                      "--split --exclude /work/cover.psd --report report.txt", error)
        os.remove(self.path("report.txt"))
        self.assertEqual(before, self.files_here())
        # A dry run with --exclude advises the command that writes r1's
        # list, --exclude repeated; run as advised, the list does not
        # record the work folder.
        r = self.run_tool("make", "r0", "r1", "--stub", "stub.bin", "-o", "p.exe",
                          "--exclude", "work/", "--dry-run")
        self.assertEqual(0, r.code, r.out + r.err)
        advice = re.search(r"write it with --write-list \((patchtool make [^)]*)\)", r.out + r.err)
        self.assertIsNotNone(advice, r.out + r.err)
        self.assertEqual("patchtool make r0 r1 --stub stub.bin -o p.exe --exclude work/ "
                         "--write-list", advice.group(1))
        r = self.run_tool(*advice.group(1).split()[1:])
        self.assertEqual(0, r.code, r.out + r.err)
        self.assertEqual([b"data\\a.arc", b"game.exe"], self.record_names("r1/qen.hvl"))
        # The same from each release's own exclusion file, which is never
        # recorded nor packed, whatever it holds.
        os.remove(self.path("p.exe"))
        self.write("r0/.patchignore", b"# the studio's files\nwork/\n")
        self.write("r1/.PATCHIGNORE", b"work/\r\n*.bak\r\n")
        self.write("r1/data/a.arc", b"a2")
        r = self.run_tool("make", "r0", "r1", "--stub", "stub.bin", "-o", "p.exe",
                          "--write-list")
        self.assertEqual(0, r.code, r.out + r.err)
        _, _, entries, _ = parse_patch(self.read("p.exe"))
        self.assertEqual(["data\\a.arc", "qen.hvl"], [e[0] for e in entries])
        self.assertEqual([b"data\\a.arc", b"game.exe"], self.record_names("r1/qen.hvl"))
        self.assertIn("\n  r0/work/\n", self.err(r))  # named as left out
        r = self.run_tool("hashlist", "r1", "-o", "r1.hvl")
        self.assertEqual(0, r.code, r.out + r.err)
        self.assertEqual(self.read("r1/qen.hvl"), self.read("r1.hvl"))
        # A faulty line refuses, named with its file and line.
        self.write("r1/.PATCHIGNORE", b"work/\n!cover.psd\n")
        r = self.run_tool("hashlist", "r1", "-o", "r1.hvl", "--replace")
        self.assertEqual(1, r.code, r.out + r.err)
        self.assertIn("r1/.PATCHIGNORE line 2: !cover.psd: a pattern that takes files back (!) "
                      "is not supported here", self.assert_error_line(r, "hashlist"))

    def manifest(self, name):
        """The manifest lines of a report: their fields, split at the tabs."""
        text = self.read(name).decode("utf-8")
        self.assertIn("\n# manifest: ", text)
        return [l.split("\t") for l in text.split("# manifest: ")[1].splitlines()[1:]]

    def test_make_and_list_write_the_manifest_of_a_made_patch(self):
        # make --report and list --report tell the same patch alike: its
        # parts, each file it carries with size and sum, each part's list
        # with its sum, the list it ends at; make names the OLD it serves
        # and every file it leaves out, and why.
        self.write("stub.bin", STUB)
        old = {"data/f%02d.arc" % i: b"old %d" % i for i in range(17)}
        old["same.arc"] = b"same"
        new = dict(old, **{"data/f%02d.arc" % i: b"new %d" % i for i in range(17)})
        self.write_release("old", old)
        self.write_release("new", new, listed=False)
        self.write("old/work/cover.psd", b"psd")
        self.write("old/.patchignore", b"work/\n")
        r = self.run_tool("make", "old", "new", "--stub", "stub.bin", "-o", "p.exe", "--split",
                          "--write-list", "--report", "make.txt")
        self.assertEqual(0, r.code, r.out + r.err)
        text = self.read("make.txt").decode("utf-8")
        self.assertTrue(text.startswith("# patchtool make old new\n# result: done: p-1of2.exe, "
                                        "p-2of2.exe, new%sqen.hvl written\n# faults: 0"
                                        % (os.sep if NATIVE else "\\")), text)
        rows = self.manifest("make.txt")
        self.assertEqual(["serves", "old"], rows[0])
        new_list = self.read("new/qen.hvl")
        self.assertEqual(["ends-at", "new", content_sum(new_list).hex(), "18"], rows[1])
        carried = {}
        for part in (1, 2):
            patch = "p-%dof2.exe" % part
            _, _, entries, _ = parse_patch(self.read(patch))
            part_rows = [row for row in rows if row[0] != "left-out" and row[1] == str(part)]
            self.assertEqual(["part", str(part), "2", patch, str(len(entries)),
                              str(len(self.read(patch)))], part_rows[0])
            self.assertEqual([["carries", str(part), e[0], str(e[2]), content_sum(e[3]).hex(),
                               "changed"] for e in entries[:-1]], part_rows[1:-1])
            self.assertEqual(["list", str(part), "qen.hvl", str(entries[-1][2]),
                              content_sum(entries[-1][3]).hex(), str(len(entries[-1][3]) // 64)],
                             part_rows[-1])
            for e in entries[:-1]:
                carried[e[0]] = e[3]
        self.assertEqual({n.replace("/", "\\"): d for n, d in new.items() if n != "same.arc"},
                         carried)
        self.assertEqual([["left-out", "new/same.arc", "unchanged"],
                          ["left-out", "old/work/", "excluded"]],
                         sorted(row[:3] for row in rows if row[0] == "left-out"))
        self.assertIn("old/.patchignore line 1: work/",
                      [row for row in rows if row[1] == "old/work/"][0][3])
        # list --report of either part: the same parts, files, sums and
        # lists, the list it ends at, and what an install must hold.
        r = self.run_tool("list", "p-2of2.exe", "--report", "list.txt")
        self.assertEqual(0, r.code, r.out + r.err)
        listed = self.manifest("list.txt")
        self.assertEqual(["serves", "-"], listed[0][:2])
        self.assertIn("(3 records)", listed[0][2])  # same.arc, and f15, f16 as they were
        self.assertEqual(rows[1][2:], listed[1][2:])
        same = lambda row: row[:5] if row[0] == "carries" else row
        self.assertEqual([same(row) for row in rows if row[0] in ("part", "carries", "list")],
                         [same(row) for row in listed if row[0] in ("part", "carries", "list")])
        self.assertEqual([["left-out", "same.arc", "not-carried"]],
                         [row[:3] for row in listed if row[0] == "left-out"])
        # Never over the patch it tells of.
        r = self.run_tool("list", "p-1of2.exe", "--report", "p-2of2.exe")
        self.assertEqual(1, r.code, r.out + r.err)
        self.assertEqual(carried, {e[0]: e[3] for part in (1, 2) for e in
                                   parse_patch(self.read("p-%dof2.exe" % part))[2][:-1]})

    # -- interruptions ----------------------------------------------------------

    def interruption_env(self, env):
        """env with the hook by which the Windows program says that an
        interruption has taken hold, or waits for a held window: the file
        it names lies outside the test folder, whose listing the tests
        compare."""
        marker = os.path.join(tempfile.mkdtemp(prefix="patchtool-seen."), "seen")
        self.addCleanup(shutil.rmtree, os.path.dirname(marker), True)
        native = marker if NATIVE else "Z:" + marker.replace("/", "\\")
        return dict(env or os.environ, PATCHTOOL_TEST_INTERRUPTION_SEEN=native), marker

    def await_interruption(self, proc, target, sig, marker):
        """Waits until the interruption sent to target has taken hold (or
        waits for a held window to close, the only thing that could still
        move): the program has ended, or the Windows program's handler says
        so through the marker, or, natively, the signal is pending (a held
        window blocks it)."""
        deadline = time.time() + 120
        while proc.poll() is None and not os.path.exists(marker):
            if NATIVE and signal_pending(target, sig):
                return
            if time.time() > deadline:
                proc.kill()
                out, err = proc.communicate()
                self.fail("the interruption never took hold: %s %s" % (out, err))
            time.sleep(0.01)

    def run_interrupted(self, args, ready, sig, env=None):
        """Runs the program until ready() says it stands where it is to be
        interrupted, then sends it sig (under Wine, to the Windows process,
        which Wine hands a SIGINT as the console's Ctrl-C)."""
        proc = subprocess.Popen(COMMAND + args, cwd=self.dir, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        deadline = time.time() + 120
        target = proc.pid if NATIVE else None
        while not ready() or target is None:
            if target is None:
                target = self.windows_process(proc.pid)
            if proc.poll() is not None or time.time() > deadline:
                proc.kill()
                out, err = proc.communicate()
                self.fail("not interrupted: %s %s" % (out, err))
            time.sleep(0.02)
        os.kill(target, sig)
        out, err = proc.communicate(timeout=120)
        return self.checked(Result(proc.returncode, normalize(out), normalize(err)), args)

    @staticmethod
    def windows_process(pid):
        """The Windows program that Wine runs below the process pid."""
        table = processes()
        below = {pid}
        for _ in range(5):
            below |= {p for p, (parent, _) in table.items() if parent in below}
        for p in below:
            argv = table[p][1]
            if argv and argv[0].lower().endswith("patchtool.exe"):
                return p
        return None

    def assert_interrupted(self, r, command, sig):
        # Natively ended by the signal; under Wine with STATUS_CONTROL_C_EXIT
        # (0xC000013A), of which the exit status keeps the low byte.
        self.assertEqual(-sig if NATIVE else 0x3A, r.code, r.out + r.err)
        self.assertIn("patchtool %s: interrupted; unfinished files removed, existing ones left "
                      "as they were" % command, self.err(r))
        self.assertEqual([], [n for n in self.listing() if n.endswith(".part")])

    def fifo(self, name, empty_reads=0):
        """A named pipe that reads as empty the first empty_reads times it is
        opened; from then on its writer stays open until the returned
        function is called: a read of it waits until then."""
        path = self.path(name)
        os.mkfifo(path)
        fds = []

        def serve():
            for _ in range(empty_reads):
                os.close(os.open(path, os.O_WRONLY))
                # A writer opened while that reader still holds the pipe
                # would join it rather than wait for the next one.
                while pipe_is_open(path):
                    time.sleep(0.01)
            fds.append(os.open(path, os.O_WRONLY))
        opener = threading.Thread(target=serve)
        opener.start()

        def close():
            opener.join()
            for fd in fds:
                os.close(fd)
            os.remove(self.path(name))
        return close

    def test_interrupted_make_and_pack_leave_no_partial_file(self):
        if not NATIVE:
            self.skipTest("named pipes are POSIX's; under Wine see the gate below")
        self.releases()
        big = os.urandom(3 << 20)
        self.write("new/data/big.arc", big)
        self.write("big.arc", big)
        self.write("patch.exe", b"the old patch")
        # make and pack write everything before the pipe, then wait on it.
        # make reads each new file once to compare it before it starts its
        # output: that first read finds the pipe empty.
        make = ["make", "old", "new", "--stub", "stub.bin", "-o", "patch.exe"]
        pack = ["pack", "--hash-list", "--stub", "stub.bin", "-o", "patch.exe", "big.arc",
                "slow.arc"]
        part = self.path("patch.exe.part")
        for args, pipe, empty_reads, size in (
                (make, "new/data/slow.arc", 1,
                 PACKAGE_OFFSET + 16 + 32 * 6 + len(big) + 8 + 500),
                (pack, "slow.arc", 0, PACKAGE_OFFSET + 16 + 32 * 3 + len(big))):
            for sig in (signal.SIGINT, signal.SIGTERM):
                with self.subTest(command=args[0], signal=sig):
                    close = self.fifo(pipe, empty_reads)
                    r = self.run_interrupted(
                        args, lambda: os.path.exists(part) and os.path.getsize(part) == size, sig)
                    self.assert_interrupted(r, args[0], sig)
                    self.assertEqual(b"the old patch", self.read("patch.exe"))
                    close()

    def test_interrupted_before_an_output_takes_its_place(self):
        # Each output waits at the gate, whole, before it takes its place.
        self.releases()
        self.write("patch.exe", b"the old patch")
        self.write("qen.hvl", b"the old list")
        env = dict(os.environ, PATCHTOOL_TEST_GATE="gate")
        gate = self.path("gate")
        cases = [["make", "old", "new", "--stub", "stub.bin", "-o", "patch.exe"],
                 ["hashlist", "--replace", "-o", "qen.hvl", "old/data01.arc", "old/game.exe"]]
        signals = (signal.SIGINT, signal.SIGTERM) if NATIVE else (signal.SIGINT,)
        for args in cases:
            for sig in signals:
                with self.subTest(command=args[0], signal=sig):
                    r = self.run_interrupted(args, lambda: os.path.exists(gate), sig, env=env)
                    os.remove(gate)
                    self.assert_interrupted(r, args[0], sig)
                    self.assertEqual(b"the old patch", self.read("patch.exe"))
                    self.assertEqual(b"the old list", self.read("qen.hvl"))

    def test_interrupted_signing_ends_the_engine_and_removes_its_file(self):
        env = self.stand_in_engine()
        self.make_pe_patch()
        self.keys()
        self.write("signed.exe", b"signed before")
        unsigned = self.read("patch.exe")
        signals = (signal.SIGINT, signal.SIGTERM) if NATIVE else (signal.SIGINT,)
        for output in (None, "signed.exe"):
            for sig in signals:
                with self.subTest(output=output, signal=sig):
                    waiting = self.path("engine-waiting")
                    r = self.run_interrupted(
                        ["sign", "patch.exe", "--cert", "keys/cert.pem", "--key", "keys/key.pem"]
                        + (["-o", output] if output else []),
                        lambda: os.path.exists(waiting), sig, env=dict(env, FAKE_MODE="hangs"))
                    os.remove(waiting)
                    self.assert_interrupted(r, "sign", sig)
                    self.assertEqual(unsigned, self.read("patch.exe"))
                    self.assertEqual(b"signed before", self.read("signed.exe"))
                    self.assert_engines_ended()

    def test_interrupted_as_the_engine_starts_says_so(self):
        # On Windows the standard handles are the engine's for the moment of
        # its start: an interruption then waits for them to be put back, so
        # that what it says reaches the publisher, not the engine's pipe.
        env = self.stand_in_engine()
        self.make_pe_patch()
        self.keys()
        unsigned = self.read("patch.exe")
        signals = (signal.SIGINT, signal.SIGTERM) if NATIVE else (signal.SIGINT,)
        for sig in signals:
            with self.subTest(signal=sig):
                r, stops = self.run_stopping_at_gates(
                    ["sign", "patch.exe", "--cert", "keys/cert.pem", "--key", "keys/key.pem"],
                    "PATCHTOOL_TEST_SPAWN_GATE", 1, sig, env=dict(env, FAKE_MODE="hangs"))
                self.assertEqual(1, stops)
                self.assert_interrupted(r, "sign", sig)
                self.assertEqual(unsigned, self.read("patch.exe"))
                self.assert_engines_ended()

    def assert_engines_ended(self):
        """No stand-in engine of this test runs, once the ones that were
        ended have gone. (Wine reports a process ended as soon as it asks
        it to end; its Unix process may linger for a moment after.)"""
        deadline = time.time() + 60
        left = self.engines_running()
        while left and time.time() < deadline:
            time.sleep(0.05)
            left = self.engines_running()
        for pid in left:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        self.assertEqual([], left, "the engine was left running")

    def engines_running(self):
        """The stand-in engines of this test that still run."""
        found = []
        for pid, (_, argv) in processes().items():
            if not any("osslsigncode" in a for a in argv):
                continue
            try:
                where = os.readlink("/proc/%d/cwd" % pid)
            except OSError:
                where = ""
            if where == self.dir or any(os.path.basename(self.dir) in a for a in argv):
                found.append(pid)
        return found

    # -- outputs that never mix and never leak -----------------------------------

    def run_stopping_at_gates(self, args, variable, stop_at, sig, env=None):
        """Runs the program with the test gate of that variable ("gate" in
        the test folder). At each stop there it lets the program go on by
        removing the gate, but at stop number stop_at (from 1) it first
        sends sig (under Wine to the Windows process, as the console's
        Ctrl-C, whose handler then waits while the program holds
        interruptions) and waits until the interruption has taken hold.
        Returns the result and the number of stops."""
        gate = self.path("gate")
        env, marker = self.interruption_env(env)
        env[variable] = "gate"
        proc = subprocess.Popen(COMMAND + args, cwd=self.dir, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        deadline = time.time() + 120
        target = proc.pid if NATIVE else None
        stops = 0
        while proc.poll() is None:
            if target is None:
                target = self.windows_process(proc.pid)
            if time.time() > deadline:
                proc.kill()
                out, err = proc.communicate()
                self.fail("never ended: %s %s" % (out, err))
            if not os.path.exists(gate) or target is None:
                time.sleep(0.02)
                continue
            stops += 1
            if stops == stop_at:
                os.kill(target, sig)
                self.await_interruption(proc, target, sig, marker)
            os.remove(gate)
        out, err = proc.communicate(timeout=120)
        if os.path.exists(gate):
            os.remove(gate)
        return self.checked(Result(proc.returncode, normalize(out), normalize(err)), args), stops

    def test_outputs_never_write_through_what_has_their_temporary_name(self):
        # Whatever has OUT.part (somebody's file, a link to a file elsewhere
        # that begins as a patch, a link that leads nowhere) stays as it is,
        # and nothing it leads to is written or made: the output takes the
        # next temporary name and its place.
        self.releases()
        self.write("a.arc", b"a")
        outside = tempfile.mkdtemp(prefix="patchtool-outside.")
        self.addCleanup(shutil.rmtree, outside, True)
        victim = os.path.join(outside, "victim.exe")
        nowhere = os.path.join(outside, "nowhere.exe")
        commands = [("out.exe", ["pack", "--hash-list", "--stub", "stub.bin", "-o", "out.exe", "a.arc"], b"MZ"),
                    ("out.exe", ["make", "old", "new", "--stub", "stub.bin", "-o", "out.exe"],
                     b"MZ"),
                    ("out.hvl", ["hashlist", "-o", "out.hvl", "a.arc"], b"JXW_____")]
        for output, args, begins in commands:
            for what in ("somebody's file", "a link to a file elsewhere", "a link to nothing"):
                with self.subTest(command=args[0], what=what):
                    part = self.path(output + ".part")
                    for path in (self.path(output), part, nowhere):
                        if os.path.lexists(path):
                            os.unlink(path)
                    with open(victim, "wb") as f:
                        f.write(b"MZ the victim")
                    if what == "somebody's file":
                        self.write(output + ".part", b"somebody's")
                    else:
                        os.symlink(victim if what == "a link to a file elsewhere" else nowhere,
                                   part)
                    r = self.run_tool(*args)
                    self.assertEqual(0, r.code, r.out + r.err)
                    self.assertTrue(self.read(output).startswith(begins))
                    with open(victim, "rb") as f:
                        self.assertTrue(f.read() == b"MZ the victim", "written through the link")
                    self.assertFalse(os.path.lexists(nowhere), "written through the link")
                    if what == "somebody's file":
                        self.assertEqual(b"somebody's", self.read(output + ".part"))
                    else:
                        self.assertTrue(os.path.islink(part))
                    self.assertNotIn(output + ".part1", self.listing())

    def test_a_link_toggled_at_the_temporary_name_is_never_followed(self):
        # Another user plants a link at OUT.part and takes it away, over and
        # over, while pack runs again and again: the file it leads to is
        # never written, truncated or removed. (The open that followed
        # links met one within a few runs, natively and under Wine.)
        self.write("stub.bin", STUB)
        self.write("a.arc", b"a")
        outside = tempfile.mkdtemp(prefix="patchtool-outside.")
        self.addCleanup(shutil.rmtree, outside, True)
        victim = os.path.join(outside, "victim.exe")
        with open(victim, "wb") as f:
            f.write(b"the victim")
        part = self.path("out.exe.part")
        stop = threading.Event()

        def toggle():
            while not stop.is_set():
                try:
                    os.symlink(victim, part)
                except FileExistsError:
                    pass
                if os.path.islink(part):
                    try:
                        os.unlink(part)
                    except FileNotFoundError:
                        pass
        toggler = threading.Thread(target=toggle)
        toggler.start()
        try:
            for attempt in range(100 if NATIVE else 25):
                r = self.run_tool("pack", "--hash-list", "--stub", "stub.bin", "-o", "out.exe", "a.arc")
                data = None
                if os.path.exists(victim):
                    with open(victim, "rb") as f:
                        data = f.read()
                if data != b"the victim":
                    self.fail("run %d: the file that the link leads to was %s"
                              % (attempt + 1, "removed" if data is None else "written"))
                self.assertEqual(0, r.code, r.out + r.err)
                self.assertEqual(STUB, self.read("out.exe")[:len(STUB)])
        finally:
            stop.set()
            toggler.join()
        self.assertEqual([], [n for n in self.listing() if n.startswith("out.exe.part")
                              and not os.path.islink(self.path(n))])

    def test_leftover_temporaries_are_no_release_files_and_go_with_the_next_run(self):
        # A killed hashlist left old/QEN.hvl.part, a killed extract
        # new/data/extra.arc.part: make leaves them out and names them.
        sep = "/" if NATIVE else "\\"
        self.releases()
        self.write("old/QEN.hvl.part", b"JXW_____\x03\0\0\0")
        self.write("new/data/extra.arc.part", b"half of the new file")
        r = self.run_tool("make", "old", "new", "--stub", "stub.bin", "-o", "patch.exe")
        self.assertEqual(0, r.code, r.out + r.err)
        self.assertIn("patchtool make: warning: old%sQEN.hvl.part, new%sdata%sextra.arc.part are "
                      "temporary files (*.part) that an interrupted patchtool left, not release "
                      "files: left out; the interrupted command removes its own when it runs "
                      "again, or remove them" % (sep, sep, sep), self.err(r))
        _, _, entries, _ = parse_patch(self.read("patch.exe"))
        self.assertEqual(["data\\extra.arc", "data\\movie.mpg", "data01.arc", "QEN.hvl"],
                         [name for name, _, _, _ in entries])

        # hashlist leaves it out too, and being the command that left it,
        # removes it; so does pack with its own.
        r = self.run_tool("hashlist", "old", "-o", "old/QEN.hvl", "--replace")
        self.assertEqual(0, r.code, r.out + r.err)
        self.assertIn("patchtool hashlist: warning: old%sQEN.hvl.part is a temporary file "
                      "(*.part)" % sep, self.err(r))
        self.assertNotIn("QEN.hvl.part", "\n".join(r.result_lines()))
        self.assertFalse(os.path.exists(self.path("old/QEN.hvl.part")))
        self.assertNotIn(b"QEN.hvl.part", self.read("old/QEN.hvl"))
        self.write("patch2.exe.part", STUB[:100])
        r = self.run_tool("pack", "--hash-list", "--stub", "stub.bin", "-o", "patch2.exe", "old/game.exe")
        self.assertEqual(0, r.code, r.out + r.err)
        self.assertEqual([], [n for n in self.listing() if n.startswith("patch2.exe.")])

    def split_releases(self, new_text):
        """OLD and a NEW of 16 changed files: two parts."""
        old = {"data/f%02d.arc" % i: b"old %d" % i for i in range(16)}
        self.write("stub.bin", STUB)
        self.write_release("old", old)
        self.write_release("new", {n: new_text + b" " + n.encode() for n in old}, listed=False)

    def parts(self, folder=""):
        return [self.read(folder + "velmora-%dof2.exe" % k) for k in (1, 2)]

    def assert_one_make(self, first, second):
        """The two parts are both the first make's or both the second's."""
        made = ["first" if part == first[k] else "second" if part == second[k] else "neither"
                for k, part in enumerate(self.parts())]
        self.assertIn(made, (["first", "first"], ["second", "second"]),
                      "parts 1 and 2 of the set: of the %s and the %s make" % tuple(made))
        return made[0]

    def test_split_is_replaced_as_a_set(self):
        make = ["make", "old", "new", "--stub", "stub.bin", "-o", "velmora.exe", "--split"]
        self.split_releases(b"first")
        r = self.run_tool(*make)
        self.assertEqual(0, r.code, r.out + r.err)
        first = self.parts()
        self.split_releases(b"second")
        os.mkdir(self.path("b"))
        r = self.run_tool(*(make[:-2] + ["b/velmora.exe", "--split"]))
        self.assertEqual(0, r.code, r.out + r.err)
        second = self.parts("b/")
        shutil.rmtree(self.path("b"))
        listing = self.listing()

        # An earlier part that cannot be replaced: held open by another
        # program (natively the layer's lock, as a running patchtool holds
        # it), read-only under Wine (where root writes them anyway).
        for k in (1, 2):
            with self.subTest(part=k):
                held = self.path("velmora-%dof2.exe" % k)
                if NATIVE:
                    fd = os.open(held, os.O_RDONLY)
                    fcntl.flock(fd, fcntl.LOCK_SH)
                else:
                    os.chmod(held, 0o444)
                try:
                    r = self.run_tool(*make)
                finally:
                    if NATIVE:
                        os.close(fd)
                    else:
                        os.chmod(held, 0o644)
                self.assertEqual(1, r.code, r.out + r.err)
                self.assertIn("cannot replace velmora-%dof2.exe: " % k,
                              self.assert_error_line(r, "make"))
                self.assertEqual("first", self.assert_one_make(first, second))
                self.assertEqual(listing, self.listing())

        # Interrupted wherever the outputs stop before they take their
        # place: the set is the first make's or the second's, never half.
        signals = (signal.SIGINT, signal.SIGTERM) if NATIVE else (signal.SIGINT,)
        for stop in (1, 2):
            for sig in signals:
                with self.subTest(stop=stop, signal=sig):
                    r, stops = self.run_stopping_at_gates(make, "PATCHTOOL_TEST_GATE", stop, sig)
                    if stops >= stop:
                        self.assert_interrupted(r, "make", sig)
                    else:
                        self.assertEqual(0, r.code, r.out + r.err)
                    made = self.assert_one_make(first, second)
                    self.assertEqual(listing, self.listing())
                    if made == "second":  # for the next case
                        for k, data in ((1, first[0]), (2, first[1])):
                            self.write("velmora-%dof2.exe" % k, data)

        # Interrupted as the set takes its place: the second make's set is
        # whole, and reported done.
        for sig in signals:
            with self.subTest(at="commit", signal=sig):
                r, stops = self.run_stopping_at_gates(make, "PATCHTOOL_TEST_COMMIT_GATE", 1, sig)
                self.assertEqual(1, stops)
                self.assertEqual(0, r.code, r.out + r.err)
                self.assertIn("players run the 2 parts in order, from velmora-1of2.exe to "
                              "velmora-2of2.exe", r.result_lines())
                self.assertIn("patchtool make: warning: interrupted after its work was done: what "
                              "it wrote is in place and whole, as reported", self.err(r))
                self.assertEqual("second", self.assert_one_make(first, second))
                self.assertEqual(listing, self.listing())
                for k, data in ((1, first[0]), (2, first[1])):
                    self.write("velmora-%dof2.exe" % k, data)

    def test_verify_names_parts_of_two_different_makes(self):
        for folder, text in (("a", b"first"), ("b", b"second")):
            self.split_releases(text)
            os.mkdir(self.path(folder))
            r = self.run_tool("make", "old", "new", "--stub", "stub.bin", "-o",
                              folder + "/velmora.exe", "--split")
            self.assertEqual(0, r.code, r.out + r.err)
        for k in (1, 2):
            r = self.run_tool("verify", "a/velmora-%dof2.exe" % k)
            self.assertEqual(0, r.code, r.out + r.err)
            self.assertIn("set: part %d of 2 (a/velmora-1of2.exe to a/velmora-2of2.exe); each "
                          "part's list follows from the one before" % k, r.result_lines())
        shutil.copy(self.path("b/velmora-1of2.exe"), self.path("a/velmora-1of2.exe"))
        for k in (1, 2):
            with self.subTest(verified=k):
                r = self.run_tool("verify", "a/velmora-%dof2.exe" % k)
                self.assertEqual(1, r.code, r.out + r.err)
                self.assertIn("patchtool verify: a/velmora-%dof2.exe: fails: a/velmora-2of2.exe "
                              "does not follow from a/velmora-1of2.exe: the sum of "
                              "data\\f00.arc (record 1) differs from the one before, though the "
                              "part carries no such file; they are parts of two different makes"
                              % k, self.assert_error_line(r, "verify"))
        os.remove(self.path("a/velmora-1of2.exe"))
        r = self.run_tool("verify", "a/velmora-2of2.exe")
        self.assertEqual(1, r.code, r.out + r.err)
        self.assertIn("a/velmora-1of2.exe is missing: players need every part of the set, in "
                      "order", self.assert_error_line(r, "verify"))

    def test_an_interruption_at_the_commit_reports_the_output_done(self):
        # The output is in place: the command reports it done, and a second
        # sign would find the patch signed already.
        env = self.stand_in_engine()
        self.make_pe_patch()
        self.keys()
        self.releases()
        self.write("qen.hvl", b"the old list")
        cases = [
            (["pack", "--hash-list", "--stub", "stub.bin", "-o", "patch2.exe", "old/game.exe"], "patch2.exe",
             "patch2.exe: 2 entries"),
            (["hashlist", "--replace", "-o", "qen.hvl", "old/game.exe"], "qen.hvl",
             "release check: passes"),
            (["make", "old", "new", "--stub", "stub.bin", "-o", "patch3.exe"], "patch3.exe",
             "patch3.exe: 4 entries; verified: passes"),
            (["sign", "patch.exe", "--cert", "keys/cert.pem", "--key", "keys/key.pem"],
             "patch.exe", "patch.exe: signed;"),
        ]
        signals = (signal.SIGINT, signal.SIGTERM) if NATIVE else (signal.SIGINT,)
        for args, output, report in cases:
            for sig in signals:
                with self.subTest(command=args[0], signal=sig):
                    r, stops = self.run_stopping_at_gates(
                        args, "PATCHTOOL_TEST_COMMIT_GATE", 1, sig,
                        env=dict(env, FAKE_MODE="appends a table"))
                    self.assertEqual(1, stops, r.out + r.err)
                    self.assertEqual(0, r.code, r.out + r.err)
                    self.assertTrue(any(l.startswith(report) for l in r.result_lines()), r.out)
                    self.assertIn("patchtool %s: warning: interrupted after its work was done"
                                  % args[0], self.err(r))
                    self.assertEqual([], [n for n in self.listing() if ".part" in n])
                    if args[0] == "sign":
                        again = self.run_tool(*args, env=env)
                        self.assertIn("patch.exe is signed already",
                                      self.assert_error_line(again, "sign"))
                        self.make_pe_patch()

    # -- messages in patchtool's terms --------------------------------------------

    def test_a_patch_given_as_the_stub_is_named_as_such(self):
        self.make_patch()
        self.releases()
        for args in (["pack", "--stub", "patch.exe", "-o", "p2.exe", "src/b.arc"],
                     ["make", "old", "new", "--stub", "patch.exe", "-o", "p2.exe"]):
            with self.subTest(command=args[0]):
                before = self.files_here()
                r = self.run_tool(*args)
                self.assertEqual(1, r.code, r.out + r.err)
                self.assertIn("the stub patch.exe is a patch, not the bare updater: an updater "
                              "followed by a package of 4 entries; give the updater itself "
                              "(build/win32/updater.exe)", self.assert_error_line(r, args[0]))
                self.assertEqual(before, self.files_here())

    def test_sign_says_what_failed_in_patchtool_terms(self):
        env = self.stand_in_engine()
        self.make_pe_patch()
        self.keys()
        before = self.files_here()
        before.pop("engine-args.txt", None)
        r = self.run_tool("sign", "patch.exe", "--cert", "keys/cert.pem", "--key", "keys/key.pem",
                          "--timestamp", "http://127.0.0.1:9/",
                          env=dict(env, FAKE_MODE="timestamp fails"))
        self.assertEqual(1, r.code, r.out + r.err)
        self.assertEqual("patchtool sign: the time-stamp server http://127.0.0.1:9/ gave no time "
                         "stamp (Failed to get data from http://127.0.0.1:9/): check the URL "
                         "(your CA's RFC 3161 server) and the network, or give another "
                         "--timestamp URL (nothing written; patch.exe left as it was)",
                         self.assert_error_line(r, "sign"))
        after = self.files_here()
        after.pop("engine-args.txt", None)
        self.assertEqual(before, after)

    def test_signing_onto_a_full_disk_says_so(self):
        if os.geteuid() != 0 or not shutil.which("mount"):
            self.skipTest("mounting a small volume needs root")
        volume = self.path("small")
        os.mkdir(volume)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", volume]).returncode:
            self.skipTest("cannot mount a tmpfs here")
        self.addCleanup(subprocess.run, ["umount", volume])
        env = None if NATIVE and OSSLSIGNCODE else self.stand_in_engine()
        self.make_files()
        self.write("src/big.arc", os.urandom(3 << 19))
        self.write("updater.exe", PE_STUB)
        r = self.run_tool("pack", "--hash-list", "--stub", "updater.exe", "-o", "patch.exe",
                          "src/big.arc")
        self.assertEqual(0, r.code, r.out + r.err)
        self.keys()
        r = self.run_tool("sign", "patch.exe", "--cert", "keys/cert.pem", "--key", "keys/key.pem",
                          "-o", "small/signed-patch.exe", env=env)
        self.assertEqual(1, r.code, r.out + r.err)
        error = self.assert_error_line(r, "sign")
        self.assertNotIn("Unable to modify file header", error)
        needed = len(self.read("patch.exe")) + (1 << 20)
        self.assertRegex(error, r"^patchtool sign: the disk is full: the signed copy of "
                                r"patch\.exe needs about %d bytes beside small/signed-patch\.exe, "
                                r"and \d+ are free there; free some space, or write the signed "
                                r"patch to another disk with -o OUT \(nothing written; patch\.exe "
                                r"left as it was\)$" % needed)
        self.assertEqual([], os.listdir(volume))

    def run_on_terminal(self, args):
        """Runs the program with stderr on a terminal of its own; returns
        what the terminal showed, the exit status and stdout."""
        master, slave = os.openpty()
        try:
            proc = subprocess.run(COMMAND + args, cwd=self.dir, stdout=subprocess.PIPE,
                                  stderr=slave, timeout=120)
            os.close(slave)
            slave = None
            shown = b""
            while True:
                try:
                    chunk = os.read(master, 65536)
                except OSError:
                    break
                if not chunk:
                    break
                shown += chunk
        finally:
            os.close(master)
            if slave is not None:
                os.close(slave)
        self.checked(Result(proc.returncode, normalize(proc.stdout), normalize(shown)), args)
        return shown, proc.returncode, proc.stdout

def main():
    global COMMAND, MERGED, NATIVE, ENGINE_STAND_IN
    args = sys.argv[1:]
    rest = []
    if "--" in args:
        at = args.index("--")
        args, rest = args[:at], args[at + 1:]
    if args and args[0] == "--merged-output":
        MERGED = True
        args = args[1:]
    if args and args[0].startswith("--engine-stand-in="):
        ENGINE_STAND_IN = os.path.abspath(args[0].split("=", 1)[1])
        args = args[1:]
    if not args:
        sys.exit(__doc__)
    COMMAND = [os.path.abspath(a) if os.path.exists(a) else a for a in args]
    NATIVE = len(COMMAND) == 1
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
