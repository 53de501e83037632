#!/usr/bin/env python3
"""Draws Velmora's hicolor icons from the control's 16x15 toolbox bitmap: the bitmap on a
16x16 canvas with its silver background see-through, scaled up pixel for pixel (PNG) and as
one square per pixel (SVG). Run it again after the bitmap changes; it needs only Python."""

import pathlib
import struct
import zlib

here = pathlib.Path(__file__).resolve().parent
bmp = (here / "../../control/resources/toolbox.bmp").read_bytes()

offset, = struct.unpack_from("<I", bmp, 10)
width, height, _, bits = struct.unpack_from("<iiHH", bmp, 18)
assert bits == 4, "a 16-colour bitmap is expected"
palette = [bmp[54 + 4 * i:57 + 4 * i][::-1] for i in range(16)]  # stored as B, G, R
row_bytes = (width * bits + 31) // 32 * 4
SILVER = bytes((0xC0, 0xC0, 0xC0))

# pixels[y][x]: an (r, g, b) triple, or None where the icon is see-through; rows stored bottom-up.
pixels = [[None] * 16 for _ in range(16)]
for y in range(height):
    row = bmp[offset + (height - 1 - y) * row_bytes:]
    for x in range(width):
        index = (row[x // 2] >> (0 if x % 2 else 4)) & 0xF
        colour = palette[index]
        pixels[y + 16 - height][x] = None if colour == SILVER else colour


def png(size):
    scale = size // 16
    raw = bytearray()
    for y in range(size):
        raw.append(0)  # no filter
        for x in range(size):
            c = pixels[y // scale][x // scale]
            raw += bytes(4) if c is None else c + b"\xff"

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(bytes(raw), 9))
            + chunk(b"IEND", b""))


for size in (16, 32, 48, 64, 128, 256):
    target = here / f"hicolor/{size}x{size}/apps/velmora.png"
    target.parent.mkdir(parents=True, exist_ok=True)
    target.write_bytes(png(size))

squares = "\n".join(
    f'  <rect x="{x}" y="{y}" width="1" height="1" fill="#{c.hex()}"/>'
    for y, row in enumerate(pixels) for x, c in enumerate(row) if c is not None)
svg = here / "hicolor/scalable/apps/velmora.svg"
svg.parent.mkdir(parents=True, exist_ok=True)
svg.write_text(f'''<?xml version="1.0" encoding="UTF-8"?>
<svg xmlns="http://www.w3.org/2000/svg" width="256" height="256" viewBox="0 0 16 16" shape-rendering="crispEdges">
  <title>Velmora</title>
{squares}
</svg>
''')
