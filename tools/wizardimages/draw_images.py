#!/usr/bin/env python3
"""Draws the wizard's thirteen images and writes them as PNG files.

    python3 tools/wizardimages/draw_images.py [output folder]

The default output folder is src/resources/images. Every shape is a signed
distance function, so edges are anti-aliased without supersampling; the
script needs nothing beyond the Python standard library.
"""
import math
import os
import struct
import sys
import zlib

# --- PNG output ------------------------------------------------------------


def write_png(path, width, height, pixels):
    """pixels: rows of (r, g, b, a) floats in 0..1, not premultiplied."""
    raw = bytearray()
    for row in pixels:
        raw.append(0)
        for r, g, b, a in row:
            raw += bytes(max(0, min(255, round(c * 255))) for c in (r, g, b, a))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n")
        out.write(chunk(b"IHDR", header))
        out.write(chunk(b"IDAT", zlib.compress(bytes(raw), 9)))
        out.write(chunk(b"IEND", b""))


# --- Shapes (signed distance: negative inside) --------------------------------


def circle(cx, cy, r):
    return lambda x, y: math.hypot(x - cx, y - cy) - r


def box(x0, y0, x1, y1, radius=0.0):
    cx, cy = (x0 + x1) / 2, (y0 + y1) / 2
    hw, hh = (x1 - x0) / 2 - radius, (y1 - y0) / 2 - radius

    def sdf(x, y):
        dx, dy = abs(x - cx) - hw, abs(y - cy) - hh
        outside = math.hypot(max(dx, 0.0), max(dy, 0.0))
        return outside + min(max(dx, dy), 0.0) - radius

    return sdf


def segment(ax, ay, bx, by, r):
    vx, vy = bx - ax, by - ay
    length2 = vx * vx + vy * vy

    def sdf(x, y):
        t = max(0.0, min(1.0, ((x - ax) * vx + (y - ay) * vy) / length2))
        return math.hypot(x - ax - t * vx, y - ay - t * vy) - r

    return sdf


def polyline(points, r):
    parts = [segment(*points[i], *points[i + 1], r) for i in range(len(points) - 1)]
    return lambda x, y: min(p(x, y) for p in parts)


def triangle(p0, p1, p2):
    pts = [p0, p1, p2]

    def sdf(x, y):
        # Distance to the edges, negative when inside (same side of all three).
        best = float("inf")
        sign = 1.0
        inside = True
        area = (p1[0] - p0[0]) * (p2[1] - p0[1]) - (p1[1] - p0[1]) * (p2[0] - p0[0])
        for i in range(3):
            ax, ay = pts[i]
            bx, by = pts[(i + 1) % 3]
            vx, vy = bx - ax, by - ay
            t = max(0.0, min(1.0, ((x - ax) * vx + (y - ay) * vy) / (vx * vx + vy * vy)))
            best = min(best, math.hypot(x - ax - t * vx, y - ay - t * vy))
            cross = vx * (y - ay) - vy * (x - ax)
            if cross * area < 0:
                inside = False
        if inside:
            sign = -1.0
        return sign * best

    return sdf


def union(*shapes):
    return lambda x, y: min(s(x, y) for s in shapes)


def intersect(*shapes):
    return lambda x, y: max(s(x, y) for s in shapes)


def subtract(shape, cut):
    return lambda x, y: max(shape(x, y), -cut(x, y))


def ring(cx, cy, r, width):
    return subtract(circle(cx, cy, r), circle(cx, cy, r - width))


# --- Canvas -----------------------------------------------------------------


def hex_colour(text, alpha=1.0):
    text = text.lstrip("#")
    return tuple(int(text[i : i + 2], 16) / 255 for i in (0, 2, 4)) + (alpha,)


def mix(a, b, t):
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(4))


class Canvas:
    def __init__(self, width, height, background=(0, 0, 0, 0)):
        self.width, self.height = width, height
        self.pixels = [[background for _ in range(width)] for _ in range(height)]

    def blend(self, x, y, colour, coverage):
        r, g, b, a = colour
        a *= coverage
        if a <= 0:
            return
        dr, dg, db, da = self.pixels[y][x]
        out_a = a + da * (1 - a)
        if out_a <= 0:
            return
        mixed = [(c * a + d * da * (1 - a)) / out_a for c, d in ((r, dr), (g, dg), (b, db))]
        self.pixels[y][x] = (mixed[0], mixed[1], mixed[2], out_a)

    def fill(self, shape, paint, bounds=None, soften=1.0):
        """paint: a colour, or a function (x, y) -> colour."""
        x0, y0, x1, y1 = bounds or (0, 0, self.width, self.height)
        x0, y0 = max(0, int(x0)), max(0, int(y0))
        x1, y1 = min(self.width, int(math.ceil(x1))), min(self.height, int(math.ceil(y1)))
        for y in range(y0, y1):
            for x in range(x0, x1):
                px, py = x + 0.5, y + 0.5
                coverage = max(0.0, min(1.0, 0.5 - shape(px, py) / soften))
                if coverage > 0:
                    self.blend(x, y, paint(px, py) if callable(paint) else paint, coverage)

    def gradient(self, top, bottom):
        for y in range(self.height):
            colour = mix(top, bottom, y / max(1, self.height - 1))
            for x in range(self.width):
                self.blend(x, y, colour, 1.0)

    def fade_out_below(self, y0):
        """Fades the rows from y0 down to full transparency at the bottom."""
        for y in range(y0, self.height):
            t = (y + 0.5 - y0) / (self.height - y0)
            keep = 1 - t * t * (3 - 2 * t)
            self.pixels[y] = [(r, g, b, a * keep) for r, g, b, a in self.pixels[y]]

    def save(self, path):
        write_png(path, self.width, self.height, self.pixels)


# --- Motifs -------------------------------------------------------------------

BLUE = hex_colour("#2a64b0")
DEEP_BLUE = hex_colour("#163a6e")
LIGHT = hex_colour("#f4f8fd")
PAPER = hex_colour("#ffffff")
ORANGE = hex_colour("#f08a24")
GREEN = hex_colour("#2e9e4f")
RED = hex_colour("#d23b35")
AMBER = hex_colour("#e8a317")
GREY = hex_colour("#8a94a0")
YELLOW = hex_colour("#f2c14e")
DARK_YELLOW = hex_colour("#d39b22")


def envelope(canvas, x0, y0, x1, y1, paper, line, stroke):
    radius = max(1.0, (y1 - y0) * 0.08)
    canvas.fill(box(x0, y0, x1, y1, radius), paper, (x0 - 2, y0 - 2, x1 + 2, y1 + 2))
    outline = subtract(box(x0, y0, x1, y1, radius), box(x0 + stroke, y0 + stroke, x1 - stroke, y1 - stroke,
                                                           max(0.5, radius - stroke)))
    canvas.fill(outline, line, (x0 - 2, y0 - 2, x1 + 2, y1 + 2))
    mid = (x0 + x1) / 2
    flap = polyline([(x0 + stroke, y0 + stroke), (mid, y0 + (y1 - y0) * 0.55), (x1 - stroke, y0 + stroke)],
                    stroke / 2)
    canvas.fill(flap, line, (x0, y0, x1, y1))


def arrow(canvas, x0, y, x1, width, colour):
    head = width * 2.2
    canvas.fill(segment(x0, y, x1 - head * 0.8, y, width / 2), colour,
                (x0 - width, y - width, x1, y + width))
    canvas.fill(triangle((x1 - head * 1.2, y - head), (x1, y), (x1 - head * 1.2, y + head)), colour,
                (x1 - head * 1.3, y - head - 1, x1 + 1, y + head + 1))


def app_icon(size):
    canvas = Canvas(size, size)
    s = size / 48
    top, bottom = hex_colour("#3b7fd4"), DEEP_BLUE
    canvas.fill(box(1 * s, 1 * s, size - 1 * s, size - 1 * s, 9 * s),
                lambda x, y: mix(top, bottom, y / size))
    envelope(canvas, 8 * s, 13 * s, 40 * s, 35 * s, PAPER, BLUE, max(1.0, 2.2 * s))
    arrow(canvas, 18 * s, 38 * s, 44 * s, max(1.6, 4 * s), ORANGE)
    return canvas


def status_disc(colour):
    canvas = Canvas(16, 16)
    canvas.fill(circle(8, 8, 7.3), lambda x, y: mix(colour, hex_colour("#000000"), 0.12 * y / 16))
    return canvas


def draw_all(folder):
    os.makedirs(folder, exist_ok=True)

    def save(name, canvas):
        canvas.save(os.path.join(folder, name))

    # The wizard's background: a pale sky with soft rings low on the left.
    background = Canvas(620, 456)
    background.gradient(hex_colour("#f2f6fb"), hex_colour("#d9e4f2"))
    for i, radius in enumerate((260, 200, 140)):
        background.fill(ring(-40, 500, radius, 18), hex_colour("#ffffff", 0.35 - i * 0.08), (0, 200, 300, 456))
    save("mac_background.png", background)

    # The watermark: a deep blue column with an envelope on its way. The
    # wizard's pages are taller than the watermark, so it fades out at the
    # bottom into the page instead of ending in an edge.
    watermark = Canvas(153, 330)
    watermark.gradient(hex_colour("#2f6fc0"), DEEP_BLUE)
    for i, radius in enumerate((150, 110, 70)):
        watermark.fill(ring(153, 330, radius, 10), hex_colour("#ffffff", 0.10 - i * 0.02), (0, 150, 153, 330))
    envelope(watermark, 28, 92, 125, 155, PAPER, BLUE, 4)
    arrow(watermark, 40, 182, 128, 9, ORANGE)
    for i in range(5):
        watermark.fill(circle(36 + i * 20, 226, 3), hex_colour("#ffffff", 0.55 - i * 0.09), (0, 215, 153, 237))
    watermark.fade_out_below(250)
    save("watermark.png", watermark)

    # The logo of the page headers.
    logo = Canvas(64, 48)
    envelope(logo, 6, 8, 50, 38, LIGHT, BLUE, 2.5)
    arrow(logo, 24, 40, 62, 5, ORANGE)
    save("logo.png", logo)

    for size in (16, 32, 48):
        save("iconapp%d.png" % size, app_icon(size))

    ok = status_disc(GREEN)
    ok.fill(polyline([(4.3, 8.3), (7.0, 11.0), (11.8, 5.2)], 1.15), PAPER)
    save("ok.png", ok)

    fail = status_disc(RED)
    fail.fill(union(segment(5, 5, 11, 11, 1.15), segment(11, 5, 5, 11, 1.15)), PAPER)
    save("fail.png", fail)

    not_tested = Canvas(16, 16)
    not_tested.fill(ring(8, 8, 7.0, 1.4), GREY)
    not_tested.fill(circle(8, 8, 1.8), GREY)
    save("nottested.png", not_tested)

    warning = status_disc(AMBER)
    warning.fill(segment(8, 3.8, 8, 8.8, 1.15), PAPER)
    warning.fill(circle(8, 11.7, 1.25), PAPER)
    save("circlewarning.png", warning)

    note = status_disc(BLUE)
    note.fill(circle(8, 4.6, 1.25), PAPER)
    note.fill(segment(8, 7.4, 8, 12, 1.15), PAPER)
    save("circlestatus.png", note)

    user = Canvas(16, 16)
    user.fill(circle(8, 5, 3.1), BLUE)
    user.fill(intersect(circle(8, 16.5, 6.8), box(0, 9.3, 16, 15.2)), BLUE)
    save("user.png", user)

    folder_image = Canvas(16, 16)
    folder_image.fill(box(1, 2.5, 7.5, 6, 1), DARK_YELLOW)
    folder_image.fill(box(1, 4, 15, 14, 1.2), DARK_YELLOW)
    folder_image.fill(box(2, 5.5, 14, 13, 0.8), YELLOW)
    save("folder.png", folder_image)


if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    default = os.path.join(here, "..", "..", "src", "resources", "images")
    draw_all(os.path.normpath(sys.argv[1] if len(sys.argv) > 1 else default))
