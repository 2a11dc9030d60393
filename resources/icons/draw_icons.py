#!/usr/bin/python3
"""Draws the launcher's small PNG icons from the text grids below.

The 16 and 32 pixel icons are hand-placed pixel art rather than downscaled
SVG renders, because a straight downscale turns thin outlines into mush.
Each grid character is a palette key; '.' is fully transparent.

Output is 4-bit indexed PNG (colour type 3) with a tRNS chunk, written with
zlib/struct only so the images rebuild anywhere a Python 3 exists:

    /usr/bin/python3 draw_icons.py [output-dir]
"""

import os
import struct
import sys
import zlib

# ---------------------------------------------------------------- palettes
# key -> (r, g, b, alpha). Order is the palette order in the file.

COMPUTER_PALETTE = {
    ".": (0, 0, 0, 0),             # background
    "k": (0x2E, 0x34, 0x36, 255),  # outline
    "h": (0xF4, 0xF4, 0xF2, 255),  # case, lit edge
    "g": (0xC8, 0xCC, 0xC4, 255),  # case
    "m": (0x88, 0x8A, 0x85, 255),  # case, shaded
    "c": (0x9A, 0xA0, 0x96, 255),  # cable core
    "b": (0x34, 0x65, 0xA4, 255),  # blue screen
    "l": (0x72, 0x9F, 0xCF, 255),  # blue screen, glare
    "d": (0x20, 0x4A, 0x87, 255),  # blue screen, shade
    "t": (0x14, 0x9C, 0x8E, 255),  # teal screen
    "u": (0x5E, 0xD2, 0xC2, 255),  # teal screen, glare
    "e": (0x0B, 0x6B, 0x62, 255),  # teal screen, shade
    "p": (0x4E, 0xC2, 0x1A, 255),  # power light
}

COMPUTERS_32 = [
    "kkkkkkkkkkkkkkkk................",
    "khhhhhhhhhhhhhgk................",
    "khlllllbbbbbbbgk................",
    "khlllbbbbbbbbbgk................",
    "khlbbbbbbbbbbbgk................",
    "khbbbbbbbbbbbbgk................",
    "khbbbbbbbbbbbbgk................",
    "khbbbbbbbbbbbdgk................",
    "khbbbbbbbbbbddgk................",
    "khbbbbbbbbbdddgk................",
    "kggggggggggggggk................",
    "kkkkkkkkkkkkkkkk................",
    "......kgmk......kkkkkkkkkkkkkkkk",
    "......kgmk......khhhhhhhhhhhhhgk",
    ".kkkkkkkkkkkkkk.khuuuuutttttttgk",
    ".khhhhhhhhhhhgk.khuuutttttttttgk",
    ".khmmmmmgggpggk.khutttttttttttgk",
    ".kggggggggggggk.khttttttttttttgk",
    ".kkkkkkkkkkkkkk.khttttttttttttgk",
    "......kck.......khtttttttttttegk",
    "......kck.......khtttttttttteegk",
    "......kck.......khttttttttteeegk",
    "......kck.......kggggggggggggggk",
    "......kck.......kkkkkkkkkkkkkkkk",
    "......kck.............kgmk......",
    "......kck.............kgmk......",
    "......kck........kkkkkkkkkkkkkk.",
    "......kck........khhhhhhhhhhhgk.",
    "......kckkkkkkkkkkhmmmmmgggpggk.",
    "......kcccccccccccggggggggggggk.",
    "......kkkkkkkkkkkkkkkkkkkkkkkkk.",
    "................................",
]

COMPUTERS_16 = [
    "kkkkkkkk........",
    "kllbbbbk........",
    "klbbbbbk........",
    "kbbbbbbk........",
    "kbbbbbdk........",
    "kkkkkkkk........",
    "...km...kkkkkkkk",
    ".kkkkkk.kuuttttk",
    ".khhhpk.kutttttk",
    ".kkkkkk.kttttttk",
    "...c....ktttttek",
    "...c....kkkkkkkk",
    "...c.......km...",
    "...c.....kkkkkk.",
    "...cccccckhhhpk.",
    ".........kkkkkk.",
]

KEY_PALETTE = {
    ".": (0, 0, 0, 0),             # background
    "o": (0x7A, 0x55, 0x08, 255),  # outline
    "y": (0xF2, 0xCE, 0x1E, 255),  # brass yellow
    "l": (0xFC, 0xEE, 0x7A, 255),  # lit edge
    "d": (0xC4, 0x9A, 0x06, 255),  # shaded edge
    "s": (0x55, 0x57, 0x53, 140),  # shadow core
    "z": (0x55, 0x57, 0x53, 70),   # shadow fringe
}

KEY_32 = [
    "................................",
    "................................",
    "................................",
    "................................",
    "................................",
    "................................",
    ".....................ooooo......",
    "...................oollllloo....",
    "..................ollyyyyyllo...",
    ".................olyyydddyyylo..",
    ".................olyydooolyyyo..",
    ".oooooooooooooooolyydo...olyylo.",
    ".olllllllllllllllyyyo.....olyyo.",
    ".olyyyyyyyyyyyyyyyydo.....olydo.",
    ".oyyydyyydyyyddddyydo.....oyydo.",
    ".oyydodydodydoooodyylo...olyydo.",
    ".oydo.odo.odo....oyyylooolyydo..",
    ".oydo.odo.odo....odyyylllyyydo..",
    ".oydo.odo.ooo.....oddyyyyyddo...",
    ".oddo.ooo..........oodddddoo....",
    ".oooo................ooooo......",
    "................................",
    "...zzzzzzzzzzzzzzzzzzzzzzzzzz...",
    ".zzsssssssssssssssssssssssssszz.",
    "...zzzzzzzzzzzzzzzzzzzzzzzzzz...",
    "................................",
    "................................",
    "................................",
    "................................",
    "................................",
    "................................",
    "................................",
]

KEY_16 = [
    "................",
    "................",
    "..........oooo..",
    ".........ollllo.",
    "........olyooyyo",
    "oooooooooyo..ydo",
    "olllllllllo..odo",
    "oyoooyoooydoodyo",
    "oyo.oyo..oddddo.",
    "oyo.ooo...oooo..",
    "ooo.............",
    "................",
    "..zzzzzzzzzzzz..",
    ".zssssssssssssz.",
    "..zzzzzzzzzzzz..",
    "................",
]

ICONS = [
    ("rozidarude-32.png", COMPUTER_PALETTE, COMPUTERS_32),
    ("rozidarude-16.png", COMPUTER_PALETTE, COMPUTERS_16),
    ("server-key-32.png", KEY_PALETTE, KEY_32),
    ("server-key-16.png", KEY_PALETTE, KEY_16),
]


# ---------------------------------------------------------------- PNG writer

def _chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def encode_png(palette, grid):
    keys = list(palette)
    if len(keys) > 16:
        raise ValueError("palette has %d entries; 4-bit PNG allows 16" % len(keys))
    height = len(grid)
    width = len(grid[0])
    index = {k: i for i, k in enumerate(keys)}

    raw = bytearray()
    for y, row in enumerate(grid):
        if len(row) != width:
            raise ValueError("row %d is %d wide, expected %d" % (y, len(row), width))
        unknown = set(row) - set(index)
        if unknown:
            raise ValueError("row %d uses keys not in the palette: %s" % (y, "".join(sorted(unknown))))
        raw.append(0)  # filter: none
        for x in range(0, width, 2):
            hi = index[row[x]]
            lo = index[row[x + 1]] if x + 1 < width else 0
            raw.append((hi << 4) | lo)

    plte = b"".join(struct.pack("BBB", *palette[k][:3]) for k in keys)
    alphas = [palette[k][3] for k in keys]
    # tRNS may stop after the last non-opaque entry.
    while alphas and alphas[-1] == 255:
        alphas.pop()
    trns = bytes(alphas)

    ihdr = struct.pack(">IIBBBBB", width, height, 4, 3, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n"
            + _chunk(b"IHDR", ihdr)
            + _chunk(b"PLTE", plte)
            + _chunk(b"tRNS", trns)
            + _chunk(b"IDAT", zlib.compress(bytes(raw), 9))
            + _chunk(b"IEND", b""))


def main(argv):
    outdir = argv[1] if len(argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    for name, palette, grid in ICONS:
        path = os.path.join(outdir, name)
        with open(path, "wb") as f:
            f.write(encode_png(palette, grid))
        print("wrote", path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
