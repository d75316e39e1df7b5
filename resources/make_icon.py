#!/usr/bin/env python3
"""Writes the updater's icon file: a 32x32 and a 16x16 image, 24 bits per
pixel, each with its AND mask. The picture (a white arrow pointing down onto
a bar, on a blue tile) is drawn here so that no binary image is kept in the
source tree. Usage: make_icon.py OUT.ico"""
import struct
import sys

BLUE = (0x2B, 0x5C, 0xB8)
DARK = (0x1A, 0x3A, 0x78)
WHITE = (0xFF, 0xFF, 0xFF)


def pixel(x, y, n):
    """Colour and transparency of pixel (x, y), y counted from the top, on an
    n-by-n tile; the drawing is given on a 16-unit grid and scaled."""
    u = 16.0 / n
    gx, gy = (x + 0.5) * u, (y + 0.5) * u
    inside = 0.5 <= gx <= 15.5 and 0.5 <= gy <= 15.5
    corner = min(gx - 0.5, 15.5 - gx) < 1.5 and min(gy - 0.5, 15.5 - gy) < 1.5
    if not inside or (corner and (min(gx - 0.5, 15.5 - gx) + min(gy - 0.5, 15.5 - gy)) < 1.5):
        return None  # transparent
    shaft = 6.5 <= gx <= 9.5 and 2.5 <= gy <= 8.5
    head = 8.5 <= gy <= 12.0 and abs(gx - 8.0) <= (12.0 - gy) * 1.4
    bar = 12.8 <= gy <= 14.0 and 3.0 <= gx <= 13.0
    if shaft or head or bar:
        return WHITE
    edge = min(gx - 0.5, 15.5 - gx, gy - 0.5, 15.5 - gy) < 1.0
    return DARK if edge else BLUE


def image(n):
    """One icon image: BITMAPINFOHEADER (height doubled for the mask), the
    24-bit colour rows bottom-up, then the 1-bit AND mask rows."""
    header = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 24, 0, 0, 0, 0, 0, 0)
    colour_stride = (n * 3 + 3) & ~3
    mask_stride = ((n + 31) // 32) * 4
    colour = bytearray()
    mask = bytearray()
    for y in reversed(range(n)):
        row = bytearray()
        bits = bytearray(mask_stride)
        for x in range(n):
            c = pixel(x, y, n)
            if c is None:
                row += b"\0\0\0"
                bits[x // 8] |= 0x80 >> (x % 8)
            else:
                row += bytes((c[2], c[1], c[0]))  # stored blue, green, red
        row += bytes(colour_stride - len(row))
        colour += row
        mask += bits
    return header + bytes(colour) + bytes(mask)


def main():
    sizes = (32, 16)
    images = [image(n) for n in sizes]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for n, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", n, n, 0, 0, 1, 24, len(data), offset)
        offset += len(data)
    for data in images:
        out += data
    with open(sys.argv[1], "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
