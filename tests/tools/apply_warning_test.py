"""patchtool apply where the folder cannot be synced after a file took its
place (fail_folder_sync.c, preloaded): the update is done, and each such
file gets a warning on stderr.

    apply_warning_test.py PATCHTOOL SHIM
"""
import os
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from package_bytes import content_sum, hash_list  # noqa: E402

PATCHTOOL = SHIM = None


def package(entries):
    """A patch: 65536 bytes of stub, then the header, the directory and the
    data of (name, bytes) entries, back to back."""
    out = bytes(65536) + b"PackFile    " + struct.pack("<I", len(entries))
    offset = 0
    for name, data in entries:
        out += name.encode().ljust(16, b"\0") + struct.pack("<II", offset, len(data)) + bytes(8)
        offset += len(data)
    return out + b"".join(data for _, data in entries)


class ApplyWarningTest(unittest.TestCase):
    def test_unsynced_folder_is_a_warning(self):
        with tempfile.TemporaryDirectory() as d:
            with open(os.path.join(d, "patch.exe"), "wb") as f:
                # The updater verifies every entry, so a patch carries its list.
                f.write(package([("qen.hvl", hash_list([("a.dat", content_sum(b"new a"))])),
                                 ("a.dat", b"new a")]))
            game = os.path.join(d, "game")
            os.mkdir(game)
            with open(os.path.join(game, "uninst.lst"), "wb") as f:
                f.write(b"game.exe\n\0")
            env = dict(os.environ, LD_PRELOAD=SHIM, LC_ALL="C")
            proc = subprocess.run([PATCHTOOL, "apply", "patch.exe", "game"], cwd=d, env=env,
                                  stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
            out, err = proc.stdout.decode(), proc.stderr.decode()
            self.assertEqual(0, proc.returncode, out + err)
            self.assertTrue(out.startswith("UPD_OK 0x00000000"), out)
            warnings = err.splitlines()
            self.assertEqual(3, len(warnings), err)
            for line, name, done in zip(warnings, ["qen.hvl", "a.dat", "uninst.lst"],
                                        ["is in place", "is in place", "is updated"]):
                self.assertRegex(line, r"^patchtool apply: warning: game/%s %s, but the system "
                                 r"could not put its folder on the disk: \S.*; after a power cut "
                                 r"it may be the old file$" % (name.replace(".", r"\."), done))
            with open(os.path.join(game, "a.dat"), "rb") as f:
                self.assertEqual(b"new a", f.read())
            with open(os.path.join(game, "uninst.lst"), "rb") as f:
                self.assertEqual(b"game.exe\nqen.hvl\na.dat\n\0", f.read())


if __name__ == "__main__":
    PATCHTOOL, SHIM = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1])
