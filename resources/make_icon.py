#!/usr/bin/env python3
"""Draws the updater's icon and writes resources/updater.ico.

The artwork: a downward arrow into an open tray on a flat rounded teal square,
drawn from shapes at every size (no source bitmaps), 4x4 supersampled.
Every size is stored as PNG, which Windows reads for any size since Vista, to
keep the program small (a 32-pixel DIB alone takes 4 KB).
"""
import os
import struct
import zlib

TEAL = (22, 122, 138)
WHITE = (250, 250, 245)
GOLD = (240, 184, 64)


def inside_rounded_square(x, y, r):
    # Unit coordinates 0..1; corner radius r.
    cx = min(max(x, r), 1 - r)
    cy = min(max(y, r), 1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def in_arrow(x, y):
    shaft = 0.43 <= x <= 0.57 and 0.16 <= y <= 0.52
    head = 0.46 <= y <= 0.70 and abs(x - 0.5) <= (0.70 - y) * 1.15
    return shaft or head


def in_tray(x, y):
    base = 0.72 <= y <= 0.82 and 0.20 <= x <= 0.80
    sides = 0.56 <= y <= 0.82 and (0.20 <= x <= 0.30 or 0.70 <= x <= 0.80)
    return base or sides


def shade(x, y):
    """Colour with alpha of the point (x, y) in unit coordinates."""
    if not inside_rounded_square(x, y, 0.2):
        return (0, 0, 0, 0)
    if in_arrow(x, y):
        return WHITE + (255,)
    if in_tray(x, y):
        return GOLD + (255,)
    return TEAL + (255,)  # flat: a gradient would cost the program 2 KB of PNG


def render(size, samples=4):
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(samples):
                for sx in range(samples):
                    c = shade((px + (sx + 0.5) / samples) / size,
                              (py + (sy + 0.5) / samples) / size)
                    for i in range(3):
                        acc[i] += c[i] * c[3]
                    acc[3] += c[3]
            n = samples * samples
            alpha = acc[3] / n
            rgb = [int(acc[i] / acc[3]) if acc[3] else 0 for i in range(3)]
            row.append((rgb[0], rgb[1], rgb[2], int(round(alpha))))
        rows.append(row)
    return rows


def png(pixels):
    size = len(pixels)
    raw = b"".join(b"\0" + bytes(v for p in row for v in p) for row in pixels)

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    ihdr = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main():
    images = [(s, png(render(s))) for s in (16, 32, 48)] + [(256, png(render(256, 2)))]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        dim = 0 if size == 256 else size
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(data for _, data in images)
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "updater.ico")
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
