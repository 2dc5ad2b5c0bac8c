#!/usr/bin/env python3
"""Draws the program's icon and writes it as one .ico file: an arrow leaving a
dot on a rounded tile, at 16, 32 and 48 pixels as 32-bit bitmaps and at 256
pixels as PNG (the form Windows expects for its largest size).

    draw_icon.py OUTPUT.ico

The .ico beside this file is its output, committed so that a build needs no
Python; the release check (scripts/test) draws it again and compares the bytes.
Standard library only.
"""

import struct
import sys
import zlib

SIZES = (16, 32, 48, 256)
# Samples per pixel along each axis: edges get 16 levels of coverage.
SAMPLES = 4

TILE = (31, 111, 139)
ARROW = (255, 255, 255)
DOT = (242, 153, 74)


def in_tile(x, y):
    """The rounded tile, in a unit square."""
    low, high, radius = 0.03, 0.97, 0.2
    cx = min(max(x, low + radius), high - radius)
    cy = min(max(y, low + radius), high - radius)
    return low <= x <= high and low <= y <= high and (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def in_arrow(x, y):
    """The shaft and the head of the arrow, pointing right."""
    if 0.22 <= x <= 0.6 and 0.425 <= y <= 0.575:
        return True
    # The head: a triangle from (0.54, 0.24) and (0.54, 0.76) to (0.82, 0.5).
    return 0.54 <= x <= 0.82 and abs(y - 0.5) <= (0.82 - x) * (0.26 / 0.28)


def in_dot(x, y):
    return (x - 0.22) ** 2 + (y - 0.5) ** 2 <= 0.12 ** 2


def draw(size):
    """Rows of (red, green, blue, alpha) pixels, top row first."""
    rows = []
    steps = [(i + 0.5) / SAMPLES for i in range(SAMPLES)]
    for row in range(size):
        pixels = []
        for column in range(size):
            tile = arrow = dot = 0
            for sy in steps:
                for sx in steps:
                    x, y = (column + sx) / size, (row + sy) / size
                    if in_tile(x, y):
                        tile += 1
                        # The dot lies over the arrow's tail.
                        if in_dot(x, y):
                            dot += 1
                        elif in_arrow(x, y):
                            arrow += 1
            if tile == 0:
                pixels.append((0, 0, 0, 0))
                continue
            plain = tile - arrow - dot
            color = tuple((plain * t + arrow * a + dot * d + tile // 2) // tile
                          for t, a, d in zip(TILE, ARROW, DOT))
            pixels.append(color + ((tile * 255 + SAMPLES * SAMPLES // 2) // (SAMPLES * SAMPLES),))
        rows.append(pixels)
    return rows


def bitmap_entry(rows):
    """A 32-bit bitmap entry: its header (twice the height, for the mask), the
    pixels bottom-up in blue, green, red, alpha, then the 1-bit mask."""
    size = len(rows)
    mask_stride = (size + 31) // 32 * 4
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for r, g, b, a in row)
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for column, pixel in enumerate(row):
            if pixel[3] == 0:
                bits[column // 8] |= 0x80 >> (column % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                         len(pixels) + len(mask), 0, 0, 0, 0)
    return header + pixels + bytes(mask)


def png_entry(rows):
    size = len(rows)

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    raw = b"".join(b"\0" + bytes(channel for pixel in row for channel in pixel) for row in rows)
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def icon_file():
    entries = [png_entry(draw(size)) if size >= 256 else bitmap_entry(draw(size)) for size in SIZES]
    directory = struct.pack("<HHH", 0, 1, len(entries))
    offset = len(directory) + 16 * len(entries)
    for size, entry in zip(SIZES, entries):
        # A size of 256 is written as 0.
        directory += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(entry), offset)
        offset += len(entry)
    return directory + b"".join(entries)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: draw_icon.py OUTPUT.ico")
    with open(sys.argv[1], "wb") as f:
        f.write(icon_file())


if __name__ == "__main__":
    main()
