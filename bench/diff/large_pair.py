#!/usr/bin/env python3
"""Writes a deterministic pair of large game-data-like files: OLD, and NEW
with EDITS small scattered edits (replacements, insertions and deletions of
1 to 64 bytes). Three quarters of the file are incompressible blocks (packed
assets), the rest tables of short records.

usage: large_pair.py SIZE_MIB EDITS OLD NEW [SEED]"""
import random
import sys


def main():
    size_mib, edits, old_path, new_path = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4]
    rng = random.Random(int(sys.argv[5]) if len(sys.argv) > 5 else 20)
    size = size_mib << 20
    block = 1 << 16
    with open(old_path, "wb") as out:
        for _ in range(size // block):
            if rng.random() < 0.75:
                out.write(rng.randbytes(block))
            else:
                rows = []
                for r in range(block // 32):
                    rows.append(b"item%06d;%08d;%04d;name_%09d\n" % (
                        rng.randrange(10**6), rng.randrange(10**8), rng.randrange(10**4), rng.randrange(10**9)))
                out.write(b"".join(rows)[:block].ljust(block, b"\n"))
    data = memoryview(open(old_path, "rb").read())
    spots = sorted(rng.randrange(size) for _ in range(edits))
    with open(new_path, "wb") as out:
        pos = 0
        for spot in spots:
            if spot < pos:
                continue
            out.write(data[pos:spot])
            kind, length = rng.randrange(3), rng.randint(1, 64)
            if kind == 0:  # replaced
                out.write(rng.randbytes(length))
                pos = min(size, spot + length)
            elif kind == 1:  # inserted
                out.write(rng.randbytes(length))
                pos = spot
            else:  # deleted
                pos = min(size, spot + length)
        out.write(data[pos:])


if __name__ == "__main__":
    main()
