#!/usr/bin/env python3
"""Draws the program's icon (app.ico: 16, 32 and 48 pixels, 32-bit colour
with alpha): a blue rounded tile with a white arrow rising out of a chip,
for "new firmware goes up to the device". Standard library only; run it
again after changing the drawing and commit the .ico it writes."""
import struct
import sys
from pathlib import Path

SAMPLES = 4  # per axis, for smooth edges


def inside_rounded_square(x, y, radius):
    r = radius
    cx = min(max(x, r), 1 - r)
    cy = min(max(y, r), 1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def inside_arrow(x, y):
    # Head: a triangle from (0.5, 0.16) down to the base at y = 0.46.
    if 0.16 <= y <= 0.46:
        half = (y - 0.16) / 0.30 * 0.24
        if abs(x - 0.5) <= half:
            return True
    # Shaft.
    return 0.44 <= y <= 0.66 and abs(x - 0.5) <= 0.075


def inside_chip(x, y):
    body = 0.70 <= y <= 0.82 and 0.24 <= x <= 0.76
    pins = 0.82 < y <= 0.87 and any(abs(x - p) <= 0.03 for p in (0.33, 0.44, 0.56, 0.67))
    return body or pins


def colour_at(x, y):
    """RGBA of one sample point in the unit square (y grows downwards)."""
    if not inside_rounded_square(x, y, 0.2):
        return (0, 0, 0, 0)
    if inside_arrow(x, y) or inside_chip(x, y):
        return (255, 255, 255, 255)
    shade = 1.0 - 0.35 * y  # lighter at the top
    return (int(20 * shade), int(110 * shade), int(215 * shade), 255)


def render(size):
    """Rows of BGRA pixels, bottom row first (the BMP order)."""
    rows = []
    for py in range(size - 1, -1, -1):
        row = bytearray()
        for px in range(size):
            total = [0, 0, 0, 0]
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    x = (px + (sx + 0.5) / SAMPLES) / size
                    y = (py + (sy + 0.5) / SAMPLES) / size
                    r, g, b, a = colour_at(x, y)
                    total[0] += r * a
                    total[1] += g * a
                    total[2] += b * a
                    total[3] += a
            n = SAMPLES * SAMPLES
            alpha = total[3] // n
            if total[3]:
                r, g, b = (c // total[3] for c in total[:3])
            else:
                r = g = b = 0
            row += bytes((b, g, r, alpha))
        rows.append(bytes(row))
    return rows


def icon_image(size):
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(render(size))
    mask_row = ((size + 31) // 32) * 4
    mask = bytes(mask_row * size)  # alpha decides; the AND mask stays clear
    return header + pixels + mask


def write_ico(path, sizes):
    images = [icon_image(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(images)
    Path(path).write_bytes(out)


if __name__ == "__main__":
    target = sys.argv[1] if len(sys.argv) > 1 else str(Path(__file__).with_name("app.ico"))
    write_ico(target, [16, 32, 48])
    print(f"wrote {target}")
