#!/usr/bin/python3
"""Checks the launcher's small PNG icons.

Each icon must be a 4-bit indexed PNG (colour type 3) of the size in its
name (-16 or -32), with at most 16 palette entries and a tRNS chunk that
makes at least one entry fully transparent. The picture itself must have a
transparent corner (no opaque square background) and must not be blank.
It also regenerates the icons from draw_icons.py and compares bytes, so a
grid edited without rebuilding the PNGs is caught.

    /usr/bin/python3 check_icons.py [icon.png ...]

Without arguments it checks the four icons next to this script.
Exit status is 0 when everything passes, 1 otherwise.
"""

import os
import re
import struct
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
EXPECTED = [
    "rozidarude-16.png",
    "rozidarude-32.png",
    "server-key-16.png",
    "server-key-32.png",
]
SIGNATURE = b"\x89PNG\r\n\x1a\n"


class IconError(Exception):
    pass


def read_chunks(data):
    if not data.startswith(SIGNATURE):
        raise IconError("not a PNG file (bad signature)")
    pos = len(SIGNATURE)
    chunks = []
    while pos < len(data):
        if pos + 8 > len(data):
            raise IconError("truncated chunk header at byte %d" % pos)
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        crc_bytes = data[pos + 8 + length:pos + 12 + length]
        if len(body) != length or len(crc_bytes) != 4:
            raise IconError("truncated %r chunk" % kind)
        if zlib.crc32(kind + body) & 0xFFFFFFFF != struct.unpack(">I", crc_bytes)[0]:
            raise IconError("CRC mismatch in %r chunk" % kind)
        chunks.append((kind, body))
        pos += 12 + length
        if kind == b"IEND":
            break
    if not chunks or chunks[-1][0] != b"IEND":
        raise IconError("missing IEND chunk")
    return chunks


def unfilter(raw, width, height, bit_depth):
    stride = (width * bit_depth + 7) // 8
    bpp = max(1, bit_depth // 8)  # filter byte distance for sub-byte depths is 1
    if len(raw) != height * (stride + 1):
        raise IconError("image data is %d bytes, expected %d" % (len(raw), height * (stride + 1)))
    rows = []
    prev = bytearray(stride)
    for y in range(height):
        ftype = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b = prev[i]
            c = prev[i - bpp] if i >= bpp else 0
            if ftype == 0:
                pred = 0
            elif ftype == 1:
                pred = a
            elif ftype == 2:
                pred = b
            elif ftype == 3:
                pred = (a + b) // 2
            elif ftype == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                pred = a if pa <= pb and pa <= pc else (b if pb <= pc else c)
            else:
                raise IconError("row %d uses unknown filter type %d" % (y, ftype))
            line[i] = (line[i] + pred) & 0xFF
        rows.append(line)
        prev = line
    return rows


def pixel_indices(rows, width, bit_depth):
    per_byte = 8 // bit_depth
    mask = (1 << bit_depth) - 1
    grid = []
    for line in rows:
        out = []
        for x in range(width):
            byte = line[x // per_byte]
            shift = 8 - bit_depth * (x % per_byte + 1)
            out.append((byte >> shift) & mask)
        grid.append(out)
    return grid


def check_png(path):
    """Returns a list of problems (empty when the icon is fine)."""
    name = os.path.basename(path)
    m = re.search(r"-(16|32)\.png$", name)
    if not m:
        return ["file name does not end in -16.png or -32.png"]
    want = int(m.group(1))
    try:
        with open(path, "rb") as f:
            data = f.read()
        chunks = read_chunks(data)
    except (OSError, IconError) as e:
        return [str(e)]

    problems = []
    if chunks[0][0] != b"IHDR" or len(chunks[0][1]) != 13:
        return ["first chunk is not a valid IHDR"]
    width, height, depth, ctype, comp, filt, interlace = struct.unpack(">IIBBBBB", chunks[0][1])
    if (width, height) != (want, want):
        problems.append("size is %dx%d, name says %dx%d" % (width, height, want, want))
    if ctype != 3:
        problems.append("colour type is %d, expected 3 (indexed)" % ctype)
    if depth != 4:
        problems.append("bit depth is %d, expected 4" % depth)
    if comp != 0 or filt != 0:
        problems.append("unknown compression/filter method")
    if interlace != 0:
        problems.append("interlaced; expected a plain image")
    if problems:
        return problems

    kinds = [k for k, _ in chunks]
    plte = [b for k, b in chunks if k == b"PLTE"]
    trns = [b for k, b in chunks if k == b"tRNS"]
    if len(plte) != 1:
        return ["expected exactly one PLTE chunk, found %d" % len(plte)]
    if len(plte[0]) % 3:
        return ["PLTE length %d is not a multiple of 3" % len(plte[0])]
    entries = len(plte[0]) // 3
    if entries > 16:
        problems.append("palette has %d entries, at most 16 allowed" % entries)
    if len(trns) != 1:
        return problems + ["no tRNS chunk: nothing can be transparent"]
    if kinds.index(b"tRNS") < kinds.index(b"PLTE"):
        problems.append("tRNS comes before PLTE")
    alpha = list(trns[0])
    if len(alpha) > entries:
        problems.append("tRNS has %d entries but the palette only %d" % (len(alpha), entries))
    alpha += [255] * (entries - len(alpha))
    if 0 not in alpha:
        problems.append("tRNS has no fully transparent entry")

    raw = b"".join(b for k, b in chunks if k == b"IDAT")
    try:
        rows = unfilter(zlib.decompress(raw), width, height, depth)
    except (zlib.error, IconError) as e:
        return problems + ["cannot decode image data: %s" % e]
    grid = pixel_indices(rows, width, depth)
    used = {i for row in grid for i in row}
    if max(used) >= entries:
        problems.append("pixel uses palette index %d past the palette's end" % max(used))
        return problems

    def transparent(x, y):
        return alpha[grid[y][x]] == 0

    corners = [(0, 0), (width - 1, 0), (0, height - 1), (width - 1, height - 1)]
    if not any(transparent(x, y) for x, y in corners):
        problems.append("no corner pixel is transparent (opaque background?)")
    if all(transparent(x, y) for y in range(height) for x in range(width)):
        problems.append("every pixel is transparent (blank image)")
    return problems


def check_reproducible(directory):
    """Icons on disk must be exactly what draw_icons.py produces now."""
    sys.dont_write_bytecode = True  # keep the source tree free of __pycache__
    sys.path.insert(0, HERE)
    try:
        import draw_icons
    finally:
        sys.path.pop(0)
    problems = []
    for name, palette, grid in draw_icons.ICONS:
        path = os.path.join(directory, name)
        try:
            with open(path, "rb") as f:
                on_disk = f.read()
        except OSError as e:
            problems.append("%s: %s" % (name, e))
            continue
        if on_disk != draw_icons.encode_png(palette, grid):
            problems.append("%s: differs from draw_icons.py output; rerun draw_icons.py" % name)
    return problems


def main(argv):
    paths = argv[1:] or [os.path.join(HERE, n) for n in EXPECTED]
    failed = False
    for path in paths:
        problems = check_png(path)
        for p in problems:
            print("FAIL %s: %s" % (path, p))
        if problems:
            failed = True
        else:
            print("ok   %s" % path)
    if len(argv) == 1:
        problems = check_reproducible(HERE)
        for p in problems:
            print("FAIL %s" % p)
        if problems:
            failed = True
        else:
            print("ok   PNGs match draw_icons.py")
    if failed:
        print("icon check failed", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
