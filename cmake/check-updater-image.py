#!/usr/bin/env python3
"""Checks the built updater: a PE32 image for i386 with the Windows GUI
subsystem, importing only system DLLs (everything else statically linked),
and a whole file that ends below 57344 bytes: the package is appended at
offset 65536, and the rest of the room below it is kept for the updater's
growth. Exits 1 with the reasons otherwise.
Usage: check-updater-image.py [--twin] EXE
--twin checks the x86_64 test twin instead: PE32+ for x86-64, the same
subsystem and imports, ending below 65536 (it carries packages at the same
offset; its 64-bit code is larger)."""
import struct
import sys

# What the program may import: the system, and the C runtime that ships
# with every Windows. Anything else (libgcc, libstdc++, winpthread) would
# have to travel beside the updater.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll", "msvcrt.dll"}


def rva_to_offset(sections, rva):
    for virtual_address, virtual_size, raw_offset, raw_size in sections:
        if virtual_address <= rva < virtual_address + max(virtual_size, raw_size):
            return raw_offset + rva - virtual_address
    raise ValueError("RVA 0x%x lies in no section" % rva)


def c_string(data, offset):
    end = data.index(b"\0", offset)
    return data[offset:end].decode("ascii", "replace")


def imported_dlls(data, pe, sections, directories):
    import_rva = struct.unpack_from("<I", data, directories + 8)[0]
    names = []
    if import_rva == 0:
        return names
    at = rva_to_offset(sections, import_rva)
    while True:
        descriptor = struct.unpack_from("<IIIII", data, at)
        if descriptor == (0, 0, 0, 0, 0):
            return names
        names.append(c_string(data, rva_to_offset(sections, descriptor[3])))
        at += 20


# (machine, optional header magic, what they are called, where the file
# must end) of each build
SHIPPED = (0x014C, 0x10B, "PE32 i386", 57344)
TWIN = (0x8664, 0x20B, "PE32+ x86-64", 65536)


def check(path, kind=SHIPPED):
    limit = kind[3]
    with open(path, "rb") as f:
        data = f.read()
    problems = []
    if data[:2] != b"MZ":
        return ["no MZ header"], len(data), []
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        return ["no PE signature"], len(data), []
    machine, section_count = struct.unpack_from("<HH", data, pe + 4)
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    subsystem = struct.unpack_from("<H", data, optional + 68)[0]
    want_machine, want_magic, _, _ = kind
    if machine != want_machine:
        problems.append("machine is 0x%04x, not 0x%04x" % (machine, want_machine))
    if magic != want_magic:
        problems.append("optional header magic is 0x%03x, not 0x%03x" % (magic, want_magic))
        return problems, len(data), []
    if subsystem != 2:
        problems.append("subsystem is %d, not Windows GUI (2)" % subsystem)
    sections = []
    table = optional + optional_size
    for i in range(section_count):
        virtual_size, virtual_address, raw_size, raw_offset = struct.unpack_from(
            "<IIII", data, table + 40 * i + 8)
        sections.append((virtual_address, virtual_size, raw_offset, raw_size))
        if raw_offset + raw_size > limit:
            problems.append("a section reaches offset %d" % (raw_offset + raw_size))
    # The data directories follow the optional header's fixed part, which
    # is 16 bytes longer in PE32+.
    dlls = imported_dlls(data, pe, sections, optional + (96 if magic == 0x10B else 112))
    for dll in dlls:
        if dll.lower() not in SYSTEM_DLLS:
            problems.append("imports %s, which is not a system DLL" % dll)
    if len(data) >= limit:
        problems.append("the file is %d bytes, not below %d" % (len(data), limit))
    return problems, len(data), dlls


def main():
    args = sys.argv[1:]
    kind = SHIPPED
    if args and args[0] == "--twin":
        kind = TWIN
        args = args[1:]
    if len(args) != 1:
        sys.exit(__doc__)
    path = args[0]
    problems, size, dlls = check(path, kind)
    if problems:
        for problem in problems:
            print("%s: %s" % (path, problem), file=sys.stderr)
        return 1
    print("%s: %s GUI, %d bytes (%d to spare below %d), imports %s"
          % (path, kind[2], size, kind[3] - size, kind[3], ", ".join(dlls)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
