#!/usr/bin/env python3
"""Draws the application icon (an orange handset on a dark rounded square)
and writes it as a multi-size .ico: res/zavex_updater.ico."""
import math
import struct
import sys
import zlib

SIZES = (16, 24, 32, 48, 64, 256)
DARK = (0x1E, 0x1E, 0x24)
ORANGE = (0xFF, 0x8C, 0x1A)


def coverage(inside, x, y, samples=4):
    """Share of a pixel's sub-samples for which inside(u, v) holds (u, v in 0..1)."""
    hits = 0
    for sy in range(samples):
        for sx in range(samples):
            if inside((x + (sx + 0.5) / samples), (y + (sy + 0.5) / samples)):
                hits += 1
    return hits / (samples * samples)


def rounded_square(u, v, radius=0.2):
    cx = min(max(u, radius), 1 - radius)
    cy = min(max(v, radius), 1 - radius)
    return (u - cx) ** 2 + (v - cy) ** 2 <= radius ** 2


def capsule(u, v, ax, ay, bx, by, r):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((u - ax) * dx + (v - ay) * dy) / (dx * dx + dy * dy)))
    px, py = ax + t * dx, ay + t * dy
    return (u - px) ** 2 + (v - py) ** 2 <= r * r


def handset(u, v):
    """A classic receiver: an arc-shaped handle with an earpiece and a mouthpiece."""
    cx, cy, radius = 0.62, 0.62, 0.36
    angle = math.atan2(v - cy, u - cx)
    dist = math.hypot(u - cx, v - cy)
    on_arc = abs(dist - radius) <= 0.07 and math.pi * 0.55 <= (angle % (2 * math.pi)) <= math.pi * 1.45
    ends = []
    for a in (math.pi * 0.55, math.pi * 1.45):
        ex, ey = cx + radius * math.cos(a), cy + radius * math.sin(a)
        tx, ty = -math.sin(a), math.cos(a)
        ends.append(capsule(u, v, ex - tx * 0.02, ey - ty * 0.02, ex + math.cos(a) * 0.0 + tx * 0.13 * (1 if a < math.pi else -1),
                            ey + ty * 0.13 * (1 if a < math.pi else -1), 0.09))
    return on_arc or any(ends)


def render(size):
    pixels = []
    for y in range(size):
        row = []
        for x in range(size):
            bg = coverage(lambda u, v: rounded_square(u / size, v / size), x, y)
            fg = coverage(lambda u, v: handset(u / size, v / size), x, y)
            r, g, b = (round(DARK[i] * (1 - fg) + ORANGE[i] * fg) for i in range(3))
            alpha = round(255 * max(bg, fg))
            row.append((r, g, b, alpha))
        pixels.append(row)
    return pixels


def bmp_entry(pixels):
    size = len(pixels)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = b''.join(bytes((b, g, r, a)) for row in reversed(pixels) for (r, g, b, a) in row)
    mask_row = ((size + 31) // 32) * 4
    and_mask = bytes(mask_row * size)
    return header + xor + and_mask


def png_entry(pixels):
    size = len(pixels)
    raw = b''.join(b'\0' + bytes(c for px in row for c in px) for row in pixels)

    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))

    ihdr = struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0)
    return b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', ihdr) + chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b'')


def main(path):
    images = [png_entry(render(s)) if s >= 256 else bmp_entry(render(s)) for s in SIZES]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip(SIZES, images):
        dim = 0 if size >= 256 else size
        out += struct.pack('<BBBBHHII', dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(path, 'wb') as f:
        f.write(out + b''.join(images))


if __name__ == '__main__':
    main(sys.argv[1] if len(sys.argv) > 1 else 'res/zavex_updater.ico')
