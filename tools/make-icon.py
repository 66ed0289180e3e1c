#!/usr/bin/env python3
"""Writes the program's icon: an envelope, 16x16 and 32x32, 32-bit BGRA.

Usage: make-icon.py OUTPUT.ico
"""
import struct
import sys


def envelope(size):
    """Rows of (r, g, b, a) pixels, top row first."""
    px = [[(0, 0, 0, 0)] * size for _ in range(size)]
    m = max(1, size // 16)                 # margin
    top, bottom = 3 * m + m, size - 3 * m - m
    left, right = m, size - 1 - m
    paper, edge, flap = (250, 248, 236, 255), (40, 70, 140, 255), (200, 60, 50, 255)
    for y in range(top, bottom + 1):
        for x in range(left, right + 1):
            on_edge = y in (top, bottom) or x in (left, right)
            px[y][x] = edge if on_edge else paper
    # The flap: two lines from the upper corners to the middle.
    mid_x, mid_y = (left + right) / 2, top + (bottom - top) * 0.6
    for x in range(left, right + 1):
        t = abs(x - mid_x) / (mid_x - left)
        y = round(mid_y - t * (mid_y - top))
        for dy in range(m):
            if top <= y + dy <= bottom:
                px[y + dy][x] = flap
    return px


def image_entry(size):
    px = envelope(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = bytearray()
    for row in reversed(px):               # bottom-up
        for r, g, b, a in row:
            xor += bytes((b, g, r, a))
    mask_row = ((size + 31) // 32) * 4
    and_mask = bytearray()
    for row in reversed(px):
        bits = bytearray(mask_row)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        and_mask += bits
    return header + bytes(xor) + bytes(and_mask)


def main():
    sizes = (16, 32)
    images = [image_entry(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for s, img in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s, s, 0, 0, 1, 32, len(img), offset)
        offset += len(img)
    for img in images:
        out += img
    with open(sys.argv[1], "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
