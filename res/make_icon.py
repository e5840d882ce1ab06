#!/usr/bin/env python3
"""Writes archver.ico: one 32 x 32 image in 16 colours (4 bits per pixel), a
blue window with a title bar showing "64" over "32".

usage: make_icon.py [OUTPUT]   (default: archver.ico beside this script;
                               "-" for standard output)
"""
import os
import struct
import sys

# The 16-colour palette as (blue, green, red, 0), the bitmap's own order.
PALETTE = [(0, 0, 0, 0), (128, 0, 0, 0), (0, 128, 0, 0), (128, 128, 0, 0),
           (0, 0, 128, 0), (128, 0, 128, 0), (0, 128, 128, 0), (192, 192, 192, 0),
           (128, 128, 128, 0), (255, 0, 0, 0), (0, 255, 0, 0), (255, 255, 0, 0),
           (0, 0, 255, 0), (255, 0, 255, 0), (0, 255, 255, 0), (255, 255, 255, 0)]
BLACK, NAVY, GREY, BLUE, WHITE = 0, 1, 8, 9, 15

# 3 x 5 digits, drawn at twice their size.
DIGITS = {
    "2": ["###", "..#", "###", "#..", "###"],
    "3": ["###", "..#", "###", "..#", "###"],
    "4": ["#.#", "#.#", "###", "..#", "..#"],
    "6": ["###", "#..", "###", "#.#", "###"],
}
SIZE = 32


def draw():
    """Rows top to bottom of palette indices; None is transparent."""
    pixels = [[None] * SIZE for _ in range(SIZE)]
    for y in range(2, 30):
        for x in range(1, 31):
            edge = y in (2, 29) or x in (1, 30)
            pixels[y][x] = BLACK if edge else (NAVY if y < 7 else BLUE)
    for x in (24, 27):  # title-bar buttons
        for y in (4, 5):
            pixels[y][x] = pixels[y][x + 1] = WHITE

    def text(word, left, top, colour):
        for i, digit in enumerate(word):
            for row, line in enumerate(DIGITS[digit]):
                for column, mark in enumerate(line):
                    if mark == "#":
                        for dy in (0, 1):
                            for dx in (0, 1):
                                x = left + i * 8 + column * 2 + dx
                                pixels[top + row * 2 + dy][x] = colour

    text("64", 8, 8, WHITE)
    text("32", 8, 19, GREY)
    return pixels


def icon(pixels):
    colours = b""
    mask = b""
    for row in reversed(pixels):  # bitmaps are stored bottom up
        indices = [0 if p is None else p for p in row]
        colours += bytes(indices[x] << 4 | indices[x + 1] for x in range(0, SIZE, 2))
        bits = 0
        for p in row:
            bits = bits << 1 | (p is None)
        mask += struct.pack(">I", bits)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 4, 0,
                         len(colours) + len(mask), 0, 0, 16, 0)
    palette = b"".join(struct.pack("4B", *c) for c in PALETTE)
    image = header + palette + colours + mask
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "archver.ico")
    if out == "-":
        sys.stdout.buffer.write(icon(draw()))
        return
    with open(out, "wb") as f:
        f.write(icon(draw()))


if __name__ == "__main__":
    main()
