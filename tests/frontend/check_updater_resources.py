#!/usr/bin/env python3
"""Reads the resource directory of the built updater and checks that it holds
exactly one icon group, identifier 101, Japanese (1041), made of a 32x32 and
a 16x16 image at 24 bits per pixel, and nothing else (no version block, no
manifest). Usage: check_updater_resources.py EXE"""
import struct
import sys

RT_ICON, RT_GROUP_ICON = 3, 14
JAPANESE = 0x0411


class Image:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        pe = struct.unpack_from("<I", self.data, 0x3C)[0]
        section_count = struct.unpack_from("<H", self.data, pe + 6)[0]
        optional_size = struct.unpack_from("<H", self.data, pe + 20)[0]
        optional = pe + 24
        self.rsrc_rva = struct.unpack_from("<I", self.data, optional + 96 + 2 * 8)[0]
        self.sections = []
        for i in range(section_count):
            vsize, vaddr, rsize, roff = struct.unpack_from(
                "<IIII", self.data, optional + optional_size + 40 * i + 8)
            self.sections.append((vaddr, max(vsize, rsize), roff))

    def offset(self, rva):
        for vaddr, size, roff in self.sections:
            if vaddr <= rva < vaddr + size:
                return roff + rva - vaddr
        raise ValueError("RVA 0x%x lies in no section" % rva)

    def directory(self, at):
        """Entries of the resource directory at offset at (from the start of
        the resource section): a list of (id or name, is_subdirectory, target)."""
        base = self.offset(self.rsrc_rva)
        named, numbered = struct.unpack_from("<HH", self.data, base + at + 12)
        entries = []
        for i in range(named + numbered):
            key, target = struct.unpack_from("<II", self.data, base + at + 16 + 8 * i)
            if key & 0x80000000:
                name_at = base + (key & 0x7FFFFFFF)
                length = struct.unpack_from("<H", self.data, name_at)[0]
                key = self.data[name_at + 2:name_at + 2 + 2 * length].decode("utf-16-le")
            entries.append((key, bool(target & 0x80000000), target & 0x7FFFFFFF))
        return entries

    def resources(self):
        """{type: {name: {language: bytes}}}"""
        found = {}
        if self.rsrc_rva == 0:
            return found
        base = self.offset(self.rsrc_rva)
        for rtype, sub, at in self.directory(0):
            assert sub, "type entry is not a directory"
            for name, sub2, at2 in self.directory(at):
                assert sub2, "name entry is not a directory"
                for language, sub3, at3 in self.directory(at2):
                    assert not sub3, "language entry is a directory"
                    rva, size = struct.unpack_from("<II", self.data, base + at3)
                    start = self.offset(rva)
                    found.setdefault(rtype, {}).setdefault(name, {})[language] = \
                        self.data[start:start + size]
        return found


def check(path):
    problems = []
    res = Image(path).resources()
    shape = {t: {n: sorted(langs) for n, langs in names.items()} for t, names in res.items()}
    groups = shape.get(RT_GROUP_ICON, {})
    if groups != {101: [JAPANESE]}:
        problems.append("icon groups are %r, expected only 101 in language 1041" % groups)
    others = sorted(t for t in shape if t not in (RT_ICON, RT_GROUP_ICON))
    if others:
        problems.append("resource types other than icons: %r (16 is a version block, "
                        "24 a manifest)" % others)
    icons = res.get(RT_ICON, {})
    for name, langs in shape.get(RT_ICON, {}).items():
        if langs != [JAPANESE]:
            problems.append("icon image %r has languages %r" % (name, langs))
    if problems:
        return problems

    group = res[RT_GROUP_ICON][101][JAPANESE]
    reserved, kind, count = struct.unpack_from("<HHH", group, 0)
    if (reserved, kind) != (0, 1):
        problems.append("the icon group header is (%d, %d), not (0, 1)" % (reserved, kind))
    images = []
    used = set()
    for i in range(count):
        width, height, colours, _, planes, bits, size, image_id = struct.unpack_from(
            "<BBBBHHIH", group, 6 + 14 * i)
        used.add(image_id)
        data = icons.get(image_id, {}).get(JAPANESE)
        if data is None:
            problems.append("the group names image %d, which is missing" % image_id)
            continue
        header_size, bi_width, bi_height, bi_planes, bi_bits = struct.unpack_from(
            "<IiiHH", data, 0)
        if header_size != 40 or bi_width != width or bi_height != 2 * height or \
                bi_bits != bits or len(data) != size:
            problems.append("image %d does not match its group entry" % image_id)
        images.append((width, height, bits))
    if sorted(images) != [(16, 16, 24), (32, 32, 24)]:
        problems.append("images are %r, expected 32x32 and 16x16 at 24 bits" % images)
    if used != set(icons):
        problems.append("icon images %r belong to no group" % sorted(set(icons) - used))
    return problems


def main():
    problems = check(sys.argv[1])
    for problem in problems:
        print("%s: %s" % (sys.argv[1], problem))
    if not problems:
        print("%s: one icon group, 101, Japanese, 32x32 and 16x16 at 24 bits; "
              "nothing else" % sys.argv[1])
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
