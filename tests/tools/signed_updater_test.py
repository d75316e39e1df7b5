#!/usr/bin/env python3
"""A signed patch runs under Wine exactly as the unsigned one does.

Usage: signed_updater_test.py WINE_RUN UPDATER PATCHTOOL E2E_TESTS PROBE

WINE_RUN is the Windows build's wine-run; the others are that build's updater,
patchtool.exe, the real-run test program and its probe DLL. Each scenario
packs a patch with patchtool.exe, signs a copy with osslsigncode and a
throwaway certificate (osslsigncode is a Linux program, which a Windows
program under Wine cannot run and wait for), checks that the signature
verifies, and then runs both patches on fresh installations through the
box driver's demo mode (e2e_tests --demo, answering Yes and OK): the boxes
(caption, text, buttons, icon), the exit code, the files of the install
folder and its uninstall list must be the same.
"""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

from package_bytes import content_sum, hash_list
from wine_reruns import WineRerunning

WINE_RUN = UPDATER = PATCHTOOL = E2E_TESTS = PROBE = None


def twin_stub_option():
    """pack takes the x86-64 test twin of the updater (the win64 build's)
    only when told."""
    with open(UPDATER, "rb") as f:
        head = f.read(4096)
    pe = struct.unpack_from("<I", head, 0x3C)[0]
    machine = struct.unpack_from("<H", head, pe + 4)[0]
    return ["--test-twin-stub"] if machine == 0x8664 else []
GAME_KEY = "HKLM\\Software\\Quillory\\ミロセナ"
OLD_LIST = b"game.exe\ndata1.arc\nuninst.lst\n\0"


def winpath(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class SignedUpdaterTest(WineRerunning):
    # A case that Wine itself fails runs once more (wine_reruns.py).
    SUITE = "signed_updater"

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="signed-updater.")
        cls.env = dict(os.environ,
                       WINE_PREFIX_DIR=os.path.join(os.path.dirname(E2E_TESTS), "wineprefix"))
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30",
                        "-subj", "/CN=Velmora Test Publisher",
                        "-addext", "extendedKeyUsage=codeSigning",
                        "-keyout", "key.pem", "-out", "cert.pem"],
                       cwd=cls.dir, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    @classmethod
    def tearDownClass(cls):
        cls.wine("reg", "delete", "HKLM\\Software\\Quillory", "/reg:32", "/f")
        shutil.rmtree(cls.dir, True)

    @classmethod
    def wine(cls, *args):
        return subprocess.run([WINE_RUN] + list(args), env=cls.env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)

    def run_wine(self, *args):
        """A run under Wine within a case: the case fails, and runs once
        more, where Wine itself failed."""
        r = self.wine(*args)
        self.note_wine_failure(r.stdout.decode("utf-8", "replace"),
                               "%s, exit status %d" % (" ".join(os.path.basename(a) for a in args[:2]),
                                                       r.returncode))
        return r

    def path(self, *names):
        return os.path.join(self.dir, *names)

    def write(self, path, data):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()

    def pack_and_sign(self, scenario, files, force=False):
        """Packs files (name -> data, in order) into an unsigned and a
        signed patch; returns both paths. force packs files that differ
        from their hash-list record."""
        folder = self.path(scenario)
        for name, data in files:
            self.write(os.path.join(folder, "files", name), data)
        unsigned = os.path.join(folder, "velmora_patch.exe")
        signed = os.path.join(folder, "velmora_patch_signed.exe")
        extra = [] if any(n.lower() == "qen.hvl" for n, _ in files) else ["--hash-list"]
        extra += twin_stub_option() + (["--force"] if force else [])
        r = self.run_wine(PATCHTOOL, "pack", "--stub", winpath(UPDATER), "-o", winpath(unsigned),
                      *extra, *[winpath(os.path.join(folder, "files", n)) for n, _ in files])
        self.assertEqual(0, r.returncode, r.stdout)
        r = subprocess.run(["osslsigncode", "sign", "-certs", "cert.pem", "-key", "key.pem",
                            "-in", unsigned, "-out", signed], cwd=self.dir,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.assertEqual(0, r.returncode, r.stdout)
        r = subprocess.run(["osslsigncode", "verify", "-in", signed, "-CAfile", "cert.pem"],
                           cwd=self.dir, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.assertEqual(0, r.returncode, r.stdout)
        self.assertGreater(len(self.read(signed)), len(self.read(unsigned)))
        return unsigned, signed

    def run_patch(self, patch, install_parent):
        """Runs patch on a fresh installation; returns the box report and the
        install folder's files."""
        install = os.path.join(install_parent, "ミロセナ")
        self.write(os.path.join(install, "game.exe"), b"the game")
        self.write(os.path.join(install, "data1.arc"), b"old archive 1")
        self.write(os.path.join(install, "uninst.lst"), OLD_LIST)
        r = self.run_wine("reg", "add", GAME_KEY, "/v", "InstalledFolder", "/t", "REG_SZ",
                      "/d", winpath(install), "/reg:32", "/f")
        self.assertEqual(0, r.returncode, r.stdout)
        report = os.path.join(install_parent, "boxes.txt")
        r = self.run_wine(E2E_TESTS, "--demo", winpath(patch), winpath(report),
                      "--probe=" + winpath(PROBE), "--answer=yes")
        boxes = self.read(report).decode("utf-8") if os.path.exists(report) else ""
        self.assertEqual(0, r.returncode, r.stdout.decode("utf-8", "replace") + boxes)
        files = {n: self.read(os.path.join(install, n)) for n in sorted(os.listdir(install))}
        return boxes, files

    def compare(self, scenario, files, exit_line, last_text, written, force=False):
        unsigned, signed = self.pack_and_sign(scenario, files, force)
        plain_boxes, plain_files = self.run_patch(unsigned, self.path(scenario, "game"))
        signed_boxes, signed_files = self.run_patch(signed, self.path(scenario, "game-signed"))
        self.assertEqual(plain_boxes, signed_boxes)
        self.assertEqual(plain_files, signed_files)
        # And the outcome is the one the scenario is about.
        lines = plain_boxes.splitlines()
        self.assertEqual(exit_line, lines[-1], plain_boxes)
        self.assertEqual("  text:    アップデートを行いますか？", lines[2], plain_boxes)
        self.assertEqual("  text:    " + last_text, lines[-4], plain_boxes)
        for name, data in files:
            if name in written:
                self.assertEqual(data, plain_files[name], name)
        return plain_files

    def test_full_update(self):
        files = [("data1.arc", os.urandom(20000)), ("data2.arc", os.urandom(50000)),
                 ("readme.txt", "ミロセナ 修正パッチ\r\n".encode("cp932"))]
        after = self.compare("complete", files, "exit code: 0 (0x00000000)",
                             "アップデートが完了しました", {"data1.arc", "data2.arc", "readme.txt"})
        self.assertEqual(OLD_LIST[:-1] + b"data2.arc\nreadme.txt\nQEN.hvl\n\0",
                         after["uninst.lst"])

    def test_checksum_failure(self):
        data1, data2 = os.urandom(20000), os.urandom(50000)
        files = [("data1.arc", data1), ("data2.arc", data2),
                 ("qen.hvl", hash_list([("data1.arc", content_sum(data1)),
                                        ("data2.arc", content_sum(b"other"))]))]
        after = self.compare("damaged", files, "exit code: -2147483645 (0x80000003)",
                             "アップデートプログラムが破損している可能性があります",
                             set(), force=True)
        # Every entry is verified before the first is written: nothing changed.
        self.assertEqual(b"old archive 1", after["data1.arc"])
        self.assertEqual(OLD_LIST, after["uninst.lst"])
        self.assertEqual(["data1.arc", "game.exe", "uninst.lst"], sorted(after))


def main():
    global WINE_RUN, UPDATER, PATCHTOOL, E2E_TESTS, PROBE
    if len(sys.argv) < 6:
        sys.exit(__doc__)
    WINE_RUN, UPDATER, PATCHTOOL, E2E_TESTS, PROBE = (os.path.abspath(a) for a in sys.argv[1:6])
    unittest.main(argv=[sys.argv[0]] + sys.argv[6:], verbosity=2)


if __name__ == "__main__":
    main()
