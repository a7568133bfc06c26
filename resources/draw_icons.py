#!/usr/bin/env python3
"""Draws the applet's icons and cursors and writes them as .ico/.cur files.

    python3 resources/draw_icons.py [OUTPUT_FOLDER]    (default: the folder of this script)

Standard library only. Every image is a 32-bit BGRA DIB with its AND mask, so it shows with
soft edges where alpha is honoured and with a clean cut-out where only the mask is. Shapes are
drawn in pixel units with 4x4 supersampling; the 16x16 versions are drawn on their own, with
thicker strokes placed on the pixel grid, so that they stay readable at that size.
"""

import math
import os
import struct
import sys

SUBSAMPLES = 4


class Canvas:
    """A square RGBA picture, rows top to bottom, colours not premultiplied."""

    def __init__(self, size):
        self.size = size
        self.pixels = [[(0.0, 0.0, 0.0, 0.0) for _ in range(size)] for _ in range(size)]

    def paint(self, inside, colour):
        """Lays colour (r, g, b[, a]) over every pixel by the share of it that inside(x, y)
        covers; x and y are in pixels, (0, 0) the top-left corner of the picture."""
        r, g, b = (c / 255.0 for c in colour[:3])
        alpha = colour[3] / 255.0 if len(colour) > 3 else 1.0
        step = 1.0 / SUBSAMPLES
        for py in range(self.size):
            for px in range(self.size):
                hits = 0
                for sy in range(SUBSAMPLES):
                    for sx in range(SUBSAMPLES):
                        if inside(px + (sx + 0.5) * step, py + (sy + 0.5) * step):
                            hits += 1
                if hits == 0:
                    continue
                a = alpha * hits / (SUBSAMPLES * SUBSAMPLES)
                dr, dg, db, da = self.pixels[py][px]
                out = a + da * (1.0 - a)
                mix = lambda s, d: (s * a + d * da * (1.0 - a)) / out
                self.pixels[py][px] = (mix(r, dr), mix(g, dg), mix(b, db), out)


# --- Shapes: functions of a point that answer whether it lies inside ---


def disc(cx, cy, radius):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius


def ring(cx, cy, outer, inner):
    return lambda x, y: inner * inner <= (x - cx) ** 2 + (y - cy) ** 2 <= outer * outer


def segment_distance(x, y, x0, y0, x1, y1):
    dx, dy = x1 - x0, y1 - y0
    length2 = dx * dx + dy * dy
    t = 0.0 if length2 == 0 else max(0.0, min(1.0, ((x - x0) * dx + (y - y0) * dy) / length2))
    return math.hypot(x - (x0 + t * dx), y - (y0 + t * dy))


def stroke(points, width):
    """A polyline of the given width with round ends and joins."""
    half = width / 2.0
    pairs = list(zip(points, points[1:])) or [(points[0], points[0])]
    return lambda x, y: any(
        segment_distance(x, y, a[0], a[1], b[0], b[1]) <= half for a, b in pairs)


def rectangle(x0, y0, x1, y1):
    return lambda x, y: x0 <= x <= x1 and y0 <= y <= y1


def polygon(points):
    def inside(x, y):
        hit = False
        for (xa, ya), (xb, yb) in zip(points, points[1:] + points[:1]):
            if (ya > y) != (yb > y) and x < xa + (y - ya) * (xb - xa) / (yb - ya):
                hit = not hit
        return hit
    return inside


def arc(cx, cy, radius, width, start_deg, end_deg):
    """A circular stroke from start to end angle, clockwise on screen, 0 degrees pointing up."""
    points = []
    steps = 24
    for i in range(steps + 1):
        angle = math.radians(start_deg + (end_deg - start_deg) * i / steps)
        points.append((cx + radius * math.sin(angle), cy - radius * math.cos(angle)))
    return stroke(points, width)


def union(*shapes):
    return lambda x, y: any(shape(x, y) for shape in shapes)


# --- Colours ---

WHITE = (255, 255, 255)
BLACK = (0, 0, 0)
SHADOW = (0, 0, 0, 60)


def framed_disc(canvas, fill, edge):
    s = canvas.size
    c = s / 2.0
    canvas.paint(disc(c + s / 32.0, c + s / 32.0, s / 2.0 - s / 32.0), SHADOW)
    canvas.paint(disc(c, c, s / 2.0 - s / 16.0), edge)
    canvas.paint(disc(c, c, s / 2.0 - s / 16.0 - max(1.0, s / 16.0)), fill)


# --- Status icons ---


def status_unknown(size):
    canvas = Canvas(size)
    framed_disc(canvas, (150, 150, 150), (90, 90, 90))
    u = size / 16.0
    # A question mark: a hook over a short stem, and the dot.
    hook = arc(8.0 * u, 5.6 * u, 2.4 * u, 2.0 * u, -70, 160)
    stem = stroke([(8.0 * u + 2.4 * u * math.sin(math.radians(160)),
                    5.6 * u - 2.4 * u * math.cos(math.radians(160))), (8.0 * u, 8.8 * u)], 2.0 * u)
    canvas.paint(union(hook, stem), WHITE)
    # A clear gap above the dot, or at 16x16 it runs into the stem.
    canvas.paint(disc(8.0 * u, 12.0 * u, 1.2 * u), WHITE)
    return canvas


def status_good(size):
    canvas = Canvas(size)
    framed_disc(canvas, (40, 160, 60), (20, 100, 35))
    u = size / 16.0
    canvas.paint(stroke([(4.4 * u, 8.2 * u), (7.0 * u, 10.8 * u), (11.6 * u, 5.4 * u)],
                        2.2 * u), WHITE)
    return canvas


def status_bad(size):
    canvas = Canvas(size)
    framed_disc(canvas, (215, 45, 40), (140, 25, 20))
    u = size / 16.0
    a, b = 5.2 * u, 10.8 * u
    canvas.paint(union(stroke([(a, a), (b, b)], 2.2 * u), stroke([(a, b), (b, a)], 2.2 * u)),
                 WHITE)
    return canvas


def status_warning(size):
    canvas = Canvas(size)
    u = size / 16.0
    top, right, left = (8.0 * u, 0.6 * u), (15.6 * u, 14.8 * u), (0.4 * u, 14.8 * u)
    canvas.paint(polygon([(x + 0.5 * u, y + 0.6 * u) for x, y in (top, right, left)]), SHADOW)
    canvas.paint(polygon([top, right, left]), (150, 100, 0))
    # The amber inside, one edge width in from the dark border.
    edge = 1.3 * u
    canvas.paint(polygon([(top[0], top[1] + 1.8 * edge), (right[0] - 1.6 * edge, right[1] - 0.8 * edge),
                          (left[0] + 1.6 * edge, left[1] - 0.8 * edge)]), (250, 185, 30))
    canvas.paint(stroke([(8.0 * u, 5.2 * u), (8.0 * u, 8.9 * u)], 2.0 * u), BLACK)
    canvas.paint(disc(8.0 * u, 12.0 * u, 1.1 * u), BLACK)
    return canvas


# --- The applet's icon: a clock face ---


def clock(size):
    canvas = Canvas(size)
    if size < 32:
        # Drawn on the pixel grid: centre in the middle of pixel (7, 7), hands at three o'clock
        # along whole pixel rows and columns, so that they stay sharp.
        c = 7.5
        canvas.paint(disc(c + 0.6, c + 0.6, 7.5), SHADOW)
        canvas.paint(disc(c, c, 7.5), (30, 60, 120))
        canvas.paint(disc(c, c, 6.2), (250, 250, 245))
        for x, y in ((7, 2), (12, 7), (7, 12), (2, 7)):
            canvas.paint(rectangle(x, y, x + 1, y + 1), (90, 90, 90))
        canvas.paint(rectangle(7, 3, 8, 8), (20, 20, 20))
        canvas.paint(rectangle(7, 7, 11, 8), (20, 20, 20))
        return canvas
    s = float(size)
    c = s / 2.0
    u = s / 16.0
    canvas.paint(disc(c + u * 0.5, c + u * 0.5, c - u * 0.5), SHADOW)
    canvas.paint(disc(c, c, c - u * 0.5), (30, 60, 120))
    canvas.paint(disc(c, c, c - u * 1.6), (250, 250, 245))
    for hour in range(12):
        angle = math.radians(hour * 30)
        outer = c - u * 2.2
        inner = outer - (u * 1.6 if hour % 3 == 0 else u * 0.9)
        width = u * 1.1 if hour % 3 == 0 else u * 0.6
        canvas.paint(stroke([(c + outer * math.sin(angle), c - outer * math.cos(angle)),
                             (c + inner * math.sin(angle), c - inner * math.cos(angle))], width),
                     (40, 40, 40))
    # Ten past ten: hour hand short and broad, minute hand long, a red second hand.
    hour_angle = math.radians(10 * 30 + 5)
    minute_angle = math.radians(2 * 30)
    canvas.paint(stroke([(c, c), (c + 3.3 * u * math.sin(hour_angle),
                                  c - 3.3 * u * math.cos(hour_angle))], 1.5 * u), (20, 20, 20))
    canvas.paint(stroke([(c, c), (c + 5.0 * u * math.sin(minute_angle),
                                  c - 5.0 * u * math.cos(minute_angle))], 1.1 * u), (20, 20, 20))
    second = math.radians(6 * 30)
    canvas.paint(stroke([(c - 1.5 * u * math.sin(second), c + 1.5 * u * math.cos(second)),
                         (c + 5.5 * u * math.sin(second), c - 5.5 * u * math.cos(second))],
                        0.5 * u), (200, 30, 30))
    canvas.paint(disc(c, c, 0.9 * u), (20, 20, 20))
    return canvas


# --- Cursors, 32x32 ---


def hand_cursor():
    """A hand pointing up with the index finger; the hot spot is the fingertip."""
    canvas = Canvas(32)
    finger = 3.4  # stroke width of a finger
    index = stroke([(11.5, 2.2), (11.5, 16.0)], finger)
    middle = stroke([(15.0, 12.0), (15.0, 17.0)], finger)
    ring_finger = stroke([(18.5, 13.0), (18.5, 18.0)], finger)
    little = stroke([(22.0, 14.5), (22.0, 19.0)], finger)
    thumb = stroke([(5.5, 15.0), (8.5, 19.5), (10.0, 22.0)], finger)
    palm = union(polygon([(9.8, 14.0), (23.7, 15.0), (23.7, 22.0), (21.5, 28.5), (12.0, 28.5),
                          (8.8, 23.0)]), stroke([(12.5, 27.0), (21.0, 27.0)], 3.0))
    hand = union(index, middle, ring_finger, little, thumb, palm)

    def grown(shape, by):
        offsets = [(dx * by, dy * by) for dx, dy in
                   ((1, 0), (-1, 0), (0, 1), (0, -1), (0.7, 0.7), (-0.7, 0.7), (0.7, -0.7),
                    (-0.7, -0.7))]
        return lambda x, y: shape(x, y) or any(shape(x + dx, y + dy) for dx, dy in offsets)

    canvas.paint(grown(hand, 1.1), BLACK)
    canvas.paint(hand, WHITE)
    # The creases between the folded fingers.
    for x in (13.25, 16.75, 20.25):
        canvas.paint(stroke([(x, 13.5), (x, 17.5)], 0.7), BLACK)
    return canvas, (11, 1)


def marker_cursor():
    """A cross-hair with a small circle round its centre; the hot spot is the centre."""
    canvas = Canvas(32)
    c = 15.5  # the centre of pixel (15, 15)
    arms = union(rectangle(c - 0.5, 1.0, c + 0.5, c - 6.0), rectangle(c - 0.5, c + 6.0, c + 0.5, 30.0),
                 rectangle(1.0, c - 0.5, c - 6.0, c + 0.5), rectangle(c + 6.0, c - 0.5, 30.0, c + 0.5))
    circle = ring(c, c, 4.5, 3.5)
    centre = rectangle(c - 0.5, c - 0.5, c + 0.5, c + 0.5)
    # A white outline keeps the black marks visible on dark ground.
    halo = union(rectangle(c - 1.5, 0.0, c + 1.5, c - 5.0), rectangle(c - 1.5, c + 5.0, c + 1.5, 31.0),
                 rectangle(0.0, c - 1.5, c - 5.0, c + 1.5), rectangle(c + 5.0, c - 1.5, 31.0, c + 1.5),
                 ring(c, c, 5.5, 2.5), rectangle(c - 1.5, c - 1.5, c + 1.5, c + 1.5))
    canvas.paint(halo, WHITE)
    canvas.paint(union(arms, circle, centre), BLACK)
    return canvas, (15, 15)


# --- File format ---


def dib(canvas, cursor):
    """BITMAPINFOHEADER, BGRA rows bottom-up, then the AND mask (1 = transparent), rows padded
    to 32 bits. Cursors use hard edges: most cursor drawing honours only the mask."""
    size = canvas.size
    colour_rows = []
    mask_rows = []
    for row in reversed(canvas.pixels):
        colour = bytearray()
        bits = 0
        mask = bytearray()
        for x, (r, g, b, a) in enumerate(row):
            if cursor:
                a = 1.0 if a >= 0.5 else 0.0
            alpha = int(round(a * 255))
            colour += bytes((int(round(b * 255)), int(round(g * 255)), int(round(r * 255)), alpha))
            bits = (bits << 1) | (1 if alpha < 128 else 0)
            if x % 8 == 7:
                mask.append(bits)
                bits = 0
        while len(mask) % 4:
            mask.append(0)
        colour_rows.append(bytes(colour))
        mask_rows.append(bytes(mask))
    pixels = b"".join(colour_rows) + b"".join(mask_rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(pixels), 0, 0, 0, 0)
    return header + pixels


def write_icon_file(path, images, cursor=False, hot_spot=(0, 0)):
    """images: canvases, smallest first. For a cursor the directory entry carries the hot
    spot where an icon carries planes and bit count."""
    entries = []
    blobs = []
    offset = 6 + 16 * len(images)
    for canvas in images:
        blob = dib(canvas, cursor)
        field1, field2 = hot_spot if cursor else (1, 32)
        size = canvas.size % 256  # 256 is written as 0
        entries.append(struct.pack("<BBBBHHII", size, size, 0, 0, field1, field2, len(blob), offset))
        blobs.append(blob)
        offset += len(blob)
    with open(path, "wb") as out:
        out.write(struct.pack("<HHH", 0, 2 if cursor else 1, len(images)))
        out.write(b"".join(entries))
        out.write(b"".join(blobs))


ICONS = {
    "kestrel.ico": clock,
    "status_unknown.ico": status_unknown,
    "status_good.ico": status_good,
    "status_bad.ico": status_bad,
    "status_warning.ico": status_warning,
}
CURSORS = {
    "hand.cur": hand_cursor,
    "marker.cur": marker_cursor,
}


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    for name, draw in ICONS.items():
        write_icon_file(os.path.join(folder, name), [draw(16), draw(32)])
    for name, draw in CURSORS.items():
        canvas, hot_spot = draw()
        write_icon_file(os.path.join(folder, name), [canvas], cursor=True, hot_spot=hot_spot)


if __name__ == "__main__":
    main()
