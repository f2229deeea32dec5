#!/usr/bin/env python3
"""Draws the programs' icon: data/windows/sgsplit.ico for Windows, and for the
Linux menu data/icons/sgsplit.svg and data/icons/NxN/sgsplit.png.

A cube seen from a corner whose three faces are drawn apart, one colour each:
one model whose parts have become pieces of their own. Every file is drawn
from the one set of faces below. Run it again after a change and commit the
files; the build does not need Python.
"""
import math
import os
import struct
import sys
import zlib

ICO_SIZES = (16, 24, 32, 48, 64)
PNG_SIZES = (16, 24, 32, 48, 64, 128, 256)
SAMPLES = 4  # per axis, for smooth edges

# The faces in a unit square, y downwards: top, left and right, each pushed
# away from the centre so that a gap shows between them.
C = (0.5, 0.52)
R = 0.44
def corner(angle_deg, radius=R):
    a = math.radians(angle_deg)
    return (C[0] + radius * math.cos(a), C[1] - radius * math.sin(a))

def face(angles, push):
    pts = [C] + [corner(a) for a in angles]
    mid = corner(angles[1], 0.5 * R)
    dx, dy = mid[0] - C[0], mid[1] - C[1]
    n = math.hypot(dx, dy)
    return [(x + push * dx / n, y + push * dy / n) for x, y in pts]

FACES = [
    (face((30, 90, 150), 0.035), (0x5C, 0xC8, 0xF0)),    # top: light blue
    (face((150, 210, 270), 0.035), (0x2E, 0x7D, 0xD2)),  # left: blue
    (face((270, 330, 30), 0.035), (0xF2, 0x99, 0x2E)),   # right: orange
]

def inside(poly, x, y):
    hit = False
    for i in range(len(poly)):
        (x1, y1), (x2, y2) = poly[i], poly[(i + 1) % len(poly)]
        if (y1 > y) != (y2 > y) and x < x1 + (y - y1) * (x2 - x1) / (y2 - y1):
            hit = not hit
    return hit

def pixel(size, px, py):
    """Straight (not premultiplied) red, green, blue and alpha of one pixel."""
    r = g = b = a = 0
    for sy in range(SAMPLES):
        for sx in range(SAMPLES):
            x = (px + (sx + 0.5) / SAMPLES) / size
            y = (py + (sy + 0.5) / SAMPLES) / size
            for poly, colour in FACES:
                if inside(poly, x, y):
                    r += colour[0]; g += colour[1]; b += colour[2]; a += 255
                    break
    n = SAMPLES * SAMPLES
    if a == 0:
        return (0, 0, 0, 0)
    cov = a // 255
    return (r // cov, g // cov, b // cov, a // n)

def raster(size):
    return [[pixel(size, x, y) for x in range(size)] for y in range(size)]

def ico_image(rows):
    size = len(rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0, 0, 0, 0, 0, 0)
    # Bottom-up rows of blue, green, red, alpha.
    xor = b"".join(bytes(c for r, g, b, a in row for c in (b, g, r, a)) for row in reversed(rows))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, p in enumerate(row):
            if p[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + xor + bytes(mask)

def ico(rasters):
    images = [ico_image(rasters[s]) for s in ICO_SIZES]
    data = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for s, img in zip(ICO_SIZES, images):
        dim = 0 if s == 256 else s
        data += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(img), offset)
        offset += len(img)
    return data + b"".join(images)

def png(rows):
    size = len(rows)
    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))
    # 8-bit RGBA, no filter on any row.
    raw = b"".join(b"\0" + bytes(c for p in row for c in p) for row in rows)
    return (b"\x89PNG\r\n\x1a\n" +
            chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))

def svg():
    unit = 256
    paths = []
    for poly, colour in FACES:
        points = " ".join(f"{x * unit:.3f},{y * unit:.3f}" for x, y in poly)
        paths.append(f'  <polygon points="{points}" fill="#{colour[0]:02x}{colour[1]:02x}{colour[2]:02x}"/>\n')
    return (f'<svg xmlns="http://www.w3.org/2000/svg" width="{unit}" height="{unit}" '
            f'viewBox="0 0 {unit} {unit}">\n' + "".join(paths) + "</svg>\n").encode()

def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)

def main(data_dir):
    rasters = {s: raster(s) for s in sorted(set(ICO_SIZES) | set(PNG_SIZES))}
    write(os.path.join(data_dir, "windows", "sgsplit.ico"), ico(rasters))
    write(os.path.join(data_dir, "icons", "sgsplit.svg"), svg())
    for s in PNG_SIZES:
        write(os.path.join(data_dir, "icons", f"{s}x{s}", "sgsplit.png"), png(rasters[s]))

if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "data")
