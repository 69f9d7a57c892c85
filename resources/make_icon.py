#!/usr/bin/env python3
"""Draw the Velmora icon and write it as a multi-size .ico file.

The artwork is a hard drive with a crossed-out eye over it: a drive you
can't see. Every size is rendered from the same shapes at its own
resolution, 4x4 supersampled, so the small sizes stay clean.

Standard library only. Usage: python3 make_icon.py [output.ico]
The output is deterministic, so the committed .ico can be regenerated.
"""
import math
import os
import struct
import sys
import zlib

SIZES = (256, 128, 72, 64, 48, 32, 24, 16)
SS = 4  # samples per pixel along each axis

# Palette, as (r, g, b) in 0..1.
def rgb(hexstr):
    return tuple(int(hexstr[i:i + 2], 16) / 255.0 for i in (0, 2, 4))

INK = rgb("1d2733")          # outlines
CASE_TOP = (rgb("eef2f6"), rgb("aeb9c5"))
CASE_FRONT = (rgb("9ba7b4"), rgb("65717e"))
HIGHLIGHT = rgb("f7f9fb")
SLOT = rgb("232b35")
LED = (rgb("d2ffc8"), rgb("22c04c"))
EYE_WHITE = rgb("ffffff")
IRIS = (rgb("5aa6ff"), rgb("1c4f9e"))
PUPIL = rgb("0b1016")
SLASH = rgb("e03a3a")

# Geometry in unit coordinates: (0, 0) top left, (1, 1) bottom right.
BODY = (0.05, 0.42, 0.95, 0.90, 0.08)    # x0, y0, x1, y1, corner radius
SPLIT_Y = 0.64                            # top face / front panel boundary
SLOT_Y = 0.74
LED_C, LED_R = (0.81, SLOT_Y), 0.065
EYE_C, EYE_W, EYE_H = (0.50, 0.27), 0.34, 0.19   # centre, half width, half height


def lerp(a, b, t):
    t = min(max(t, 0.0), 1.0)
    return tuple(p + (q - p) * t for p, q in zip(a, b))


def rrect_dist(x, y, x0, y0, x1, y1, r):
    """Signed distance to a rounded rectangle (negative inside)."""
    cx, cy = (x0 + x1) / 2, (y0 + y1) / 2
    qx = abs(x - cx) - ((x1 - x0) / 2 - r)
    qy = abs(y - cy) - ((y1 - y0) / 2 - r)
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - r


def segment_dist(x, y, ax, ay, bx, by):
    """Distance from (x, y) to the segment a-b."""
    dx, dy = bx - ax, by - ay
    t = ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)
    t = min(max(t, 0.0), 1.0)
    return math.hypot(x - ax - t * dx, y - ay - t * dy)


def lens_dist(x, y):
    """Approximate signed distance to the almond-shaped eye outline."""
    # Two circles whose overlap is EYE_W wide and 2 * EYE_H tall.
    r = (EYE_W * EYE_W + EYE_H * EYE_H) / (2 * EYE_H)
    off = r - EYE_H
    cx, cy = EYE_C
    return max(math.hypot(x - cx, y - cy - off), math.hypot(x - cx, y - cy + off)) - r


def make_layers(px):
    """The drawing, back to front, as a list of shade(x, y) functions.

    Each returns (r, g, b, a) or None where the shape is absent. px is one
    pixel in unit coordinates. Strokes have a floor in pixels and the case
    edges sit on the pixel grid, which keeps 16 and 24 pixels legible.
    """
    def stroke(w, least=1.0):
        return max(w, least * px)

    def snap(v, centre=False):  # to a pixel edge, or a pixel centre
        half = px / 2 if centre else 0.0
        return round((v - half) / px) * px + half

    x0, y0, x1, y1 = (snap(v) for v in BODY[:4])
    rad, line = BODY[4], stroke(0.02)
    split_y, slot_y = snap(SPLIT_Y), snap(SLOT_Y, centre=True)
    ex, ey = EYE_C
    slash = (ex - 0.28, ey - 0.20, ex + 0.28, ey + 0.20)

    def shadow(x, y):  # soft drop shadow under the case
        d = rrect_dist(x, y - 0.025, x0, y0, x1, y1, rad)
        return None if d > 0.03 else INK + (0.35 * min(1.0, 1.0 - d / 0.03),)

    def case(x, y):  # outline, then the two-tone case inside it
        d = rrect_dist(x, y, x0, y0, x1, y1, rad)
        if d > 0:
            return None
        if d > -line:
            return INK + (1.0,)
        if y < split_y:
            return lerp(*CASE_TOP, (y - y0) / (split_y - y0)) + (1.0,)
        if y < split_y + stroke(0.014):
            return HIGHLIGHT + (1.0,)
        return lerp(*CASE_FRONT, (y - split_y) / (y1 - split_y)) + (1.0,)

    def slot(x, y):  # the groove on the front panel
        d = segment_dist(x, y, 0.17, slot_y, 0.60, slot_y)
        return SLOT + (1.0,) if d < stroke(0.03) / 2 else None

    def led(x, y):  # green activity light, brighter in the middle
        d = math.hypot(x - LED_C[0], y - LED_C[1])
        if d > LED_R:
            return None
        if d > LED_R - stroke(0.014, 0.4):
            return INK + (1.0,)
        return lerp(*LED, d / LED_R) + (1.0,)

    def eye(x, y):  # outline, white, iris, pupil and a glint
        d = lens_dist(x, y)
        if d > 0:
            return None
        if d > -stroke(0.03, 1.3):
            return INK + (1.0,)
        r = math.hypot(x - ex, y - ey)
        if math.hypot(x - ex + 0.04, y - ey + 0.04) < 0.028:
            return EYE_WHITE + (1.0,)
        if r < 0.055:
            return PUPIL + (1.0,)
        if r < 0.12:
            return lerp(*IRIS, r / 0.12) + (1.0,)
        return EYE_WHITE + (1.0,)

    def slash_edge(x, y):  # dark border so the slash reads on the eye
        d = segment_dist(x, y, *slash)
        return INK + (1.0,) if d < stroke(0.055, 1.2) / 2 + stroke(0.02, 0.6) else None

    def slash_bar(x, y):  # the "hidden" cross-out
        d = segment_dist(x, y, *slash)
        return SLASH + (1.0,) if d < stroke(0.055, 1.2) / 2 else None

    return [shadow, case, slot, led, eye, slash_edge, slash_bar]


def render(size):
    """Rasterise the icon; returns rows top-down of straight (r, g, b, a) bytes."""
    layers = make_layers(1.0 / size)
    n = SS * SS
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]  # premultiplied sum over the samples
            for sy in range(SS):
                y = (py + (sy + 0.5) / SS) / size
                for sx in range(SS):
                    x = (px + (sx + 0.5) / SS) / size
                    r = g = b = a = 0.0
                    for shade in layers:  # "over" compositing, back to front
                        c = shade(x, y)
                        if c is not None:
                            k = 1.0 - c[3]
                            r, g, b = c[0] * c[3] + r * k, c[1] * c[3] + g * k, c[2] * c[3] + b * k
                            a = c[3] + a * k
                    acc[0] += r; acc[1] += g; acc[2] += b; acc[3] += a
            alpha = acc[3] / n
            if alpha <= 0.0:
                row.append((0, 0, 0, 0))
                continue
            # Icons want straight (not premultiplied) alpha.
            row.append(tuple(min(255, int(v / acc[3] * 255 + 0.5)) for v in acc[:3])
                       + (int(alpha * 255 + 0.5),))
        rows.append(row)
    return rows


def png_bytes(rows):
    """Encode RGBA rows as a PNG (colour type 6, 8 bits per channel)."""
    def chunk(tag, data):
        return (struct.pack(">I", len(data)) + tag + data
                + struct.pack(">I", zlib.crc32(tag + data) & 0xFFFFFFFF))
    size = len(rows)
    raw = b"".join(b"\x00" + bytes(v for p in row for v in p) for row in rows)
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def dib_bytes(rows):
    """Encode RGBA rows as an icon DIB: 32-bit BGRA plus a 1-bit AND mask."""
    size = len(rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                         size * size * 4, 0, 0, 0, 0)
    pixels = b"".join(bytes(v for r, g, b, a in row for v in (b, g, r, a))
                      for row in reversed(rows))  # bottom-up
    mask_stride = (size + 31) // 32 * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, p in enumerate(row):
            if p[3] == 0:  # fully transparent pixels are masked out
                bits[x >> 3] |= 0x80 >> (x & 7)
        mask += bits
    return header + pixels + bytes(mask)


def build_ico():
    images = [png_bytes(render(s)) if s == 256 else dib_bytes(render(s)) for s in SIZES]
    offset = 6 + 16 * len(images)
    out = struct.pack("<HHH", 0, 1, len(images))
    for size, data in zip(SIZES, images):
        # A width/height byte of 0 means 256.
        out += struct.pack("<BBBBHHII", size & 0xFF, size & 0xFF, 0, 0, 1, 32,
                           len(data), offset)
        offset += len(data)
    return out + b"".join(images)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "velmora.ico")
    data = build_ico()
    with open(path, "wb") as f:
        f.write(data)
    print(f"wrote {path} ({len(data)} bytes)")


if __name__ == "__main__":
    main()
