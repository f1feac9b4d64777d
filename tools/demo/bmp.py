"""Reads the 24- and 32-bit BMP screenshots of the test host, writes PNG, and
tells the progress strip's fill from its track.

usage: from bmp import read_bmp, write_png, bar_row
"""
import struct
import zlib


class Image:
    """Pixels as rows of (r, g, b) tuples, top row first."""

    def __init__(self, width, height, rows):
        self.width = width
        self.height = height
        self.rows = rows

    def pixel(self, x, y):
        return self.rows[y][x]

    def crop(self, left, top, right, bottom):
        left, top = max(0, left), max(0, top)
        right, bottom = min(self.width, right), min(self.height, bottom)
        return Image(right - left, bottom - top, [row[left:right] for row in self.rows[top:bottom]])

    def scaled(self, factor):
        rows = []
        for row in self.rows:
            wide = [p for p in row for _ in range(factor)]
            rows.extend([wide] * factor)
        return Image(self.width * factor, self.height * factor, rows)


def read_bmp(path):
    with open(path, "rb") as f:
        data = f.read()
    if data[:2] != b"BM":
        raise ValueError("%s is not a BMP file" % path)
    offset = struct.unpack_from("<I", data, 10)[0]
    width, height, _, bits = struct.unpack_from("<iiHH", data, 18)
    if bits not in (24, 32):
        raise ValueError("%d-bit BMP files are not read" % bits)
    step = bits // 8
    stride = (width * step + 3) & ~3
    bottom_up = height > 0
    height = abs(height)
    rows = []
    for y in range(height):
        start = offset + (height - 1 - y if bottom_up else y) * stride
        line = data[start:start + width * step]
        rows.append([(line[i + 2], line[i + 1], line[i]) for i in range(0, width * step, step)])
    return Image(width, height, rows)


def write_png(image, path):
    def chunk(kind, body):
        block = kind + body
        return struct.pack(">I", len(body)) + block + struct.pack(">I", zlib.crc32(block) & 0xFFFFFFFF)
    raw = b"".join(b"\x00" + bytes(v for p in row for v in p) for row in image.rows)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", image.width, image.height, 8, 2, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def is_fill(pixel):
    """The fill's bright blue."""
    r, g, b = pixel
    return b > 150 and r < 150 and b - r > 60


def is_track(pixel):
    """The track's near-black."""
    r, g, b = pixel
    return max(r, g, b) < 60


def bar_row(image, rect):
    """The middle row of the strip at rect (left, top, right, bottom):
    the x offsets of its fill pixels and of its track pixels."""
    left, top, right, bottom = (int(v) for v in rect)
    row = [image.pixel(x, (top + bottom) // 2) for x in range(left, right)]
    return [x for x, p in enumerate(row) if is_fill(p)], [x for x, p in enumerate(row) if is_track(p)]


def expected_fill(width, percent):
    """The fill the strip draws for a progress figure: that share of its width, truncated."""
    return width * percent // 100
