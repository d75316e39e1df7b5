"""Byte layouts of the package and the hash list, written independently of
the C++ code, for the tests and the fuzz seeds."""
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
