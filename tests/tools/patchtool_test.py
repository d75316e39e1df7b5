#!/usr/bin/env python3
"""Tests of the patchtool program as a publisher runs it.

Usage: patchtool_test.py [--merged-output] [PREFIX...] PATCHTOOL [-- UNITTEST-ARGS]

PREFIX is a command that runs PATCHTOOL (cmake/wine-run.sh for the Windows
build). --merged-output says that the prefix hands back stdout and stderr as
one stream, as wine-run.sh does; the checks then look at that stream.

Each test works in a fresh temporary folder, which is also the program's
current folder, so that every path given to it is relative and means the
same under Wine. Patches are checked byte for byte against the layout
decoded here, not only through the program's own list command.
"""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

COMMAND = []       # prefix and program
MERGED = False     # stdout and stderr come back as one stream
NATIVE = True      # the program runs directly (no prefix)

PACKAGE_OFFSET = 65536
STUB = bytes(range(256)) * 4  # any small file serves as the updater stub


def content_sum(data):
    """The 8 stored bytes of the content checksum of data."""
    mix = mix_sum = mix_xor = byte_sum = byte_xor = 0
    for b in data:
        mix = (mix * 233 + b) & 0xFFFFFFFF
        mix_sum = (mix_sum + (mix & 0xFF)) & 0xFF
        mix_xor ^= mix & 0xFF
        byte_sum = (byte_sum + b) & 0xFF
        byte_xor ^= b
    return struct.pack("<IBBBB", mix, mix_sum, mix_xor, byte_sum, byte_xor)


def hash_list(records, magic=b"JXW_____"):
    """Hash-list bytes for (name, sum) pairs."""
    out = magic + struct.pack("<II", 0, len(records))
    for name, digest in records:
        out += name.encode().ljust(56, b"\0") + digest
    return out


def parse_patch(data):
    """(stub area, [(name, offset, size, data)]) decoded from a patch."""
    header = data[PACKAGE_OFFSET:PACKAGE_OFFSET + 16]
    count = struct.unpack_from("<I", header, 12)[0]
    base = PACKAGE_OFFSET + 16 + 32 * count
    entries = []
    for i in range(count):
        record = data[PACKAGE_OFFSET + 16 + 32 * i:PACKAGE_OFFSET + 48 + 32 * i]
        name = record[:16].split(b"\0")[0].decode()
        offset, size = struct.unpack_from("<II", record, 16)
        entries.append((name, offset, size, data[base + offset:base + offset + size]))
    return data[:PACKAGE_OFFSET], header[:12], entries, base


class Result:
    def __init__(self, code, out, err):
        self.code = code
        self.out = out
        self.err = err

    def lines(self):
        return self.out.splitlines()


def normalize(raw):
    return raw.decode("utf-8", "replace").replace("\r\n", "\n")


class PatchtoolTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="patchtool.")
        self.addCleanup(shutil.rmtree, self.dir, True)

    # -- helpers ------------------------------------------------------------

    def run_tool(self, *args):
        proc = subprocess.run(COMMAND + list(args), cwd=self.dir, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)
        return Result(proc.returncode, normalize(proc.stdout), normalize(proc.stderr))

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

    def assert_error_line(self, result, command):
        """Exactly one line on stderr, naming the command."""
        stream = result.out if MERGED else result.err
        errors = [l for l in stream.splitlines() if l.startswith("patchtool")]
        self.assertEqual(1, len(errors), stream)
        self.assertTrue(errors[0].startswith("patchtool %s: " % command) if command
                        else errors[0].startswith("patchtool: "), errors[0])
        if not MERGED:
            self.assertEqual(1, len(result.err.splitlines()), result.err)
        return errors[0]

    def make_files(self):
        self.write("stub.bin", STUB)
        files = {"Data01.arc": os.urandom(3000), "b.arc": os.urandom(70000), "empty.dat": b""}
        for name, data in files.items():
            self.write("src/" + name, data)
        return files

    # -- help -----------------------------------------------------------------

    def test_help_of_the_tool_and_of_every_command(self):
        commands = ["sum", "hashlist", "pack", "list", "apply", "verify"]
        top = self.run_tool("--help")
        self.assertEqual(0, top.code)
        for command in commands:
            self.assertRegex(top.out, r"\n  %s +\S" % command)
        for command in commands:
            with self.subTest(command=command):
                r = self.run_tool(command, "--help")
                self.assertEqual(0, r.code, r.err)
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
                 (["pack", "--stub"], "pack"), (["pack", "--hash-list=yes"], "pack")]
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
                   ("b.arc", content_sum(b"not b"))]
        self.write("qen.hvl", hash_list(records))
        r = self.run_tool("pack", "--stub", "stub.bin", "-o", "patch.exe",
                          "src/Data01.arc", "src/b.arc", "src/empty.dat", "qen.hvl")
        self.assertEqual(0, r.code, r.err + r.out)

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
        self.assertEqual(0, r.code, r.err)
        lines = r.lines()
        self.assertEqual("patch.exe: 4 entries, data base %d" % base, lines[0])
        self.assertEqual("hash list: qen.hvl (entry 3), 2 records", lines[1])
        rows = [l.split(None, 4) for l in lines[3:]]
        self.assertEqual([["0", "0", "3000", "matches", "Data01.arc"],
                          ["1", "3000", "70000", "differs", "b.arc"],
                          ["2", "73000", "0", "not", "listed  empty.dat"],
                          ["3", "73000", "144", "not", "listed  qen.hvl"]], rows)

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
        self.assertEqual(0, r.code, r.err)
        self.assertEqual(["matches", "matches", "not listed"],
                         [l.split(None, 3)[3].rsplit("  ", 1)[0].strip()
                          for l in r.lines()[3:]])

    def test_pack_replaces_an_existing_output(self):
        self.make_files()
        self.write("patch.exe", os.urandom(200000))
        r = self.run_tool("pack", "--stub", "stub.bin", "-o", "patch.exe", "src/b.arc")
        self.assertEqual(0, r.code, r.err)
        _, _, entries, base = parse_patch(self.read("patch.exe"))
        self.assertEqual(base + 70000, len(self.read("patch.exe")))
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
        self.write("a/Game.EXE", b"abc")
        self.write("b/readme.txt", b"")
        r = self.run_tool("hashlist", "-o", "qen.hvl", "a/Game.EXE", "b/readme.txt")
        self.assertEqual(0, r.code, r.err)
        self.assertEqual(hash_list([("Game.EXE", bytes.fromhex("06b4500012cc2660")),
                                    ("readme.txt", bytes(8))]), self.read("qen.hvl"))
        self.assertEqual(["06b4500012cc2660  Game.EXE  added",
                          "0000000000000000  readme.txt  added"], r.lines())

    def test_hashlist_with_base_keeps_order_and_stored_names(self):
        keep = bytes.fromhex("1111111111111111")
        stale = bytes.fromhex("2222222222222222")
        old = hash_list([("Game.EXE", keep), ("DATA01.ARC", stale), ("readme.txt", keep),
                         ("data01.arc", stale)])
        self.write("qen.hvl", old)
        new_data = os.urandom(5000)
        self.write("new/data01.arc", new_data)
        self.write("new/Movie.mpg", b"movie")
        r = self.run_tool("hashlist", "--base", "qen.hvl", "-o", "qen.hvl",
                          "new/data01.arc", "new/Movie.mpg")
        self.assertEqual(0, r.code, r.err)
        fresh = content_sum(new_data)
        self.assertEqual(hash_list([("Game.EXE", keep), ("DATA01.ARC", fresh),
                                    ("readme.txt", keep), ("data01.arc", fresh),
                                    ("Movie.mpg", content_sum(b"movie"))]),
                         self.read("qen.hvl"))
        self.assertEqual(["%s  data01.arc  replaced (2 records)" % fresh.hex(),
                          "%s  Movie.mpg  added" % content_sum(b"movie").hex()], r.lines())
        self.assertEqual(["new", os.path.join("new", "Movie.mpg"),
                          os.path.join("new", "data01.arc"), "qen.hvl"], self.listing())

    # -- verify, list of a damaged patch, apply -----------------------------------

    def make_patch(self):
        files = self.make_files()
        r = self.run_tool("pack", "--hash-list", "--stub", "stub.bin", "-o", "patch.exe",
                          "src/Data01.arc", "src/b.arc", "src/empty.dat")
        self.assertEqual(0, r.code, r.err)
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
        self.assertEqual(0, r.code, r.err)
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

        self.damage(10, 1)
        self.install_folder("game2")
        r = self.run_tool("apply", "patch.exe", "game2")
        self.assertEqual(13, r.code)
        self.assertEqual(1, len(r.lines()), r.out)
        self.assertTrue(r.out.startswith("UPD_E_CHECKSUM 0x80000003 A listed entry"), r.out)
        self.assertEqual(["Data01.arc", "uninst.lst"], sorted(os.listdir(self.path("game2"))))
        self.assertEqual(b"game.exe\n\0", self.read("game2/uninst.lst"))

    def test_apply_failures_have_their_own_exit_status(self):
        self.make_patch()
        self.install_folder("nolist", listed=None)
        self.write("short.exe", STUB)
        cases = [("patch.exe", "nolist", 15, "UPD_E_UNINSTALL_LIST 0x80000005 "),
                 ("short.exe", "nolist", 11, "UPD_E_PACKAGE 0x80000001 "),
                 ("patch.exe", "missing", 14, "UPD_E_WRITE 0x80000004 ")]
        for patch, folder, code, line in cases:
            with self.subTest(line=line):
                r = self.run_tool("apply", patch, folder)
                self.assertEqual(code, r.code, r.out)
                self.assertEqual(1, len(r.lines()), r.out)
                self.assertTrue(r.out.startswith(line), r.out)

    def test_apply_shows_progress_only_on_a_terminal(self):
        if not NATIVE or not hasattr(os, "openpty"):
            self.skipTest("needs a terminal that the program itself sees")
        self.make_patch()
        self.install_folder("game")
        master, slave = os.openpty()
        try:
            proc = subprocess.run(COMMAND + ["apply", "patch.exe", "game"], cwd=self.dir,
                                  stdout=subprocess.PIPE, stderr=slave, timeout=60)
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
        self.assertEqual(0, proc.returncode)
        self.assertIn(b"[2/4] b.arc", shown)
        self.assertIn(b"100%", shown)
        self.assertTrue(proc.stdout.startswith(b"UPD_OK "), proc.stdout)
        # Through a pipe, nothing but the result line.
        self.install_folder("game2")
        r = self.run_tool("apply", "patch.exe", "game2")
        self.assertEqual("", r.err)


def main():
    global COMMAND, MERGED, NATIVE
    args = sys.argv[1:]
    rest = []
    if "--" in args:
        at = args.index("--")
        args, rest = args[:at], args[at + 1:]
    if args and args[0] == "--merged-output":
        MERGED = True
        args = args[1:]
    if not args:
        sys.exit(__doc__)
    COMMAND = [os.path.abspath(a) if os.path.exists(a) else a for a in args]
    NATIVE = len(COMMAND) == 1
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
