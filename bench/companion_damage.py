#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Damages an archive's volumes the ways a disk or a copy does, for
companion_repair.sh:

  companion_damage.py ARCHIVE zero PERCENT       a zeroed stretch of PERCENT % of the archive
  companion_damage.py ARCHIVE groups COUNT       COUNT damaged blocks in every group of the record
  companion_damage.py ARCHIVE delete VOLUME      the volume removed
  companion_damage.py ARCHIVE flips ONE_IN       random byte flips, one in ONE_IN bytes

The recovery record's geometry (groups, block size) is read from the
companion ARCHIVE.kx; blocks are numbered across the volumes, each volume's
last block padded, as the companion numbers them."""
import os
import random
import struct
import sys


def volumes(archive):
    base, _ = os.path.splitext(archive)
    names = [archive]
    n = 2
    while os.path.exists(f"{base}.{n:03}"):
        names.append(f"{base}.{n:03}")
        n += 1
    return names


def geometry(archive):
    data = open(archive + ".kx", "rb").read()
    at = 16
    while at + 24 <= len(data):
        kind, _, length = struct.unpack_from("<IIQ", data, at)
        if kind == 5:  # the recovery section
            size, k, p, _, groups, blocks = struct.unpack_from("<IIIIQQ", data, at + 24)
            return size, k, p, groups, blocks
        if kind == 0:
            break
        at += 24 + length
    sys.exit("the companion holds no recovery record")


def zero_stretch(names, start, count):
    for name in names:
        size = os.path.getsize(name)
        if start >= size:
            start -= size
            continue
        n = min(count, size - start)
        with open(name, "r+b") as f:
            f.seek(start)
            f.write(bytes(n))
        count -= n
        start = 0
        if count == 0:
            return


def main():
    archive, how, arg = sys.argv[1], sys.argv[2], sys.argv[3]
    names = volumes(archive)
    total = sum(os.path.getsize(n) for n in names)
    rng = random.Random(29)
    if how == "zero":
        count = total * float(arg) // 100
        zero_stretch(names, total // 3, int(count))
    elif how == "delete":
        os.remove(names[int(arg) - 1])
    elif how == "flips":
        one_in = int(arg)
        for name in names:
            data = bytearray(open(name, "rb").read())
            at = rng.randrange(one_in)
            while at < len(data):
                data[at] ^= 1 << rng.randrange(8)
                at += 1 + rng.randrange(2 * one_in - 1)
            open(name, "wb").write(data)
    elif how == "groups":
        size, k, p, groups, blocks = geometry(archive)
        per_volume = [(os.path.getsize(n) + size - 1) // size for n in names]
        first = [sum(per_volume[:i]) for i in range(len(names))]
        rows = (blocks + groups - 1) // groups
        for g in range(groups):
            for row in rng.sample(range(rows - 1), int(arg)):
                block = row * groups + g
                v = max(i for i in range(len(names)) if first[i] <= block)
                start = (block - first[v]) * size
                at = start + rng.randrange(min(size, os.path.getsize(names[v]) - start))
                with open(names[v], "r+b") as f:
                    f.seek(at)
                    byte = f.read(1)[0]
                    f.seek(at)
                    f.write(bytes([byte ^ 0xA5]))
        print(f"{int(arg)} blocks damaged in each of {groups} groups of {k} data and {p} parity")
    else:
        sys.exit(__doc__)


main()
