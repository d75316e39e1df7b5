#!/usr/bin/env python3
"""Writes the fuzz targets' seed inputs (run again after changing it)."""
import os
import struct

here = os.path.dirname(os.path.abspath(__file__))


def content_sum(data):
    mix = mix_sum = mix_xor = byte_sum = byte_xor = 0
    for b in data:
        mix = (mix * 233 + b) & 0xFFFFFFFF
        low = mix & 0xFF
        mix_sum = (mix_sum + low) & 0xFF
        mix_xor ^= low
        byte_sum = (byte_sum + b) & 0xFF
        byte_xor ^= b
    return struct.pack("<IBBBB", mix, mix_sum, mix_xor, byte_sum, byte_xor)


def hash_list(records, magic=b"JXW_____"):
    out = magic + struct.pack("<II", 0, len(records))
    for name, data in records:
        out += name.ljust(56, b"\0") + content_sum(data)
    return out


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
full.append((b"QEN.hvl", hash_list([(b"Data1.ARC", a), (b"data2.arc", b), (b"game.exe", b"x")])))
write("fuzz_package", "three_entries", package_tail(full))
write("fuzz_package", "no_entries", package_tail([]))
write("fuzz_package", "sub_folder", package_tail([(b"sub\\a.dat", b"a"), (b"empty.dat", b"")]))
write("fuzz_package", "mismatch", package_tail([(b"qen.hvl", hash_list([(b"a.dat", b"a")])),
                                                (b"a.dat", b"b")]))

write("fuzz_hash_list", "two_records", hash_list([(b"Data.arc", b"abc"), (b"other.dat", b"x")]))
write("fuzz_hash_list", "duplicate", hash_list([(b"data.arc", b"abd"), (b"DATA.arc", b"abc")]))
write("fuzz_hash_list", "empty", hash_list([]))
write("fuzz_hash_list", "bad_magic", hash_list([(b"data.arc", b"abc")], b"JXW____."))

write("fuzz_uninstall_list", "plain", b"b.dat\nc.dat\na.dat\ndata.dat\n\0\x03")
write("fuzz_uninstall_list", "crlf_no_nul", b"x.dat\ny.dat\r\ngame.exe\r\nx.dat\x02")
write("fuzz_uninstall_list", "embedded_nul", b"n\nnew\na\n\0tail\0\x01")
