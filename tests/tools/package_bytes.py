"""Byte layouts of the package, the hash list and a minimal updater stub,
written independently of the C++ code, for the tests, the fuzz seeds and
the benchmarks."""
import struct


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
    """Hash-list bytes for (name, stored sum) pairs; names as str or bytes."""
    out = magic + struct.pack("<II", 0, len(records))
    for name, digest in records:
        if isinstance(name, str):
            name = name.encode()
        out += name.ljust(56, b"\0") + digest
    return out


def list_fold(name):
    """A stored name (bytes) as the updater matches hash-list records: A to
    Z of single-byte characters folded; a code page 932 lead byte and the
    byte after it kept."""
    out, i = bytearray(), 0
    while i < len(name):
        b = name[i]
        if (0x81 <= b <= 0x9F or 0xE0 <= b <= 0xFC) and i + 1 < len(name):
            out += name[i:i + 2]
            i += 2
            continue
        out.append(b + 32 if 0x41 <= b <= 0x5A else b)
        i += 1
    return bytes(out)


def pe_stub():
    """A minimal PE32 GUI program for i386 of 1024 bytes (headers and one
    code section): what pack takes as the updater stub, and what
    Authenticode can sign."""
    dos = b"MZ" + bytes(0x3A) + struct.pack("<I", 0x40)
    coff = struct.pack("<HHIIIHH", 0x14C, 1, 0, 0, 0, 224, 0x0102)
    optional = struct.pack("<HBBIIIIIIIIIHHHHHHIIIIHHIIIIII",
                           0x10B, 1, 0, 0x200, 0, 0, 0x1000, 0x1000, 0x1000, 0x400000,
                           0x1000, 0x200, 4, 0, 0, 0, 4, 0, 0, 0x2000, 0x200, 0, 2, 0,
                           0x100000, 0x1000, 0x100000, 0x1000, 0, 16) + bytes(16 * 8)
    section = b".text\0\0\0" + struct.pack("<IIIIIIHHI", 0x200, 0x1000, 0x200, 0x200, 0, 0,
                                           0, 0, 0x60000020)
    headers = dos + b"PE\0\0" + coff + optional + section
    return headers.ljust(0x200, b"\0") + b"\x31\xc0\xc2\x10\x00".ljust(0x200, b"\xcc")
