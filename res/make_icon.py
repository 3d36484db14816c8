#!/usr/bin/env python3
"""Writes vokxp.ico: one 32 x 32 image in 16 colours, drawn below as text.

A strip of film with a wrench across it. Each letter is a palette index;
'.' is transparent. Run it again after editing the picture.
"""
import struct
import sys

PALETTE = [  # the classic 16 VGA colours, as (B, G, R)
    (0, 0, 0), (0, 0, 128), (0, 128, 0), (0, 128, 128),
    (128, 0, 0), (128, 0, 128), (128, 128, 0), (192, 192, 192),
    (128, 128, 128), (0, 0, 255), (0, 255, 0), (0, 255, 255),
    (255, 0, 0), (255, 0, 255), (255, 255, 0), (255, 255, 255),
]
KEYS = "0123456789abcdef"  # index in PALETTE; 8 grey, 7 silver, 9 red, f white

PICTURE = """
................................
..0000000000000000000000000000..
..0f0ff0ff0ff0ff0ff0ff0ff0ff00..
..0000000000000000000000000000..
..0888888888888888888888888880..
..0844444444444444444444444480..
..0844444444444444447774444880..
..0844444444444444477777448080..
..0844444444444444477.77480.80..
..084444444444444447...7780.80..
..084444444444444447...7748080..
..0844444444444444777.77448080..
..0844444444444477777774444880..
..0844444444444777777744444480..
..0844444444447777777444444480..
..0844444444777777744444444480..
..0844444447777777444444444480..
..0844444777777744444444444480..
..0844447777777444444444444480..
..084477.777744444444444444480..
..08447...7744444444444444cc80..
..08447...74444444444444cccc80..
..084477.7744444444444ccccc480..
..0844777744444444444cc99cc480..
..084444444444444444cc99cc4480..
..0844444444444444444cccc44480..
..0888888888888888888888888880..
..0000000000000000000000000000..
..0f0ff0ff0ff0ff0ff0ff0ff0ff00..
..0000000000000000000000000000..
................................
................................
"""


def rows():
    lines = [l for l in PICTURE.strip("\n").split("\n")]
    assert len(lines) == 32, len(lines)
    return [l.ljust(32, ".")[:32] for l in lines]


def ico_bytes():
    pixels = rows()[::-1]  # bitmaps run bottom-up
    xor = b"".join(
        bytes((KEYS.index(r[x] if r[x] != "." else "0") << 4) | KEYS.index(r[x + 1] if r[x + 1] != "." else "0")
              for x in range(0, 32, 2))
        for r in pixels)
    and_mask = b""
    for r in pixels:
        bits = 0
        for x in range(32):
            bits = (bits << 1) | (r[x] == ".")
        and_mask += struct.pack(">I", bits)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for b, g, r in PALETTE)
    header = struct.pack("<IiiHHIIiiII", 40, 32, 64, 1, 4, 0, len(xor) + len(and_mask), 0, 0, 16, 0)
    image = header + palette + xor + and_mask
    directory = struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", 32, 32, 16, 0, 1, 4, len(image), 22)
    return directory + image


if __name__ == "__main__":
    out = sys.argv[1] if len(sys.argv) > 1 else "vokxp.ico"
    with open(out, "wb") as f:
        f.write(ico_bytes())
