#!/usr/bin/env python3
"""Writes the fuzz targets' seed inputs (run again after changing it)."""
import os
import struct
import sys
import unicodedata

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "tools"))
from package_bytes import content_sum, hash_list  # noqa: E402


def listed(records, magic=b"JXW_____"):
    """A hash list of (name, data) pairs with the data's checksums."""
    return hash_list([(name, content_sum(data)) for name, data in records], magic)


def package_tail(entries):
    """Header, directory and data: the bytes from offset 65536 on."""
    out = b"PackFile    " + struct.pack("<I", len(entries))
    offset = 0
    for name, data in entries:
        out += name.ljust(16, b"\0") + struct.pack("<II", offset, len(data)) + bytes(8)
        offset += len(data)
    return out + b"".join(data for _, data in entries)


def write(target, name, data):
    folder = os.path.join(here, "seeds", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


a, b = b"first archive", bytes(range(256)) * 3
full = [(b"data1.arc", a), (b"data2.arc", b)]
full.append((b"QEN.hvl", listed([(b"Data1.ARC", a), (b"data2.arc", b), (b"game.exe", b"x")])))
write("fuzz_package", "three_entries", package_tail(full))
write("fuzz_package", "no_entries", package_tail([]))
write("fuzz_package", "sub_folder", package_tail([(b"sub\\a.dat", b"a"), (b"empty.dat", b"")]))
write("fuzz_package", "mismatch", package_tail([(b"qen.hvl", listed([(b"a.dat", b"a")])),
                                                (b"a.dat", b"b")]))

# The toolkit's list, verify, extract and check: the same packages, and ones
# that the updater or extract refuses.
write("fuzz_patch_tools", "three_entries", package_tail(full))
write("fuzz_patch_tools", "sub_folder", package_tail(
    [(b"sub\\a.dat", b"a"), (b"QEN.hvl", listed([(b"SUB\\A.DAT", b"a"), (b"x.dat", b"")]))]))
write("fuzz_patch_tools", "refused_names", package_tail(
    [(b"con.arc", b"c"), (b"readme.txt.", b"r"), (b"ok.arc", b"o")]))
write("fuzz_patch_tools", "one_file_twice", package_tail([(b"a.arc", b"1"), (b"A.ARC", b"2")]))
write("fuzz_patch_tools", "one_file_twice_full_width", package_tail(
    [("\uff21\uff22\uff23.txt".encode("cp932"), b"1"), ("\uff41\uff42\uff43.txt".encode("cp932"), b"2")]))
write("fuzz_patch_tools", "mismatch", package_tail([(b"qen.hvl", listed([(b"a.dat", b"a")])),
                                                    (b"a.dat", b"b")]))

# Two parts of a split: part 1 as bytes, then part 2 as bytes (even mode)
# or built from part 1 by the rule (odd mode, the rest choosing its files).
old_list = [(b"a.arc", b"a 0"), (b"x.arc", b"x 0")]
part1_list = [(b"a.arc", b"a 1"), (b"x.arc", b"x 0"), (b"b.arc", b"b 1")]
part1 = package_tail([(b"a.arc", b"a 1"), (b"b.arc", b"b 1"), (b"qen.hvl", listed(part1_list))])
part2 = package_tail([(b"X.ARC", b"x 2"), (b"c.arc", b"c 2"),
                      (b"qen.hvl", listed([(b"a.arc", b"a 1"), (b"x.arc", b"x 2"),
                                           (b"b.arc", b"b 1"), (b"c.arc", b"c 2")]))])
other2 = package_tail([(b"x.arc", b"x 2"),
                       (b"qen.hvl", listed([(b"a.arc", b"a 9"), (b"x.arc", b"x 2"),
                                            (b"b.arc", b"b 1")]))])


def two_parts(mode, first, rest):
    return bytes([mode]) + struct.pack("<H", len(first)) + first + rest


write("fuzz_part_set", "following", two_parts(0, part1, part2))
write("fuzz_part_set", "another_make", two_parts(0, part1, other2))
write("fuzz_part_set", "built", two_parts(1, part1, b"\x01\x11\x90\x22\x02\x33"))
write("fuzz_part_set", "built_no_list", two_parts(1, package_tail([(b"a.arc", b"a")]), b"\x01\x02"))

write("fuzz_hash_list", "two_records", listed([(b"Data.arc", b"abc"), (b"other.dat", b"x")]))
write("fuzz_hash_list", "duplicate", listed([(b"data.arc", b"abd"), (b"DATA.arc", b"abc")]))
write("fuzz_hash_list", "empty", listed([]))
write("fuzz_hash_list", "bad_magic", listed([(b"data.arc", b"abc")], b"JXW____."))

write("fuzz_uninstall_list", "plain", b"b.dat\nc.dat\na.dat\ndata.dat\n\0\x03")
write("fuzz_uninstall_list", "crlf_no_nul", b"x.dat\ny.dat\r\ngame.exe\r\nx.dat\x02")
write("fuzz_uninstall_list", "embedded_nul", b"n\nnew\na\n\0tail\0\x01")

for name, text in [("plain", b"data\\sc00.arc"), ("japanese", "\u30de\u30c3\u30d7.arc".encode("cp932")),
                   ("utf8", "\u30de\u30c3\u30d7.arc".encode("utf-8")), ("device", b"con.arc"),
                   ("trailing_dot", b"readme.txt."), ("trail_5c", "\u30bd".encode("cp932")),
                   ("ibm_duplicate", b"\xfa\x54"),
                   # Two names after one another: one file on Windows.
                   ("twins_utf8", "\uff21\uff22\uff23.txt\0\uff41\uff42\uff43.txt".encode("utf-8")),
                   ("twins_cp932", "\u0416.txt\0\u0436.TXT".encode("cp932")),
                   # Names as macOS writes them: kana and accents decomposed.
                   ("decomposed", unicodedata.normalize("NFD", "\u30ac\u30a4\u30c9.txt").encode()),
                   ("decomposed_latin", unicodedata.normalize("NFD", "Jos\u00e9").encode())]:
    write("fuzz_stored_name", name, text)

# The judge and the release check: two bytes of the package's length, the
# package from offset 65536 on, then the install's own hash list.


def judged(entries, installed):
    tail = package_tail(entries)
    return struct.pack("<H", len(tail)) + tail + installed


v100 = [(b"a.arc", b"a 1.00"), (b"b.arc", b"b 1.00"), (b"c.arc", b"c 1.00")]
v101 = [(b"a.arc", b"a 1.01"), (b"b.arc", b"b 1.00"), (b"c.arc", b"c 1.00")]
v102 = [(b"a.arc", b"a 1.01"), (b"b.arc", b"b 1.02"), (b"c.arc", b"c 1.00")]
write("fuzz_judge", "in_order", judged([v101[0], (b"QEN.hvl", listed(v101))], listed(v100)))
write("fuzz_judge", "skipped_release", judged([v102[1], (b"QEN.hvl", listed(v102))], listed(v100)))
write("fuzz_judge", "no_install_list", judged([v101[0], (b"QEN.hvl", listed(v101))], b""))
write("fuzz_judge", "case_twins", judged(
    [(b"a.arc", b"1"), (b"A.ARC", b"2"), (b"qen.hvl", listed([(b"a.arc", b"1")]))], b""))
write("fuzz_judge", "two_lists", judged(
    [(b"qen.hvl", listed([])), (b"QEN.HVL", listed([]))], b""))
write("fuzz_judge", "so_in_a_folder", judged(
    [("\u80fd\\\u30bd.arc".encode("cp932"), b"so"),
     (b"qen.hvl", listed([("\u80fd\\\u30bd.arc".encode("cp932"), b"so")]))], b""))

# --exclude: a pattern, a NUL, a path. Before the NUL, the same bytes are
# a release's exclusion file too: lines, comments, a mark, a CR, a !.
for name, text in [("file_lines", b"\xef\xbb\xbf# studio\r\nwork/\n\n*.psd \t\n/notes.txt\0work"),
                   ("file_back", b"work/\n!work/keep.txt\0work/keep.txt"),
                   ("suffix", b"*.psd\0art/cover.psd"), ("anchored", b"data/*.bak\0data/a.bak"),
                   ("folder", b"work/\0work"), ("stars", b"*a*b*c\0xaxbxcx"),
                   ("japanese", "\u30c7?.arc\0\u30c7\u30fc.arc".encode()),
                   ("not_utf8", b"a?b\0a\xffb"),
                   # Letter case as Windows takes it, for every letter.
                   ("full_width", "\uff21\uff22\uff23*\0\uff41\uff42\uff43.txt".encode()),
                   ("greek_exact", "\u03a9.txt\0\u03c9.TXT".encode())]:
    write("fuzz_exclusions", name, text)

# The update's journal: magic, digest, count, then per entry index,
# existed, attributes and three paths, then the temporary's path.
def journal(digest, entries, temp):
    out = b"VLMRJRN1" + digest + struct.pack("<I", len(entries))
    for index, existed, attributes, target, staged, kept in entries:
        out += bytes([index, existed]) + struct.pack("<I", attributes)
        out += target + b"\0" + staged + b"\0" + kept + b"\0"
    return out + temp + b"\0"


write("fuzz_journal", "kept_and_staged", journal(bytes(8), [
    (0, 1, 0x20, b"a.dat", b"~velmora-00000000-new-0.tmp", b"~velmora-00000000-old-0.tmp"),
    (1, 0, 0xFFFFFFFF, b"b.dat", b"~velmora-00000000-new-1.tmp", b"")],
    b"~velmora-00000000-lst.tmp"))
write("fuzz_journal", "another_patch", journal(b"\x01" * 8, [
    (0, 1, 0x20, b"a.dat", b"~velmora-01010101-new-0.tmp", b"~velmora-00000000-old-0.tmp")], b""))
write("fuzz_journal", "parent_steps", journal(bytes(8), [
    (0, 1, 0x20, b"..\\outside.dat", b"~velmora-00000000-new-1.tmp", b"..\\outside.dat")], b""))
