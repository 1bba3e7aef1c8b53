#!/usr/bin/env python3
"""Turns the program's XPM icons into PNG files (for the desktop's hicolor
theme) and into one Windows .ico holding all of them at their own colour
depth (1 bit for a 2-colour image, 4 bits for 16 colours).

    make_icons.py png XPM OUT.png
    make_icons.py ico OUT.ico XPM...
"""
import struct
import sys
import zlib


def read_xpm(path):
    """Returns (width, height, palette of (r, g, b) or None, rows of indices)."""
    with open(path, encoding="ascii") as f:
        strings = [line.split('"')[1] for line in f if line.lstrip().startswith('"')]
    width, height, ncolors, cpp = (int(v) for v in strings[0].split()[:4])
    keys, palette = {}, []
    for spec in strings[1 : 1 + ncolors]:
        key, words = spec[:cpp], spec[cpp:].split()
        value = words[words.index("c") + 1]
        keys[key] = len(palette)
        palette.append(None if value.lower() == "none" else
                       tuple(int(value[i : i + 2], 16) for i in (1, 3, 5)))
    rows = [[keys[row[x * cpp : (x + 1) * cpp]] for x in range(width)]
            for row in strings[1 + ncolors : 1 + ncolors + height]]
    return width, height, palette, rows


def png(path):
    width, height, palette, rows = read_xpm(path)
    raw = b"".join(
        b"\0" + b"".join(bytes(palette[i] + (255,)) if palette[i] else b"\0\0\0\0" for i in row)
        for row in rows)

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def pack_bits(values, bits):
    """One DIB row: values packed MSB first, padded to 32 bits."""
    out, acc, used = bytearray(), 0, 0
    for v in values:
        acc, used = (acc << bits) | v, used + bits
        if used == 8:
            out.append(acc)
            acc, used = 0, 0
    if used:
        out.append(acc << (8 - used))
    return bytes(out) + b"\0" * (-len(out) % 4)


def ico_image(path):
    width, height, palette, rows = read_xpm(path)
    colours = [c for c in palette if c]
    bits = 1 if len(colours) <= 2 else 4
    table = colours + [(0, 0, 0)] * ((1 << bits) - len(colours))
    index = {i: (colours.index(c) if c else 0) for i, c in enumerate(palette)}
    xor = b"".join(pack_bits([index[i] for i in row], bits) for row in reversed(rows))
    mask = b"".join(pack_bits([0 if palette[i] else 1 for i in row], 1) for row in reversed(rows))
    header = struct.pack("<IiiHHIIiiII", 40, width, height * 2, 1, bits, 0,
                         len(xor) + len(mask), 0, 0, 1 << bits, 0)
    colour_table = b"".join(bytes((b, g, r, 0)) for r, g, b in table)
    return width, height, bits, header + colour_table + xor + mask


def ico(paths):
    images = [ico_image(p) for p in paths]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for width, height, bits, data in images:
        out += struct.pack("<BBBBHHII", width % 256, height % 256, (1 << bits) % 256, 0, 1, bits,
                           len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, _, _, data in images)


def main(argv):
    if len(argv) == 4 and argv[1] == "png":
        data, out = png(argv[2]), argv[3]
    elif len(argv) >= 4 and argv[1] == "ico":
        data, out = ico(argv[3:]), argv[2]
    else:
        sys.exit(__doc__)
    with open(out, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main(sys.argv)
