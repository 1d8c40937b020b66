#!/usr/bin/env python3
# Regenerate, from the repository root:  python3 res/art/make_pictures.py
"""Draws the program's pictures and writes them as the binaries the resource
script compiles: the three tray icons, the status window's link bitmap, and
the icon sheet of the README. Standard library only; the same bytes on every
run.
"""

import os
import struct
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# ---------------------------------------------------------------- files


def png_bytes(width, height, rgba):
    """rgba: bytes, 4 per pixel, rows top to bottom."""

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    stride = width * 4
    raw = b"".join(b"\0" + rgba[y * stride:(y + 1) * stride] for y in range(height))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def icon_dib(size, rgba):
    """One icon image as the system reads it from an .ico: a 32-bit DIB of
    double height (colour rows, then the AND mask), both bottom-up."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = bytearray()
    for y in reversed(range(size)):
        for x in range(size):
            r, g, b, a = rgba[(y * size + x) * 4:(y * size + x) * 4 + 4]
            colour += bytes((b, g, r, a))
    # The mask marks fully transparent pixels; readers that ignore alpha
    # (and the system, for the cursor-sized monochrome fallback) use it.
    mask_stride = (size + 31) // 32 * 4
    mask = bytearray()
    for y in reversed(range(size)):
        row = bytearray(mask_stride)
        for x in range(size):
            if rgba[(y * size + x) * 4 + 3] == 0:
                row[x // 8] |= 0x80 >> (x % 8)
        mask += row
    return header + bytes(colour) + bytes(mask)


def ico_bytes(images):
    """images: list of (size, rgba), smallest first."""
    dibs = [icon_dib(size, rgba) for size, rgba in images]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for (size, _), dib in zip(images, dibs):
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(dib), offset)
        offset += len(dib)
    return out + b"".join(dibs)


# The 16 colours of a 4-bit Windows bitmap, in the usual order.
VGA = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128),
       (128, 128, 128), (192, 192, 192), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255), (255, 0, 255),
       (0, 255, 255), (255, 255, 255)]


def bmp4_bytes(width, height, indices):
    """A 16-colour bottom-up bitmap file; indices: one palette index a pixel,
    rows top to bottom."""
    stride = (width * 4 + 31) // 32 * 4
    pixels = bytearray()
    for y in reversed(range(height)):
        row = bytearray(stride)
        for x in range(width):
            row[x // 2] |= indices[y * width + x] << (4 if x % 2 == 0 else 0)
        pixels += row
    palette = b"".join(bytes((b, g, r, 0)) for r, g, b in VGA)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 4, 0, len(pixels), 2835, 2835, 16, 16)
    offset = 14 + len(info) + len(palette)
    return struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset) + info + palette + bytes(pixels)


# ---------------------------------------------------------------- drawing

SAMPLES = 8  # per pixel side: coverage is counted on an 8 by 8 grid


class Canvas:
    """Premultiplied RGBA, 0..1 a channel; pixel (x, y) is the square
    [x, x+1) by [y, y+1)."""

    def __init__(self, width, height):
        self.width, self.height = width, height
        self.px = [[0.0, 0.0, 0.0, 0.0] for _ in range(width * height)]

    def blend(self, x, y, rgb, alpha):
        if alpha <= 0 or not (0 <= x < self.width and 0 <= y < self.height):
            return
        p = self.px[y * self.width + x]
        keep = 1.0 - alpha
        for i in range(3):
            p[i] = rgb[i] / 255.0 * alpha + p[i] * keep
        p[3] = alpha + p[3] * keep

    def erase(self, x, y, amount):
        if 0 <= x < self.width and 0 <= y < self.height:
            p = self.px[y * self.width + x]
            for i in range(4):
                p[i] *= 1.0 - amount

    def rgba(self):
        out = bytearray()
        for r, g, b, a in self.px:
            if a <= 0.0:
                out += b"\0\0\0\0"
                continue
            out += bytes(min(255, int(c / a * 255.0 + 0.5)) for c in (r, g, b))
            out.append(min(255, int(a * 255.0 + 0.5)))
        return bytes(out)


def coverage(shape, x, y):
    _, inside = shape
    hits = 0
    for j in range(SAMPLES):
        sy = y + (j + 0.5) / SAMPLES
        for i in range(SAMPLES):
            if inside(x + (i + 0.5) / SAMPLES, sy):
                hits += 1
    return hits / (SAMPLES * SAMPLES)


def pixels_of(shape, canvas):
    (x0, y0, x1, y1), _ = shape
    for y in range(max(0, int(y0)), min(canvas.height, int(y1) + 1)):
        for x in range(max(0, int(x0)), min(canvas.width, int(x1) + 1)):
            yield x, y


def fill(canvas, shape, paint, alpha=1.0):
    """paint: an (r, g, b) or a function of the pixel centre giving one."""
    for x, y in pixels_of(shape, canvas):
        c = coverage(shape, x, y)
        if c > 0:
            rgb = paint(x + 0.5, y + 0.5) if callable(paint) else paint
            canvas.blend(x, y, rgb, c * alpha)


def cut(canvas, shape):
    for x, y in pixels_of(shape, canvas):
        canvas.erase(x, y, coverage(shape, x, y))


def rect(x0, y0, x1, y1, radius=0.0):
    def inside(x, y):
        if not (x0 <= x < x1 and y0 <= y < y1):
            return False
        dx = max(x0 + radius - x, x - (x1 - radius), 0.0)
        dy = max(y0 + radius - y, y - (y1 - radius), 0.0)
        return dx * dx + dy * dy <= radius * radius

    return (x0, y0, x1, y1), inside


def circle(cx, cy, radius):
    def inside(x, y):
        return (x - cx) ** 2 + (y - cy) ** 2 < radius * radius

    return (cx - radius, cy - radius, cx + radius, cy + radius), inside


def polygon(points):
    """A convex polygon, points in either turning order."""
    xs = [p[0] for p in points]
    ys = [p[1] for p in points]
    edges = list(zip(points, points[1:] + points[:1]))

    def inside(x, y):
        sides = set()
        for (ax, ay), (bx, by) in edges:
            cross = (bx - ax) * (y - ay) - (by - ay) * (x - ax)
            if cross != 0:
                sides.add(cross > 0)
        return len(sides) < 2

    return (min(xs), min(ys), max(xs), max(ys)), inside


def vertical(top, bottom, y0, y1):
    """A paint that runs from colour top at y0 to bottom at y1."""

    def paint(x, y):
        t = min(1.0, max(0.0, (y - y0) / float(y1 - y0)))
        return tuple(int(a + (b - a) * t + 0.5) for a, b in zip(top, bottom))

    return paint


# ---------------------------------------------------------------- tray icons

SIZES = (16, 20, 24, 32, 48)

# Where the parts sit at each size, in whole pixels so that every straight
# edge falls on the pixel grid. Rectangles are (x0, y0, x1, y1), ends
# excluded: the plug and the two holes in its shell, the modem's body (with
# its corner radius) and its light; the badge is (centre x, centre y, radius).
LAYOUT = {
    16: dict(dash=(2, 1), plug=(0, 4, 4, 9), holes=(), body=(4, 2, 15, 11, 1.5), led=(12, 4, 13, 5),
             badge=(11.5, 11.5, 4.5)),
    20: dict(dash=(2, 1), plug=(0, 5, 5, 12), holes=((1, 6, 4, 7), (1, 9, 4, 10)), body=(5, 3, 19, 14, 2),
             led=(15, 5, 17, 6), badge=(14.5, 14.5, 5.5)),
    24: dict(dash=(2, 1), plug=(0, 6, 6, 14), holes=((2, 8, 4, 9), (2, 11, 4, 12)), body=(6, 3, 23, 17, 2),
             led=(18, 6, 20, 8), badge=(17.5, 17.5, 6.5)),
    32: dict(dash=(3, 1), plug=(1, 7, 9, 18), holes=((3, 9, 8, 10), (3, 14, 8, 15)), body=(9, 4, 31, 22, 3),
             led=(25, 8, 28, 10), badge=(23.5, 23.5, 8.5)),
    48: dict(dash=(3, 2), plug=(1, 11, 13, 28), holes=((5, 16, 10, 18), (5, 21, 10, 23)), body=(13, 6, 47, 33, 4),
             led=(37, 11, 42, 14, 1.5), badge=(35.5, 35.5, 12.5)),
}

PLUG_EDGE = (84, 92, 102)
PLUG_TOP, PLUG_BOTTOM = (236, 239, 242), (170, 178, 187)
PLUG_HOLE = (70, 78, 88)
BODY_EDGE = (22, 60, 118)
BODY_TOP, BODY_BOTTOM = (98, 160, 236), (40, 96, 178)
ABSENT_EDGE = (128, 128, 128)
ABSENT_FILL = (160, 160, 160)
LINK_EDGE = (26, 100, 40)
LINK_TOP, LINK_BOTTOM = (96, 204, 106), (40, 150, 58)
WHITE = (255, 255, 255)
LED = (170, 240, 255)


def draw_modem(canvas, size):
    lay = LAYOUT[size]
    x0, y0, x1, y1 = lay["plug"]
    fill(canvas, rect(x0, y0, x1, y1), PLUG_EDGE)
    fill(canvas, rect(x0 + 1, y0 + 1, x1, y1 - 1), vertical(PLUG_TOP, PLUG_BOTTOM, y0, y1))
    for hole in lay["holes"]:
        fill(canvas, rect(*hole), PLUG_HOLE)
    bx0, by0, bx1, by1, radius = lay["body"]
    fill(canvas, rect(bx0, by0, bx1, by1, radius), BODY_EDGE)
    fill(canvas, rect(bx0 + 1, by0 + 1, bx1 - 1, by1 - 1, max(0.0, radius - 1)),
         vertical(BODY_TOP, BODY_BOTTOM, by0, by1))
    # Light from above: a bright line under the top edge.
    fill(canvas, rect(bx0 + 1 + radius / 2, by0 + 1, bx1 - 1 - radius / 2, by0 + 2), WHITE, 0.45)
    fill(canvas, rect(*lay["led"]), LED)


def dashes(length, on, off):
    """Which of length pixels are drawn: dashes of on pixels with gaps of off,
    laid out the same from both ends; the odd pixel left over lengthens the
    middle dash or gap."""
    count = max(1, (length + off) // (on + off))
    spare = length - (count * on + (count - 1) * off)
    runs = [spare // 2]
    for i in range(count):
        runs += [on, off] if i < count - 1 else [on]
    runs[len(runs) // 2] += spare % 2
    drawn = []
    for i, run in enumerate(runs + [spare // 2]):
        drawn += [i % 2 == 1] * run
    return drawn


def dashed_edge(canvas, pixels, on, off):
    for (x, y), drawn in zip(pixels, dashes(len(pixels), on, off)):
        if drawn:
            canvas.blend(x, y, ABSENT_EDGE, 1.0)


def draw_absent_modem(canvas, size):
    """The modem's outline only, dashed, its corners left out; the plug's
    right side is the body's left one."""
    lay = LAYOUT[size]
    on, off = lay["dash"]
    x0, y0, x1, y1 = lay["plug"]
    bx0, by0, bx1, by1, _ = lay["body"]
    fill(canvas, rect(x0 + 1, y0 + 1, x1, y1 - 1), ABSENT_FILL, 0.35)
    fill(canvas, rect(bx0 + 1, by0 + 1, bx1 - 1, by1 - 1), ABSENT_FILL, 0.35)
    for y in (y0, y1 - 1):
        dashed_edge(canvas, [(x, y) for x in range(x0 + 1, x1)], on, off)
    dashed_edge(canvas, [(x0, y) for y in range(y0 + 1, y1 - 1)], on, off)
    for y in (by0, by1 - 1):
        dashed_edge(canvas, [(x, y) for x in range(bx0 + 1, bx1 - 1)], on, off)
    for x in (bx0, bx1 - 1):
        dashed_edge(canvas, [(x, y) for y in range(by0 + 1, by1 - 1)], on, off)


# The badge of the small sizes, set by hand: a drawn circle of 9 to 13
# pixels is soft at the rim and its arrows would smear. 'o' rim, 'G' face,
# 'W' arrows.
BADGE_GRIDS = {
    16: ["..ooooo..",
         ".oGGGGGo.",
         "oGGGGGGGo",
         "oGWGGGWGo",
         "oWWWWWWWo",
         "oGWGGGWGo",
         "oGGGGGGGo",
         ".oGGGGGo.",
         "..ooooo.."],
    20: ["...ooooo...",
         ".ooGGGGGoo.",
         ".oGGGGGWGo.",
         "oGWWWWWWWGo",
         "oGGGGGGWGGo",
         "oGGGGGGGGGo",
         "oGGWGGGGGGo",
         "oGWWWWWWWGo",
         ".oGWGGGGGo.",
         ".ooGGGGGoo.",
         "...ooooo..."],
    24: ["....ooooo....",
         "..ooGGGGGoo..",
         ".oGGGGGGWGGo.",
         ".oGGGGGGWWGo.",
         "oGWWWWWWWWWGo",
         "oGGGGGGGWWGGo",
         "oGGGWGGGWGGGo",
         "oGGWWGGGGGGGo",
         "oGWWWWWWWWWGo",
         ".oGWWGGGGGGo.",
         ".oGGWGGGGGGo.",
         "..ooGGGGGoo..",
         "....ooooo...."],
}


def draw_badge(canvas, size, face_top, face_bottom, edge):
    cx, cy, radius = LAYOUT[size]["badge"]
    face = vertical(face_top, face_bottom, cy - radius, cy + radius)
    if size in BADGE_GRIDS:
        left = int(cx - radius)
        grid = BADGE_GRIDS[size]
        # A clear pixel all round keeps the badge apart from the modem.
        for y, row in enumerate(grid):
            for x, ch in enumerate(row):
                if ch != ".":
                    for dx, dy in ((0, 0), (1, 0), (-1, 0), (0, 1), (0, -1)):
                        canvas.erase(left + x + dx, left + y + dy, 1.0)
        for y, row in enumerate(grid):
            for x, ch in enumerate(row):
                if ch != ".":
                    rgb = {"o": edge, "W": WHITE}.get(ch) or face(0, left + y + 0.5)
                    canvas.blend(left + x, left + y, rgb, 1.0)
        return
    cut(canvas, circle(cx, cy, radius + 1))
    fill(canvas, circle(cx, cy, radius), edge)
    fill(canvas, circle(cx, cy, radius - 1), face)


# The arrows of the larger badges, placed on whole pixels: for each, the
# tip's column, the shaft's top row, the shaft's thickness, the arrow's
# length and the head's depth in columns; the first points right.
ARROWS = {
    32: ((28, 19, 2, 11, 3), (18, 25, 2, 11, 3)),
    48: ((44, 30, 3, 17, 6), (27, 38, 3, 17, 6)),
}


def draw_arrows(canvas, size):
    """Two arrows, one each way: data going to the server and coming back."""
    if size in BADGE_GRIDS:
        return
    for (tip, top, thick, length, head), direction in zip(ARROWS[size], (1, -1)):
        if size < 48:
            # Stepped 45-degree heads: crisp at a few pixels a side; at 48
            # the head is big enough to be drawn smooth.
            for i in range(length):
                reach = i if i < head else 0
                for y in range(top - reach, top + thick + reach):
                    canvas.blend(tip - direction * i, y, WHITE, 1.0)
            continue
        mid = top + thick / 2.0
        base = tip - direction * head
        tail = tip - direction * length
        fill(canvas, polygon([(tip, mid), (base, mid - head), (base, mid + head)]), WHITE)
        fill(canvas, rect(min(tail, base), top, max(tail, base), top + thick), WHITE)


def icon_image(state, size):
    canvas = Canvas(size, size)
    if state == "no_device":
        draw_absent_modem(canvas, size)
    else:
        draw_modem(canvas, size)
    if state == "link_up":
        draw_badge(canvas, size, LINK_TOP, LINK_BOTTOM, LINK_EDGE)
        draw_arrows(canvas, size)
    return canvas.rgba()


STATES = ("no_link", "no_device", "link_up")


# ---------------------------------------------------------------- link bitmap

BLACK, MAROON, OLIVE, GREY, SILVER, RED, LIME, YELLOW, WHITE_INDEX = 0, 1, 3, 7, 8, 9, 10, 11, 15

# Capitals for the caption, 4 by 5 pixels.
CAPTION_FONT = {
    "С": [".##.", "#..#", "#...", "#..#", ".##."],
    "Е": ["####", "#...", "###.", "#...", "####"],
    "Р": ["###.", "#..#", "###.", "#...", "#..."],
    "В": ["###.", "#..#", "###.", "#..#", "###."],
}


class IndexImage:
    def __init__(self, width, height, background):
        self.width, self.height = width, height
        self.px = [background] * (width * height)

    def set(self, x, y, index):
        if 0 <= x < self.width and 0 <= y < self.height:
            self.px[y * self.width + x] = index

    def box(self, x0, y0, x1, y1, index):
        """Fills x0..x1, y0..y1, both ends included."""
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                self.set(x, y, index)

    def text(self, left, top, text, font, index):
        for ch in text:
            glyph = font[ch]
            for y, row in enumerate(glyph):
                for x, bit in enumerate(row):
                    if bit == "#":
                        self.set(left + x, top + y, index)
            left += len(glyph[0]) + 1


def text_width(text, font):
    return sum(len(font[ch][0]) + 1 for ch in text) - 1


def draw_receipt(img, x0, y0, x1, y1):
    """A till receipt: printed lines, a total and the fiscal QR code, with a
    torn lower edge and a shadow."""

    def bottom(x):
        return y1 - (0, 1, 2, 1)[(x - x0) % 4]

    for x in range(x0 + 1, x1 + 2):
        img.box(x, y0 + 1, x, bottom(x - 1) + 1, GREY)
    for x in range(x0, x1 + 1):
        img.box(x, y0, x, bottom(x), WHITE_INDEX)
        img.set(x, y0, GREY)
        img.set(x, bottom(x), GREY)
    img.box(x0, y0, x0, bottom(x0), GREY)
    img.box(x1, y0, x1, bottom(x1), GREY)
    # Item lines: a name on the left, a price on the right.
    y = y0 + 3
    for name in (9, 7, 0, 10, 6, 8):
        if name:
            img.box(x0 + 3, y, x0 + 2 + name, y, GREY)
            img.box(x1 - 3, y, x1 - 2, y, GREY)
        y += 2
    img.box(x0 + 3, y + 1, x0 + 6, y + 2, BLACK)  # the total, in bold
    img.box(x1 - 5, y + 1, x1 - 2, y + 2, BLACK)
    qr = ["###.#.###", "#.#...#.#", "###.#.###", "...#.#...", "#.##..#.#", ".#..##.#.",
          "###..#.#.", "#.#.#..##", "###.##.#."]
    left = (x0 + x1) // 2 - 4
    for dy, row in enumerate(qr):
        for dx, bit in enumerate(row):
            if bit == "#":
                img.set(left + dx, y + 5 + dy, BLACK)


def draw_arrow(img, tip, mid, length, shaft, head):
    """A right-pointing arrow with a dark lower and right edge for depth."""
    cells = set()
    for i in range(length):
        reach = i if i < head else shaft // 2
        cells.update((tip - i, y) for y in range(mid - reach, mid + reach + 1))
    for x, y in cells:
        shaded = (x, y + 1) not in cells or (x + 1, y) not in cells
        img.set(x, y, MAROON if shaded else RED)


def draw_server(img, x0, y0, x1, y1, depth):
    """A tower cabinet seen a little from the right and above."""
    # Side and top faces: parallelograms going up and to the right.
    for d in range(1, depth + 1):
        img.box(x1 + d, y0 - d, x1 + d, y1 - d, OLIVE)
        img.box(x0 + d, y0 - d, x1 + d, y0 - d, YELLOW)
    for d in range(0, depth + 1):
        img.set(x0 + d, y0 - d, BLACK)
        img.set(x1 + d, y0 - d, BLACK)
        img.set(x1 + d, y1 - d, BLACK)
    img.box(x0 + depth, y0 - depth, x1 + depth, y0 - depth, BLACK)
    img.box(x1 + depth, y0 - depth, x1 + depth, y1 - depth, BLACK)
    img.box(x0, y0, x1, y1, BLACK)
    img.box(x0 + 1, y0 + 1, x1 - 1, y1 - 1, YELLOW)
    # Drive bays with their lights, then the power button and the vents.
    for i in range(3):
        y = y0 + 3 + i * 4
        img.box(x0 + 2, y, x1 - 2, y + 2, OLIVE)
        img.box(x0 + 3, y + 1, x1 - 6, y + 1, BLACK)
        img.set(x1 - 4, y + 1, LIME if i == 0 else GREY)
    img.box(x0 + 2, y0 + 16, x1 - 2, y0 + 16, OLIVE)
    button = ((x0 + x1) // 2, y0 + 19)
    img.box(button[0] - 1, button[1] - 1, button[0] + 1, button[1] + 1, OLIVE)
    img.set(button[0], button[1], LIME)
    for y in range(y0 + 23, y1 - 1, 2):
        img.box(x0 + 3, y, x1 - 3, y, OLIVE)


def link_bitmap():
    img = IndexImage(64, 51, SILVER)
    draw_receipt(img, 2, 6, 16, 43)
    draw_arrow(img, 32, 24, 13, 5, 7)
    draw_server(img, 38, 6, 55, 36, 4)
    caption = "СЕРВЕР"
    left = 38 + (55 + 4 - 38 + 1 - text_width(caption, CAPTION_FONT)) // 2
    img.text(left, 42, caption, CAPTION_FONT, BLACK)
    return img


# ---------------------------------------------------------------- icon sheet

LABEL_FONT = {
    " ": ["....."] * 7,
    "_": ["....."] * 6 + ["#####"],
    ":": [".....", "..#..", "..#..", ".....", "..#..", "..#..", "....."],
    "0": [".###.", "#...#", "#..##", "#.#.#", "##..#", "#...#", ".###."],
    "1": ["..#..", ".##..", "..#..", "..#..", "..#..", "..#..", ".###."],
    "2": [".###.", "#...#", "....#", "...#.", "..#..", ".#...", "#####"],
    "3": [".###.", "#...#", "....#", "..##.", "....#", "#...#", ".###."],
    "4": ["...#.", "..##.", ".#.#.", "#..#.", "#####", "...#.", "...#."],
    "5": ["#####", "#....", "####.", "....#", "....#", "#...#", ".###."],
    "6": ["..##.", ".#...", "#....", "####.", "#...#", "#...#", ".###."],
    "8": [".###.", "#...#", "#...#", ".###.", "#...#", "#...#", ".###."],
    "C": [".###.", "#...#", "#....", "#....", "#....", "#...#", ".###."],
    "D": ["###..", "#..#.", "#...#", "#...#", "#...#", "#..#.", "###.."],
    "E": ["#####", "#....", "#....", "####.", "#....", "#....", "#####"],
    "I": [".###.", "..#..", "..#..", "..#..", "..#..", "..#..", ".###."],
    "K": ["#...#", "#..#.", "#.#..", "##...", "#.#..", "#..#.", "#...#"],
    "L": ["#....", "#....", "#....", "#....", "#....", "#....", "#####"],
    "N": ["#...#", "##..#", "#.#.#", "#..##", "#...#", "#...#", "#...#"],
    "O": [".###.", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."],
    "P": ["####.", "#...#", "#...#", "####.", "#....", "#....", "#...."],
    "U": ["#...#", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."],
    "V": ["#...#", "#...#", "#...#", "#...#", "#...#", ".#.#.", "..#.."],
}

# Rows of the sheet, in the order a user meets them.
SHEET_ROWS = (("no_device", "IDI_NO_DEVICE", "105"), ("no_link", "IDI_NO_LINK", "104"),
              ("link_up", "IDI_LINK_UP", "106"))
SHEET_THEMES = (((240, 240, 240), (64, 64, 64)), ((32, 32, 32), (200, 200, 200)))
CELL = 144  # each size enlarged by a whole factor to at most this


class Sheet:
    def __init__(self, width, height):
        self.width = width
        self.px = bytearray(width * height * 3)

    def put(self, x, y, rgb):
        i = (y * self.width + x) * 3
        self.px[i:i + 3] = bytes(rgb)

    def box(self, x0, y0, x1, y1, rgb):
        for y in range(y0, y1):
            for x in range(x0, x1):
                self.put(x, y, rgb)

    def text(self, left, top, text, rgb, scale=2):
        for ch in text:
            for y, row in enumerate(LABEL_FONT[ch]):
                for x, bit in enumerate(row):
                    if bit == "#":
                        self.box(left + x * scale, top + y * scale, left + (x + 1) * scale,
                                 top + (y + 1) * scale, rgb)
            left += 6 * scale

    def icon(self, left, top, size, rgba, scale, background):
        for y in range(size * scale):
            for x in range(size * scale):
                i = ((y // scale) * size + x // scale) * 4
                a = rgba[i + 3] / 255.0
                self.put(left + x, top + y,
                         tuple(int(rgba[i + c] * a + background[c] * (1.0 - a) + 0.5) for c in range(3)))

    def rgba(self):
        return b"".join(self.px[i:i + 3] + b"\xff" for i in range(0, len(self.px), 3))


def icon_sheet(images):
    """images: {(state, size): rgba}. Each size enlarged by whole pixels,
    then all of them at their real size, on a light and a dark taskbar."""
    label_width, gap, actual = 180, 12, sum(SIZES) + 8 * len(SIZES)
    width = label_width + len(SIZES) * (CELL + gap) + actual + gap
    panel = 40 + len(SHEET_ROWS) * (CELL + gap) + gap
    sheet = Sheet(width, panel * len(SHEET_THEMES))
    for t, (background, ink) in enumerate(SHEET_THEMES):
        top = t * panel
        sheet.box(0, top, width, top + panel, background)
        x = label_width
        for size in SIZES:
            sheet.text(x, top + 14, str(size), ink)
            x += CELL + gap
        sheet.text(x, top + 14, "1:1", ink)
        for r, (state, name, number) in enumerate(SHEET_ROWS):
            y = top + 40 + r * (CELL + gap)
            sheet.text(gap, y + CELL // 2 - 18, name, ink)
            sheet.text(gap, y + CELL // 2 + 4, number, ink)
            x = label_width
            for size in SIZES:
                sheet.icon(x, y, size, images[state, size], CELL // size, background)
                x += CELL + gap
            for size in SIZES:
                sheet.icon(x, y + CELL - 48, size, images[state, size], 1, background)
                x += size + 8
    return width, panel * len(SHEET_THEMES), sheet.rgba()


# ---------------------------------------------------------------- output


def write(relative, data):
    path = os.path.join(ROOT, relative)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.write(data)


def main():
    images = {(state, size): icon_image(state, size) for state in STATES for size in SIZES}
    for state in STATES:
        write("res/icons/%s.ico" % state, ico_bytes([(size, images[state, size]) for size in SIZES]))
    bitmap = link_bitmap()
    write("res/link.bmp", bmp4_bytes(bitmap.width, bitmap.height, bitmap.px))
    write("docs/images/tray-icons.png", png_bytes(*icon_sheet(images)))


if __name__ == "__main__":
    main()
