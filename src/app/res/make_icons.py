#!/usr/bin/env python3
"""Draws the dialog's three icons and writes them as .ico files.

    make_icons.py OUTPUT_DIR

  orvane.ico  (128) the program: a router with two antennas and its signal
  check.ico   (133) the Check button: two arrows chasing each other round
  update.ico  (134) the Update button: an arrow down into a router

Shapes are described in a unit square (x right, y down), rendered with
4 x 4 samples per pixel for smooth edges, and stored as 32-bit images with
an alpha channel (and the 1-bit mask older systems read). Standard library
only; the output is the same on every run.
"""
import math
import os
import struct
import sys

SAMPLES = 4


def rgb(hex_text, alpha=255):
    v = int(hex_text.lstrip("#"), 16)
    return ((v >> 16) & 255, (v >> 8) & 255, v & 255, alpha)


# --- shapes: functions (x, y) -> bool --------------------------------------

def rounded_rect(x0, y0, x1, y1, r):
    def inside(x, y):
        if x < x0 or x > x1 or y < y0 or y > y1:
            return False
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    return inside


def circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def capsule(ax, ay, bx, by, r):
    def inside(x, y):
        dx, dy = bx - ax, by - ay
        t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)))
        px, py = ax + t * dx, ay + t * dy
        return (x - px) ** 2 + (y - py) ** 2 <= r * r
    return inside


def triangle(a, b, c):
    def side(p, q, x, y):
        return (q[0] - p[0]) * (y - p[1]) - (q[1] - p[1]) * (x - p[0])
    def inside(x, y):
        s1, s2, s3 = side(a, b, x, y), side(b, c, x, y), side(c, a, x, y)
        return (s1 >= 0 and s2 >= 0 and s3 >= 0) or (s1 <= 0 and s2 <= 0 and s3 <= 0)
    return inside


def arc(cx, cy, r_in, r_out, start_deg, end_deg):
    """Ring sector; angles in degrees, 0 = right, growing clockwise (y down)."""
    def inside(x, y):
        d2 = (x - cx) ** 2 + (y - cy) ** 2
        if d2 < r_in * r_in or d2 > r_out * r_out:
            return False
        a = math.degrees(math.atan2(y - cy, x - cx)) % 360
        return (a - start_deg) % 360 <= (end_deg - start_deg) % 360
    return inside


def arrow_head(cx, cy, r, angle_deg, size):
    """A triangle at the clockwise end of a ring of radius r, pointing along it."""
    a = math.radians(angle_deg)
    px, py = cx + r * math.cos(a), cy + r * math.sin(a)      # on the ring
    tx, ty = -math.sin(a), math.cos(a)                       # clockwise tangent
    nx, ny = math.cos(a), math.sin(a)                        # outward normal
    tip = (px + tx * size, py + ty * size)
    return triangle((px + nx * size, py + ny * size), (px - nx * size, py - ny * size), tip)


# --- the three pictures: lists of (shape, colour), painted in order ----------

def router_layers(x0, y0, x1, y1):
    """A router body with its lights in the box (x0, y0)-(x1, y1)."""
    h = y1 - y0
    w = x1 - x0
    layers = [
        (rounded_rect(x0, y0, x1, y1, h * 0.28), rgb("#14264a")),
        (rounded_rect(x0 + w * 0.03, y0 + h * 0.08, x1 - w * 0.03, y1 - h * 0.10, h * 0.22), rgb("#2f5597")),
        (rounded_rect(x0 + w * 0.06, y0 + h * 0.12, x1 - w * 0.06, y0 + h * 0.38, h * 0.12), rgb("#4f7bc4")),
    ]
    for i, colour in enumerate(("#5fe07a", "#5fe07a", "#5fe07a", "#ffc233")):
        lx = x0 + w * (0.20 + 0.14 * i)
        layers.append((circle(lx, y0 + h * 0.62, h * 0.12), rgb(colour)))
    return layers


def orvane_icon():
    layers = []
    # Signal waves above the router.
    for r in (0.13, 0.23):
        layers.append((arc(0.5, 0.40, r - 0.035, r + 0.035, 215, 325), rgb("#2d8cf0")))
    layers.append((circle(0.5, 0.40, 0.05), rgb("#2d8cf0")))
    # Antennas.
    layers.append((capsule(0.22, 0.56, 0.14, 0.10, 0.045), rgb("#3a3a3a")))
    layers.append((capsule(0.78, 0.56, 0.86, 0.10, 0.045), rgb("#3a3a3a")))
    layers.append((circle(0.14, 0.10, 0.06), rgb("#555555")))
    layers.append((circle(0.86, 0.10, 0.06), rgb("#555555")))
    # Feet and body.
    layers.append((rounded_rect(0.16, 0.84, 0.28, 0.93, 0.03), rgb("#14264a")))
    layers.append((rounded_rect(0.72, 0.84, 0.84, 0.93, 0.03), rgb("#14264a")))
    layers += router_layers(0.04, 0.52, 0.96, 0.88)
    return layers


def check_icon():
    cx, cy, r = 0.5, 0.5, 0.30
    green, dark = rgb("#1f9d55"), rgb("#146c3a")
    layers = []
    for start, end in ((200, 330), (20, 150)):
        layers.append((arc(cx, cy, r - 0.085, r + 0.085, start, end), dark))
        layers.append((arc(cx, cy, r - 0.06, r + 0.06, start + 2, end - 2), green))
        layers.append((arrow_head(cx, cy, r, end, 0.17), dark))
        layers.append((arrow_head(cx, cy, r, end + 1.5, 0.13), green))
    return layers


def update_icon():
    blue, dark = rgb("#2d8cf0"), rgb("#1559a8")
    layers = [
        (rounded_rect(0.37, 0.03, 0.63, 0.42, 0.04), dark),
        (triangle((0.13, 0.36), (0.87, 0.36), (0.5, 0.70)), dark),
        (rounded_rect(0.41, 0.06, 0.59, 0.44, 0.03), blue),
        (triangle((0.21, 0.40), (0.79, 0.40), (0.5, 0.64)), blue),
    ]
    layers += router_layers(0.06, 0.70, 0.94, 0.97)
    return layers


# --- rendering and the .ico container ----------------------------------------

def render(layers, size):
    """Rows of (r, g, b, a), top row first."""
    rows = []
    n = SAMPLES
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]  # premultiplied
            for sy in range(n):
                for sx in range(n):
                    x = (px + (sx + 0.5) / n) / size
                    y = (py + (sy + 0.5) / n) / size
                    c = [0.0, 0.0, 0.0, 0.0]
                    for inside, (r, g, b, a) in layers:
                        if inside(x, y):
                            fa = a / 255.0
                            c = [r * fa + c[0] * (1 - fa), g * fa + c[1] * (1 - fa),
                                 b * fa + c[2] * (1 - fa), fa + c[3] * (1 - fa)]
                    for i in range(4):
                        acc[i] += c[i]
            total = n * n
            alpha = acc[3] / total
            if alpha <= 0:
                row.append((0, 0, 0, 0))
            else:
                row.append(tuple(int(round(acc[i] / total / alpha)) for i in range(3)) +
                           (int(round(alpha * 255)),))
        rows.append(row)
    return rows


def bitmap_entry(rows):
    size = len(rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = bytearray()
    for row in reversed(rows):
        for r, g, b, a in row:
            pixels += bytes((b, g, r, a))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a < 128:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + bytes(pixels) + bytes(mask)


def write_ico(path, layers, sizes):
    images = [bitmap_entry(render(layers, s)) for s in sizes]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for s, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for data in images:
        out += data
    with open(path, "wb") as f:
        f.write(out)


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    os.makedirs(out_dir, exist_ok=True)
    write_ico(os.path.join(out_dir, "orvane.ico"), orvane_icon(), (48, 32, 16))
    # The buttons load their icon at the size stored: one 32-pixel image.
    write_ico(os.path.join(out_dir, "check.ico"), check_icon(), (32,))
    write_ico(os.path.join(out_dir, "update.ico"), update_icon(), (32,))


if __name__ == "__main__":
    main()
