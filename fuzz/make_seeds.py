#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Writes the small seed corpora of the fuzz targets into fuzz/corpus/.

Each seed is a sound or slightly odd archive (or section, or tree) built
record by record, so that the fuzzer starts from inputs that reach deep
into the readers instead of stopping at the first length field.
"""
import os
import struct
import sys
import zlib

PIECE = 16384
REPEAT = b"\x7fRPT"  # count and length follow, see fuzz_support.h
CUT = b"\x7fCUT"


def i32(v):
    return struct.pack("<i", v)


def string(s):
    return i32(len(s)) + s


def header(title=b"", total=0, count=0):
    return string(title) + i32(total) + i32(count)


def chunks(data, stored=False):
    out = b""
    for at in range(0, len(data), PIECE):
        piece = data[at:at + PIECE]
        z = zlib.compress(piece, 1)
        out += i32(-len(piece)) + piece if stored or len(z) > PIECE else i32(len(z)) + z
    return out


def section(data, stored=False):
    return b"EC2\0" + chunks(data, stored) + i32(0)


def entry(name, data, stamp=0x52A1_6C21, stored=False):
    return string(name) + i32(stamp) + section(data, stored)


def repeat(unit, count):
    return REPEAT + struct.pack("<HH", count, len(unit)) + unit


STAMP = 0x52A1_6C21
LIST = b"/home/u/a.txt\t1386315809=5\r\n/home/u/d/b.bin\t1386315809=20000\r\n"
TEXT = b"hello"
BIG = bytes(range(256)) * 80  # 20480 bytes: two chunks


def archive_with_list():
    return (header(b"weekly", 20005, 3) + entry(b"FILE:LIST", LIST) +
            entry(b"/home/u/a.txt", TEXT) + entry(b"/home/u/d/b.bin", BIG) + i32(0))


def list_bomb():
    # A list whose every chunk is a piece of zeros: 4,200 of them inflate
    # to about 66 MiB from a few dozen bytes of input.
    z = zlib.compress(bytes(PIECE), 9)
    return (header(b"bomb", 0, 1) + string(b"FILE:LIST") + i32(STAMP) + b"EC2\0" +
            repeat(i32(len(z)) + z, 4200) + i32(0) + i32(0))


def split_archive():
    first = (header(b"split", 20480 + 5, 2) + entry(b"/v/a.txt", TEXT) + string(b"/v/big.bin") +
             i32(STAMP) + b"EC2\0" + chunks(BIG[:PIECE]) + i32(0) + string(b"NEXT:DISK002"))
    second = b"EC2\0" + chunks(BIG[PIECE:]) + i32(0) + i32(0)
    return first + CUT + second


def three_volumes():
    one = header(b"", 3, 3) + entry(b"x/1", b"1") + string(b"NEXT:DISK002")
    two = b"EC2\0" + i32(0) + entry(b"x/2", b"2", stored=True) + string(b"NEXT:DISK003")
    three = b"EC2\0" + i32(0) + entry(b"x/3", b"3") + i32(0)
    return one + CUT + two + CUT + three


def tree(title, files):
    # The title, then one file per piece: flags byte, name, NUL, contents.
    return title + CUT + CUT.join(bytes([flags]) + name + b"\0" + data for flags, name, data in files)


SEEDS = {
    "title": {
        "with_list": archive_with_list(),
        "no_list": header(b"t", 5, 1) + entry(b"/a", TEXT) + i32(0),
        "cut_short": archive_with_list()[:40],
    },
    "decompress": {
        "deflated": b"\x01" + section(BIG + TEXT),
        "stored": b"\x00" + section(BIG[:300], stored=True) + section(TEXT),
        "empty": b"\x01" + section(b""),
        "many": b"\x01EC2\0" + chunks(bytes(PIECE) * 6) + chunks(bytes(range(256)) * 8) + i32(0),
    },
    "restore": {
        "with_list": b"\x01" + archive_with_list(),
        "split": b"\x01" + split_archive(),
        "three_volumes": b"\x03" + three_volumes(),
        "modes": b"\x05" + header() + entry(b"d/same", TEXT) + entry(b"d/same", BIG) + i32(0),
    },
    "roundtrip": {
        "small": b"\x00" + tree(b"daily", [(0, b"a.txt", TEXT), (1, b"d/e/b.bin", repeat(bytes(range(256)), 80)), (0, b"empty", b"")]),
        "volumes": b"\x0d" + tree(b"", [(0x40, b"big", repeat(BIG, 4)), (0, b"s p a c e", TEXT)]),
        "odd_names": b"\x04" + tree(b"odd", [(0, b"caf\xe9", TEXT), (0, b"tab\there", b"x"),
                                     (0, b"n\nl", b"y"), (2, b"deep/" * 40 + b"f", TEXT)]),
    },
}
# Kept apart: every execution of it inflates tens of megabytes, which
# would starve a short run; a bounded list reader must refuse it.
SEEDS["title-bomb"] = {"list_bomb": list_bomb()}
# The kind of archive (see fuzz_damage.cpp), then damage records: an
# offset and a byte to XOR in there, or 0 to cut the archive there.
SEEDS["damage"] = {
    "one_flip": b"\x00" + i32(0x10) + b"\xff",
    "split_list": b"\x2c" + i32(20000) + b"\x01" + i32(41000) + b"\x80",
    "cut": b"\x1a" + i32(30000) + b"\x00",
    # A title length that carries the header over the volume-change entry.
    "swallowed_volume_change": b"\x2c" + i32(0x4000000) + b"\x00" + i32(0) + b"\x29",
    # An unreadable header in a volume whose volume-change entry is damaged.
    "header_and_volume_change": b"\x2e" + i32(46) + b"\x33" + i32(0) + b"\x33",
}

def main():
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    for target, seeds in SEEDS.items():
        os.makedirs(os.path.join(root, target), exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(root, target, name), "wb") as f:
                f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
