#!/usr/bin/env python3
"""Draws the program icon, a globe with a map pin, as a 16-colour .ico with a
32x32 and a 16x16 image. Run it after changing the drawing:
    python3 scripts/make-icon.py src/res/Lumeno.ico
"""
import math
import struct
import sys

# The standard 16-colour palette (index: B, G, R, 0).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255),
    (255, 255, 255),
]  # (R, G, B)
BLACK, DARK_BLUE, GREEN, BLUE, RED, WHITE, CYAN = 0, 4, 2, 12, 9, 15, 14


def draw(size):
    """Returns (pixels, mask): rows top to bottom, palette indexes and 1 = transparent."""
    s = size / 32.0
    pixels = [[0] * size for _ in range(size)]
    mask = [[1] * size for _ in range(size)]
    cx, cy, r = 13.5 * s, 17.5 * s, 12.5 * s
    for y in range(size):
        for x in range(size):
            px, py = x + 0.5, y + 0.5
            d = math.hypot(px - cx, py - cy)
            if d <= r:
                mask[y][x] = 0
                if d > r - 1.2 * max(s, 0.8):
                    pixels[y][x] = DARK_BLUE
                    continue
                # Meridians and parallels of the globe.
                u, v = (px - cx) / r, (py - cy) / r
                pixels[y][x] = BLUE
                for lat in (-0.5, 0.0, 0.5):
                    if abs(v - lat) < 0.9 / size * 2:
                        pixels[y][x] = CYAN
                w = math.sqrt(max(0.0, 1 - v * v))
                for k in (-0.55, 0.0, 0.55):
                    if abs(u - k * w) < 0.9 / size * 2:
                        pixels[y][x] = CYAN
                # A land mass, green, on the upper right.
                if (u - 0.25) ** 2 / 0.12 + (v + 0.2) ** 2 / 0.2 < 1:
                    pixels[y][x] = GREEN
    # The pin: a red head with a white highlight and a black needle.
    hx, hy, hr = 22.0 * s, 8.0 * s, 5.5 * s
    for y in range(size):
        for x in range(size):
            px, py = x + 0.5, y + 0.5
            d = math.hypot(px - hx, py - hy)
            on_needle = abs(px - hx) < max(0.9 * s, 0.6) and hy <= py <= hy + 13 * s
            if on_needle:
                pixels[y][x], mask[y][x] = BLACK, 0
            if d <= hr:
                pixels[y][x], mask[y][x] = RED, 0
                if math.hypot(px - (hx - 1.8 * s), py - (hy - 1.8 * s)) < 1.5 * s:
                    pixels[y][x] = WHITE
    return pixels, mask


def bitmap(size):
    pixels, mask = draw(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b"".join(struct.pack("BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    xor = b""
    for row in reversed(pixels):
        packed = bytes((row[i] << 4) | row[i + 1] for i in range(0, size, 2))
        xor += packed + b"\0" * ((4 - len(packed) % 4) % 4)
    andmask = b""
    for row in reversed(mask):
        bits = 0
        for bit in row:
            bits = (bits << 1) | bit
        packed = bits.to_bytes(size // 8, "big")
        andmask += packed + b"\0" * ((4 - len(packed) % 4) % 4)
    return header + palette + xor + andmask


def main(path):
    images = [bitmap(32), bitmap(16)]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip((32, 16), images):
        out += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    out += b"".join(images)
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main(sys.argv[1])
