#!/usr/bin/env python3
"""Writes src/bios/font8_data.cpp: the 8x8 code page 437 glyph table.

The glyphs come from the 8x8 VGA console fonts of Debian's console-setup-linux
package (apt-get install console-setup-linux, or unpack it with dpkg -x). Each
font carries a Unicode map; every code page 437 character is looked up by its
Unicode code point (0x00-0x1F and 0x7F as the graphic symbols the PC shows for
them) in the fonts in the order given, the first font that has it wins.

    scripts/gen_font8.py [FONT_DIR] > src/bios/font8_data.cpp
FONT_DIR defaults to /usr/share/consolefonts.
"""
import gzip
import os
import struct
import sys

# Lat2 and Lat38 carry the classic PC 8x8 shapes ("A" is 30 78 CC CC FC CC
# CC 00) for nearly all of the code page; the others fill in the Greek letters
# and a few symbols.
FONTS = ["Lat2-VGA8.psf.gz", "Lat38-VGA8.psf.gz", "Arabic-VGA8.psf.gz",
         "Uni2-VGA8.psf.gz", "Uni1-VGA8.psf.gz", "Lat15-VGA8.psf.gz",
         "FullGreek-VGA8.psf.gz"]

# What the PC draws for the control codes and DEL.
LOW = [0x0000, 0x263A, 0x263B, 0x2665, 0x2666, 0x2663, 0x2660, 0x2022,
       0x25D8, 0x25CB, 0x25D9, 0x2642, 0x2640, 0x266A, 0x266B, 0x263C,
       0x25BA, 0x25C4, 0x2195, 0x203C, 0x00B6, 0x00A7, 0x25AC, 0x21A8,
       0x2191, 0x2193, 0x2192, 0x2190, 0x221F, 0x2194, 0x25B2, 0x25BC]
DEL = 0x2302
# The code page 437 characters that none of the console fonts has, and the
# Greek letters and the pointers, whose glyphs in these fonts are other characters' shapes;
# drawn in the style of the others.
DRAWN = {0x10: bytes([0x80, 0xE0, 0xF8, 0xFE, 0xF8, 0xE0, 0x80, 0x00]),   # right pointer
         0x11: bytes([0x02, 0x0E, 0x3E, 0xFE, 0x3E, 0x0E, 0x02, 0x00]),   # left pointer
         0xE0: bytes([0x00, 0x00, 0x76, 0xDC, 0xC8, 0xDC, 0x76, 0x00]),   # alpha
         0xE2: bytes([0xFC, 0xCC, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0x00]),   # Gamma
         0xE4: bytes([0xFC, 0xCC, 0x60, 0x30, 0x60, 0xCC, 0xFC, 0x00]),   # Sigma
         0xE5: bytes([0x00, 0x00, 0x7E, 0xD8, 0xD8, 0xD8, 0x70, 0x00]),   # sigma
         0xE7: bytes([0x00, 0x76, 0xDC, 0x18, 0x18, 0x18, 0x18, 0x00]),   # tau
         0xE8: bytes([0xFC, 0x30, 0x78, 0xCC, 0xCC, 0x78, 0x30, 0xFC]),   # Phi
         0xE9: bytes([0x38, 0x6C, 0xC6, 0xFE, 0xC6, 0x6C, 0x38, 0x00]),   # Theta
         0xEA: bytes([0x38, 0x6C, 0xC6, 0xC6, 0x6C, 0x6C, 0xEE, 0x00]),   # Omega
         0xEB: bytes([0x1C, 0x30, 0x18, 0x7C, 0xCC, 0xCC, 0x78, 0x00]),   # delta
         0xED: bytes([0x06, 0x0C, 0x7E, 0xDB, 0xDB, 0x7E, 0x60, 0xC0]),   # phi
         0xEE: bytes([0x38, 0x60, 0xC0, 0xF8, 0xC0, 0x60, 0x38, 0x00]),   # epsilon
         0x9E: bytes([0xF8, 0xCC, 0xCC, 0xFA, 0xC6, 0xCF, 0xC6, 0xC7]),   # Pt
         0xA9: bytes([0x00, 0x00, 0x00, 0xFC, 0xC0, 0xC0, 0x00, 0x00]),   # reversed not
         0xEC: bytes([0x00, 0x00, 0x7E, 0xDB, 0xDB, 0x7E, 0x00, 0x00]),   # infinity
         0xEF: bytes([0x78, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0x00]),   # intersection
         0xF0: bytes([0x00, 0xFC, 0x00, 0xFC, 0x00, 0xFC, 0x00, 0x00])}   # identical to
# Code points that fonts often map to a look-alike instead.
ALTERNATIVES = {0x25BA: [0x25B6], 0x25C4: [0x25C0], 0x00B5: [0x03BC],
                0x00DF: [0x03B2], 0x2211: [0x03A3], 0x2126: [0x03A9],
                0x2205: [0x03C6], 0x2208: [0x03B5], 0x00B7: [0x2219]}


def cp437_unicode(c):
    if c < 0x20:
        return LOW[c]
    if c == 0x7F:
        return DEL
    return ord(bytes([c]).decode("cp437"))


def read_psf(path):
    """Returns {code point: 8 row bytes} of an 8-pixel-wide PSF1/PSF2 font."""
    data = gzip.open(path).read()
    glyphs, table = [], {}
    if data[:2] == b"\x36\x04":
        mode, size = data[2], data[3]
        count = 512 if mode & 1 else 256
        glyphs = [data[4 + i * size:4 + (i + 1) * size] for i in range(count)]
        pos = 4 + count * size
        if mode & 2:
            for g in range(count):
                while True:
                    (u,) = struct.unpack_from("<H", data, pos)
                    pos += 2
                    if u == 0xFFFF:
                        break
                    if u != 0xFFFE:
                        table.setdefault(u, g)
    elif data[:4] == b"\x72\xb5\x4a\x86":
        _, hsize, flags, count, size, height, width = struct.unpack_from("<7I", data, 4)
        glyphs = [data[hsize + i * size:hsize + (i + 1) * size] for i in range(count)]
        pos = hsize + count * size
        if flags & 1:
            for g in range(count):
                while data[pos] != 0xFF:
                    if data[pos] == 0xFE:
                        pos += 1
                        continue
                    n = 1
                    while n < 4 and pos + n < len(data) and (data[pos + n] & 0xC0) == 0x80:
                        n += 1
                    ch = data[pos:pos + n].decode("utf-8")
                    table.setdefault(ord(ch), g)
                    pos += n
                pos += 1
    else:
        raise SystemExit("not a PSF font: " + path)
    return {u: glyphs[g] for u, g in table.items() if len(glyphs[g]) == 8}


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else "/usr/share/consolefonts"
    fonts = [read_psf(os.path.join(folder, f)) for f in FONTS
             if os.path.exists(os.path.join(folder, f))]
    if not fonts:
        raise SystemExit("no 8x8 console fonts in " + folder)
    rows = []
    for c in range(256):
        u = cp437_unicode(c)
        glyph = bytes(8) if u == 0 else DRAWN.get(c)
        for cand in [u] + ALTERNATIVES.get(u, []):
            glyph = glyph or next((f[cand] for f in fonts if cand in f), None)
        if glyph is None:
            raise SystemExit("no glyph for %02X (U+%04X)" % (c, u))
        rows.append(glyph)
    out = sys.stdout
    out.write("// Generated by scripts/gen_font8.py from the 8x8 VGA console fonts of\n"
              "// console-setup-linux; regenerate rather than edit.\n"
              "// 256 glyphs in code page 437 order, 8 rows each, bit 7 the left pixel.\n"
              '#include "bios/font.h"\n\n'
              "const uint8_t font8[FONT_GLYPHS * FONT8_ROWS] = {\n")
    for c, g in enumerate(rows):
        out.write("    " + ", ".join("0x%02X" % b for b in g) + ",  // %02X\n" % c)
    out.write("};\n")


main()
