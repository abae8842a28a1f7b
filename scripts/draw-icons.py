#!/usr/bin/env python3
"""Draws every image compiled into Korvel Crypt under :/crypt/ (resources/).

Pure Python 3 standard library: shapes are signed distance functions on a
64-unit design grid, rendered with analytic anti-aliasing and written as PNG,
ICO (PNG-compressed entries) and an animated GIF. Run from anywhere:

    python3 scripts/draw-icons.py [output-folder]

The output is deterministic, so re-running it only changes files whose
drawing code changed.
"""
import math
import os
import struct
import sys
import zlib

# ---------------------------------------------------------------- palette

BLUE = (0x2B, 0x5F, 0xA8)
BLUE_DARK = (0x1B, 0x3D, 0x6E)
BLUE_LIGHT = (0x6E, 0xA2, 0xE0)
GOLD = (0xE8, 0xB0, 0x2E)
GOLD_DARK = (0x9C, 0x6A, 0x0E)
GREEN = (0x2E, 0x9E, 0x4F)
GREEN_DARK = (0x1D, 0x66, 0x33)
RED = (0xD2, 0x3C, 0x3C)
RED_DARK = (0x8A, 0x1F, 0x1F)
AMBER = (0xF0, 0x9A, 0x1A)
AMBER_DARK = (0x9E, 0x5B, 0x06)
GREY = (0x6B, 0x72, 0x80)
GREY_DARK = (0x37, 0x3D, 0x48)
STEEL = (0xA9, 0xB2, 0xBE)
STEEL_DARK = (0x5A, 0x63, 0x70)
PAPER = (0xFA, 0xFB, 0xFD)
PAPER_EDGE = (0x8C, 0x96, 0xA3)
LINE = (0x9A, 0xB4, 0xD6)
WHITE = (0xFF, 0xFF, 0xFF)
FOLDER = (0xF2, 0xC1, 0x4E)
FOLDER_DARK = (0xB0, 0x7D, 0x12)
INK = (0x22, 0x26, 0x2E)

# ---------------------------------------------------------------- shapes
# Every shape is a function (x, y) -> signed distance in design units
# (negative inside).


def circle(cx, cy, r):
    return lambda x, y: math.hypot(x - cx, y - cy) - r


def box(cx, cy, hw, hh, r=0.0):
    def d(x, y):
        qx = abs(x - cx) - hw + r
        qy = abs(y - cy) - hh + r
        return math.hypot(max(qx, 0.0), max(qy, 0.0)) + min(max(qx, qy), 0.0) - r
    return d


def segment(ax, ay, bx, by, r):
    def d(x, y):
        px, py = x - ax, y - ay
        vx, vy = bx - ax, by - ay
        h = max(0.0, min(1.0, (px * vx + py * vy) / (vx * vx + vy * vy)))
        return math.hypot(px - vx * h, py - vy * h) - r
    return d


def polyline(points, r):
    parts = [segment(*points[i], *points[i + 1], r) for i in range(len(points) - 1)]
    return union(*parts)


def polygon(points):
    n = len(points)

    def d(x, y):
        best = float("inf")
        sign = 1.0
        j = n - 1
        for i in range(n):
            xi, yi = points[i]
            xj, yj = points[j]
            ex, ey = xj - xi, yj - yi
            wx, wy = x - xi, y - yi
            h = max(0.0, min(1.0, (wx * ex + wy * ey) / (ex * ex + ey * ey)))
            best = min(best, math.hypot(wx - ex * h, wy - ey * h))
            c1 = y >= yi
            c2 = y < yj
            c3 = ex * wy > ey * wx
            if (c1 and c2 and c3) or (not c1 and not c2 and not c3):
                sign = -sign
            j = i
        return sign * best
    return d


def ring(cx, cy, r, w):
    c = circle(cx, cy, r)
    return lambda x, y: abs(c(x, y)) - w


def union(*shapes):
    return lambda x, y: min(s(x, y) for s in shapes)


def subtract(a, *bs):
    return lambda x, y: max(a(x, y), *(-b(x, y) for b in bs))


def intersect(*shapes):
    return lambda x, y: max(s(x, y) for s in shapes)


def grow(shape, amount):
    return lambda x, y: shape(x, y) - amount


def moved(shape, dx, dy):
    return lambda x, y: shape(x - dx, y - dy)


def rotated(shape, degrees, cx=32.0, cy=32.0):
    c = math.cos(math.radians(-degrees))
    s = math.sin(math.radians(-degrees))

    def d(x, y):
        px, py = x - cx, y - cy
        return shape(cx + px * c - py * s, cy + px * s + py * c)
    return d


def scaled(shape, factor, cx=32.0, cy=32.0):
    return lambda x, y: shape(cx + (x - cx) / factor, cy + (y - cy) / factor) * factor


# ---------------------------------------------------------------- paint


def flat(rgb, alpha=1.0):
    return lambda x, y: (rgb, alpha)


def vertical(top, bottom, y0=0.0, y1=64.0, alpha=1.0):
    def paint(x, y):
        t = max(0.0, min(1.0, (y - y0) / (y1 - y0)))
        return tuple(round(a + (b - a) * t) for a, b in zip(top, bottom)), alpha
    return paint


def lighter(rgb, amount):
    return tuple(round(c + (255 - c) * amount) for c in rgb)


class Canvas:
    """An RGBA image drawn on a design grid of `units` units."""

    def __init__(self, width, height, units_w=64.0, units_h=None):
        self.w = width
        self.h = height
        self.scale = width / units_w
        self.units_h = units_h if units_h is not None else height / self.scale
        self.px = [[(0.0, 0.0, 0.0, 0.0)] * width for _ in range(height)]

    def fill(self, shape, paint, feather=0.0):
        if not callable(paint):
            paint = flat(paint)
        s = self.scale
        half = 0.5 + feather * s
        for j in range(self.h):
            y = (j + 0.5) / s
            row = self.px[j]
            for i in range(self.w):
                x = (i + 0.5) / s
                d = shape(x, y) * s
                if d >= half:
                    continue
                cover = 1.0 if d <= -half else (half - d) / (2.0 * half)
                rgb, alpha = paint(x, y)
                a = cover * alpha
                if a <= 0.0:
                    continue
                r0, g0, b0, a0 = row[i]
                out = a + a0 * (1.0 - a)
                if out <= 0.0:
                    continue
                k = a0 * (1.0 - a)
                row[i] = (
                    (rgb[0] * a + r0 * k) / out,
                    (rgb[1] * a + g0 * k) / out,
                    (rgb[2] * a + b0 * k) / out,
                    out,
                )

    def outlined(self, shape, paint, edge, width=1.6):
        """Fills shape with a darker rim: the look every icon shares."""
        self.fill(shape, edge)
        self.fill(grow(shape, -width), paint)

    def shadow(self, shape, dy=1.5):
        self.fill(moved(grow(shape, 0.6), 0.0, dy), flat((0, 0, 0), 0.18), feather=0.8)

    def rgba_bytes(self):
        out = bytearray()
        for row in self.px:
            for r, g, b, a in row:
                out += bytes((round(r), round(g), round(b), round(a * 255)))
        return bytes(out)


# ---------------------------------------------------------------- writers


def png_bytes(canvas):
    raw = bytearray()
    data = canvas.rgba_bytes()
    stride = canvas.w * 4
    for j in range(canvas.h):
        raw.append(0)
        raw += data[j * stride:(j + 1) * stride]

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", canvas.w, canvas.h, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b"")


def ico_bytes(canvases):
    entries = [png_bytes(c) for c in canvases]
    out = struct.pack("<HHH", 0, 1, len(entries))
    offset = 6 + 16 * len(entries)
    for c, data in zip(canvases, entries):
        w = 0 if c.w >= 256 else c.w
        h = 0 if c.h >= 256 else c.h
        out += struct.pack("<BBBBHHII", w, h, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(entries)


def lzw_encode(indices, min_code_size):
    clear = 1 << min_code_size
    end = clear + 1
    out = bytearray()
    bits = 0
    nbits = 0

    def emit(code, size):
        nonlocal bits, nbits
        bits |= code << nbits
        nbits += size
        while nbits >= 8:
            out.append(bits & 0xFF)
            bits >>= 8
            nbits -= 8

    def reset():
        return {(i,): i for i in range(clear)}, end + 1, min_code_size + 1

    table, next_code, size = reset()
    emit(clear, size)
    prefix = ()
    for value in indices:
        candidate = prefix + (value,)
        if candidate in table:
            prefix = candidate
            continue
        emit(table[prefix], size)
        if next_code < 4096:
            table[candidate] = next_code
            next_code += 1
            if next_code > (1 << size) and size < 12:
                size += 1
        else:
            emit(clear, size)
            table, next_code, size = reset()
        prefix = (value,)
    if prefix:
        emit(table[prefix], size)
    emit(end, size)
    if nbits:
        out.append(bits & 0xFF)
    return bytes(out)


def gif_bytes(frames, palette, delay_cs, transparent_index):
    """frames: lists of palette indices, all of one size; palette: up to 256 RGB."""
    w, h = frames[0][0], frames[0][1]
    size_bits = max(1, math.ceil(math.log2(max(2, len(palette)))))
    table = list(palette) + [(0, 0, 0)] * ((1 << size_bits) - len(palette))
    out = bytearray(b"GIF89a")
    out += struct.pack("<HHBBB", w, h, 0x80 | 0x70 | (size_bits - 1), 0, 0)
    for rgb in table:
        out += bytes(rgb)
    out += b"\x21\xFF\x0BNETSCAPE2.0\x03\x01\x00\x00\x00"
    for _, _, indices in frames:
        out += struct.pack("<BBBBHBB", 0x21, 0xF9, 4, 0x08 | 0x01, delay_cs, transparent_index, 0)
        out += struct.pack("<BHHHHB", 0x2C, 0, 0, w, h, 0)
        code_size = max(2, size_bits)
        data = lzw_encode(indices, code_size)
        out.append(code_size)
        for k in range(0, len(data), 255):
            block = data[k:k + 255]
            out.append(len(block))
            out += block
        out.append(0)
    out.append(0x3B)
    return bytes(out)


# ---------------------------------------------------------------- motifs


def draw_padlock(c, body_paint, body_edge, open_shackle=False, cx=32.0, cy=38.0, size=1.0, keyhole=True):
    bw, bh = 19.0 * size, 14.0 * size
    body = box(cx, cy + 4 * size, bw, bh, 4.0 * size)
    r = 11.0 * size
    top = cy - 10.0 * size
    if open_shackle:
        arch_cx = cx + 11.0 * size
        arch = intersect(ring(arch_cx, top - 4 * size, r, 3.2 * size), lambda x, y: y - (top - 4 * size))
        legs = union(segment(arch_cx - r, top - 4 * size, arch_cx - r, top - 2 * size, 3.2 * size),
                     segment(arch_cx + r, top - 4 * size, arch_cx + r, cy - 4 * size, 3.2 * size))
    else:
        arch = intersect(ring(cx, top, r, 3.2 * size), lambda x, y: y - top)
        legs = union(segment(cx - r, top, cx - r, cy, 3.2 * size), segment(cx + r, top, cx + r, cy, 3.2 * size))
    shackle = union(arch, legs)
    c.shadow(union(shackle, body))
    c.outlined(shackle, vertical(lighter(STEEL, 0.4), STEEL), STEEL_DARK, 1.3 * size)
    c.outlined(body, body_paint, body_edge, 1.6 * size)
    c.fill(box(cx, cy - 6.5 * size, bw - 3 * size, 1.4 * size, 1.4 * size), flat(WHITE, 0.35))
    if keyhole:
        hole = union(circle(cx, cy + 1.5 * size, 3.6 * size),
                     polygon([(cx - 2.2 * size, cy + 3 * size), (cx + 2.2 * size, cy + 3 * size),
                              (cx + 3.2 * size, cy + 11 * size), (cx - 3.2 * size, cy + 11 * size)]))
        c.fill(hole, flat(INK, 0.85))


def key_shape(length=44.0, head_r=10.0, hole_r=4.2, y=32.0, x0=8.0):
    head = subtract(circle(x0 + head_r, y, head_r), circle(x0 + head_r - 2.0, y, hole_r))
    shaft = box(x0 + head_r * 2 + (length - head_r * 2) / 2 - 2, y, (length - head_r * 2) / 2 + 2, 3.2, 1.2)
    tip = x0 + length
    teeth = union(box(tip - 4.5, y + 6.0, 3.0, 4.0, 0.8), box(tip - 13.0, y + 5.0, 2.5, 3.0, 0.8))
    return union(head, shaft, teeth)


def draw_key(c, angle=-40.0):
    k = rotated(key_shape(), angle)
    c.shadow(k)
    c.outlined(k, vertical(lighter(GOLD, 0.35), GOLD), GOLD_DARK, 1.6)
    c.fill(rotated(box(30.0, 30.6, 11.0, 0.8, 0.8), angle), flat(WHITE, 0.45))


def page(cx=28.0, cy=32.0, hw=17.0, hh=23.0, fold=9.0):
    left, right, top, bottom = cx - hw, cx + hw, cy - hh, cy + hh
    outline = polygon([(left, top), (right - fold, top), (right, top + fold), (right, bottom), (left, bottom)])
    return grow(scaled(outline, 0.94, cx, cy), 1.2), (right, top, fold)


def draw_page(c, cx=28.0, cy=32.0, hw=17.0, hh=23.0, lines=4, bullets=False):
    shape, (right, top, fold) = page(cx, cy, hw, hh)
    c.shadow(shape)
    c.outlined(shape, vertical(WHITE, PAPER), PAPER_EDGE, 1.4)
    c.fill(polygon([(right - fold, top), (right - fold, top + fold), (right, top + fold)]), lighter(PAPER_EDGE, 0.35))
    y = cy - hh + 14
    for i in range(lines):
        x0 = cx - hw + 7
        if bullets:
            c.fill(circle(x0, y, 2.0), BLUE)
            x0 += 5
        c.fill(segment(x0, y, cx + hw - 7 - (6 if i % 2 else 0), y, 1.4), LINE)
        y += 8


def badge(c, color, edge, glyph, cx=47.0, cy=47.0, r=13.0):
    disc = circle(cx, cy, r)
    c.fill(grow(disc, 1.5), WHITE)
    c.outlined(disc, vertical(lighter(color, 0.25), color, cy - r, cy + r), edge, 1.5)
    glyph(c, cx, cy, r)


def glyph_cross(c, cx, cy, r):
    k = r * 0.42
    c.fill(union(segment(cx - k, cy - k, cx + k, cy + k, 2.3), segment(cx - k, cy + k, cx + k, cy - k, 2.3)), WHITE)


def glyph_check(c, cx, cy, r):
    k = r * 0.5
    c.fill(polyline([(cx - k, cy + 0.1 * r), (cx - 0.15 * r, cy + k * 0.9), (cx + k, cy - k * 0.8)], 2.3), WHITE)


def glyph_clock(c, cx, cy, r):
    c.fill(ring(cx, cy, r * 0.62, 1.1), WHITE)
    c.fill(polyline([(cx, cy - r * 0.42), (cx, cy), (cx + r * 0.32, cy + r * 0.18)], 1.3), WHITE)


def glyph_broom(c, cx, cy, r):
    k = r * 0.5
    c.fill(segment(cx - k * 1.1, cy - k * 1.1, cx + 0.1 * r, cy + 0.1 * r, 1.4), WHITE)
    c.fill(polygon([(cx - 0.15 * r, cy + 0.05 * r), (cx + 0.2 * r, cy - 0.3 * r),
                    (cx + 0.75 * r, cy + 0.3 * r), (cx + 0.3 * r, cy + 0.75 * r)]), WHITE)


def folder_shapes(open_folder):
    back = union(box(32, 34, 26, 18, 3.5), box(17, 16, 11, 4, 3))
    if not open_folder:
        front = box(32, 38, 26, 15, 3.5)
    else:
        front = polygon([(12, 26), (62, 26), (54, 52), (4, 52)])
        front = grow(scaled(front, 0.94, 33, 39), 1.5)
    return back, front


def draw_folder(c, open_folder=True):
    back, front = folder_shapes(open_folder)
    c.shadow(union(back, front))
    c.outlined(back, vertical(lighter(FOLDER_DARK, 0.35), FOLDER_DARK), FOLDER_DARK, 1.4)
    if open_folder:
        c.outlined(box(33, 30, 20, 12, 1), vertical(WHITE, PAPER), PAPER_EDGE, 1.0)
    c.outlined(front, vertical(lighter(FOLDER, 0.3), FOLDER), FOLDER_DARK, 1.4)


def draw_app_icon(c):
    tile = box(32, 32, 28, 28, 9)
    c.shadow(tile, 1.2)
    c.outlined(tile, vertical(BLUE_LIGHT, BLUE_DARK, 4, 60), BLUE_DARK, 1.6)
    c.fill(intersect(tile, box(32, 14, 30, 10, 0)), flat(WHITE, 0.10))
    draw_padlock(c, vertical(lighter(GOLD, 0.35), GOLD), GOLD_DARK, cy=36.0, size=0.95)


def draw_keyhole(c):
    plate = circle(32, 32, 27)
    c.shadow(plate)
    c.outlined(plate, vertical(lighter(STEEL, 0.5), STEEL), STEEL_DARK, 2.0)
    c.fill(ring(32, 32, 22.5, 0.8), flat(STEEL_DARK, 0.5))
    for a in range(0, 360, 90):
        x = 32 + 24.5 * math.cos(math.radians(a + 45))
        y = 32 + 24.5 * math.sin(math.radians(a + 45))
        c.fill(circle(x, y, 1.6), STEEL_DARK)
    hole = union(circle(32, 25, 8), polygon([(27.5, 28), (36.5, 28), (39.5, 47), (24.5, 47)]))
    c.fill(hole, vertical(GREY_DARK, INK, 17, 47))


def draw_gear(c, color, edge):
    teeth = [rotated(box(32, 10, 5.2, 6.5, 1.5), a) for a in range(0, 360, 45)]
    gear = subtract(union(circle(32, 32, 17.5), *teeth), circle(32, 32, 7.5))
    c.shadow(gear)
    c.outlined(gear, vertical(lighter(color, 0.35), color), edge, 1.8)


def draw_eye(c):
    lid = intersect(circle(32, 52, 30), circle(32, 12, 30))
    c.outlined(lid, vertical(WHITE, PAPER), GREY_DARK, 2.2)
    iris = intersect(circle(32, 32, 11), grow(lid, -2.0))
    c.fill(iris, vertical(BLUE_LIGHT, BLUE, 21, 43))
    c.fill(circle(32, 32, 5), INK)
    c.fill(circle(28.5, 28.5, 2.4), flat(WHITE, 0.9))


def draw_shell(c):
    win = box(32, 32, 27, 23, 4)
    c.shadow(win)
    c.outlined(win, vertical(GREY_DARK, INK, 9, 55), INK, 1.4)
    title = intersect(win, box(32, 12, 27, 4, 0))
    c.fill(title, vertical(BLUE_LIGHT, BLUE, 9, 16))
    for i, col in enumerate((RED, AMBER, GREEN)):
        c.fill(circle(48 + i * 0 - 8 + i * 6, 12, 1.6), lighter(col, 0.2))
    c.fill(polyline([(14, 26), (22, 32), (14, 38)], 2.0), (0x7F, 0xE0, 0x8A))
    c.fill(segment(26, 42, 38, 42, 1.8), (0x7F, 0xE0, 0x8A))


def draw_drop_here(c):
    # a dashed tray with an arrow falling into it, scaled to a wide canvas
    w = c.w / c.scale
    h = c.units_h
    tray = box(w / 2, h / 2, w / 2 - 4, h / 2 - 4, 8)
    c.fill(tray, flat(BLUE_LIGHT, 0.12))
    period = 9.0

    def dashed_rim(x, y):
        # dashes follow the angle around the centre; outside a dash the distance is pushed positive
        t = (math.atan2(y - h / 2, (x - w / 2) * h / w) + math.pi) / (2 * math.pi) * 2 * (w + h) / period
        along = (abs((t - math.floor(t)) - 0.5) - 0.22) * period
        return max(abs(tray(x, y)) - 1.2, along)

    c.fill(dashed_rim, flat(BLUE, 0.8))
    cx = w / 2
    arrow = union(box(cx, h * 0.34, 6, h * 0.16, 1.5),
                  polygon([(cx - 15, h * 0.46), (cx + 15, h * 0.46), (cx, h * 0.68)]))
    c.outlined(arrow, vertical(BLUE_LIGHT, BLUE, h * 0.15, h * 0.68), BLUE_DARK, 1.4)
    c.fill(segment(cx - 22, h * 0.78, cx + 22, h * 0.78, 1.8), flat(BLUE, 0.7))


def draw_loader(width=220, height=20, frames=12):
    """Frames of a segmented progress bar with a bright pulse running across."""
    segments = 11
    gap = 4
    seg_w = (width - (segments + 1) * gap) // segments
    palette = [(0xFF, 0xFF, 0xFF)]  # 0: transparent
    shades = 8
    for k in range(shades):
        t = k / (shades - 1)
        palette.append(tuple(round(a + (b - a) * t) for a, b in zip(lighter(BLUE_LIGHT, 0.55), BLUE)))
    palette.append(BLUE_DARK)
    edge_index = len(palette) - 1
    out = []
    for f in range(frames):
        head = f / frames * (segments + 3) - 1.5
        pixels = bytearray(width * height)
        for s in range(segments):
            x0 = gap + s * (seg_w + gap)
            level = max(0.0, 1.0 - abs(s - head) / 2.5)
            index = 1 + round(level * (shades - 1))
            for j in range(3, height - 3):
                for i in range(x0, x0 + seg_w):
                    edge = j in (3, height - 4) or i in (x0, x0 + seg_w - 1)
                    pixels[j * width + i] = edge_index if edge and level > 0.5 else index
        out.append((width, height, bytes(pixels)))
    return gif_bytes(out, palette, 8, 0)


# ---------------------------------------------------------------- catalogue


def icon(size, draw, units=64.0):
    c = Canvas(size, size, units)
    draw(c)
    return c


def list_badge(color, edge, glyph):
    def draw(c):
        draw_page(c, cx=27, cy=29, hw=18, hh=24, lines=4, bullets=True)
        badge(c, color, edge, glyph)
    return draw


def delete_locked(c):
    draw_padlock(c, vertical(lighter(STEEL, 0.2), STEEL_DARK), GREY_DARK, cx=27, cy=33, size=0.9)
    badge(c, RED, RED_DARK, glyph_cross)


def open_files(c):
    draw_page(c, cx=24, cy=28, hw=15, hh=20, lines=3)
    draw_page(c, cx=34, cy=36, hw=16, hh=21, lines=4)
    draw_padlock(c, vertical(lighter(GOLD, 0.35), GOLD), GOLD_DARK, cx=46, cy=46, size=0.5, keyhole=False)


def open_folder(c):
    draw_folder(c, True)


def decrypt_big(c):
    draw_padlock(c, vertical(lighter(GREEN, 0.35), GREEN), GREEN_DARK, open_shackle=True, cy=40, size=1.2)


def lock_open(c):
    draw_padlock(c, vertical(lighter(GREEN, 0.35), GREEN), GREEN_DARK, open_shackle=True, cy=38, size=1.05)


def settings(c):
    draw_gear(c, STEEL, STEEL_DARK)


def images():
    yield "crypt.png", png_bytes(icon(64, draw_app_icon))
    yield "CryptIcon48.png", png_bytes(icon(48, draw_app_icon))
    yield "CryptIcon.ico", ico_bytes([icon(s, draw_app_icon) for s in (16, 24, 32, 48, 64, 128, 256)])
    yield "key32.png", png_bytes(icon(32, draw_key))
    yield "key48.png", png_bytes(icon(48, draw_key))
    yield "key64.png", png_bytes(icon(64, draw_key))
    yield "lock_open48.png", png_bytes(icon(48, lock_open))
    yield "openfiles64.png", png_bytes(icon(64, open_files))
    yield "openfolder64.png", png_bytes(icon(64, open_folder))
    yield "cleanList64.png", png_bytes(icon(64, list_badge(BLUE, BLUE_DARK, glyph_broom)))
    yield "cleanDone64.png", png_bytes(icon(64, list_badge(GREEN, GREEN_DARK, glyph_check)))
    yield "cleanFailed64.png", png_bytes(icon(64, list_badge(RED, RED_DARK, glyph_cross)))
    yield "cleanWaiting64.png", png_bytes(icon(64, list_badge(AMBER, AMBER_DARK, glyph_clock)))
    yield "deletelocked48.png", png_bytes(icon(48, delete_locked))
    yield "deletelocked.png", png_bytes(icon(32, delete_locked))
    yield "settings32.png", png_bytes(icon(32, settings))
    yield "decrypt128.png", png_bytes(icon(128, decrypt_big))
    yield "eye40.png", png_bytes(icon(40, draw_eye))
    yield "shell-windows.png", png_bytes(icon(48, draw_shell))
    yield "keyhole64.png", png_bytes(icon(64, draw_keyhole))
    drop = Canvas(256, 160, 128.0)
    draw_drop_here(drop)
    yield "drophere.png", png_bytes(drop)
    yield "loaderAnimated.gif", draw_loader()


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    target = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "resources")
    os.makedirs(target, exist_ok=True)
    for name, data in images():
        path = os.path.join(target, name)
        with open(path, "wb") as f:
            f.write(data)
        print(f"{name}: {len(data)} bytes")


if __name__ == "__main__":
    main()
