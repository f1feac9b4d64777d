#!/usr/bin/env python3
"""Makes the program's images: the two 552 x 12 RGBA bar images and the icon.

usage: tools/images/make_images.py [output folder, default src/res]

track.png  resource 134: near-black track with a fine dotted texture and
           curved transparent ends
fill.png   resource 133: bright blue fill, lighter in its upper rows, same ends
RadeVare.ico  16, 32 and 48 pixel 32-bit icons: a blue bar on a dark disc
"""
import math
import os
import struct
import sys
import zlib

WIDTH, HEIGHT = 552, 12


def png(width, height, rows):
    """rows: list of bytes objects, 4 bytes (RGBA) per pixel."""
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)
    raw = b"".join(b"\x00" + row for row in rows)
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def capsule_alpha(x, y, width, height):
    """Coverage of pixel (x, y) by a bar whose ends are half circles, 4x4 supersampled."""
    r = height / 2.0
    inside = 0
    for sy in range(4):
        for sx in range(4):
            px = x + (sx + 0.5) / 4
            py = y + (sy + 0.5) / 4
            cx = min(max(px, r), width - r)
            if (px - cx) ** 2 + (py - r) ** 2 <= r * r:
                inside += 1
    return inside / 16.0


def bar(colour_at):
    rows = []
    for y in range(HEIGHT):
        row = bytearray()
        for x in range(WIDTH):
            a = capsule_alpha(x, y, WIDTH, HEIGHT)
            r, g, b = colour_at(x, y)
            row += bytes((r, g, b, int(round(a * 255))))
        rows.append(bytes(row))
    return png(WIDTH, HEIGHT, rows)


def track_colour(x, y):
    # A fine dot every other pixel on alternate rows over a near-black base.
    base = 24 if (x + y) % 2 == 0 and y % 2 == 0 else 14
    return (base, base + 1, base + 4)


def fill_colour(x, y):
    # Lighter in the upper rows, as if lit from above.
    t = y / (HEIGHT - 1)
    top, bottom = (120, 200, 255), (16, 112, 238)
    return tuple(int(round(top[i] + (bottom[i] - top[i]) * min(1.0, t * 1.4))) for i in range(3))


def icon_image(size):
    """BGRA rows bottom-up plus an empty AND mask, as an icon directory entry wants."""
    pixels = []
    c = (size - 1) / 2.0
    for y in range(size):
        for x in range(size):
            d = math.hypot(x - c, y - c)
            if d > size / 2.0:
                pixels.append((0, 0, 0, 0))
            elif abs(y - c) <= size / 8.0 and size * 0.2 <= x <= size * 0.8:
                pixels.append((238, 112, 16, 255))
            else:
                pixels.append((30, 24, 20, 255))
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = b"".join(bytes(p) for yy in reversed(range(size)) for p in pixels[yy * size:(yy + 1) * size])
    mask_row = ((size + 31) // 32) * 4
    return header + xor + b"\x00" * (mask_row * size)


def ico(sizes):
    images = [icon_image(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for s, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(images)


def main():
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "src", "res")
    with open(os.path.join(out, "track.png"), "wb") as f:
        f.write(bar(track_colour))
    with open(os.path.join(out, "fill.png"), "wb") as f:
        f.write(bar(fill_colour))
    with open(os.path.join(out, "RadeVare.ico"), "wb") as f:
        f.write(ico([16, 32, 48]))


if __name__ == "__main__":
    main()
