#!/usr/bin/env python3
"""Writes a benchmark tree of game-like files below DIR.

make_bench_tree.py DIR MB          about MB megabytes: incompressible assets,
                                   text and raw binary tables, 1 KB to 16 MB
make_bench_tree.py DIR MB single   one file of MB mebibytes of mixed data
"""
import os
import random
import sys


def mixed(size, rng):
    """Half random, half repetitive: like assets with tables inside."""
    block = rng.randbytes(1 << 16)
    table = bytes(range(256)) * 256
    out = bytearray()
    while len(out) < size:
        out += block if rng.random() < 0.5 else table
        block = rng.randbytes(1 << 16) if rng.random() < 0.3 else block
    return bytes(out[:size])


def main():
    root, megabytes = sys.argv[1], int(sys.argv[2])
    rng = random.Random(7)
    os.makedirs(root, exist_ok=True)
    if len(sys.argv) > 3:
        with open(os.path.join(root, "archive.pak"), "wb") as f:
            for _ in range(megabytes):
                f.write(mixed(1 << 20, rng))
        return
    budget, i = megabytes * 1_000_000, 0
    while budget > 0:
        kind = i % 3
        exponent = rng.uniform(10, 24) if rng.random() < 0.2 else rng.uniform(10, 20)
        size = min(budget, int(2 ** exponent))
        folder = os.path.join(root, ("assets", "text", "tables")[kind], f"d{i % 7}")
        os.makedirs(folder, exist_ok=True)
        if kind == 0:
            data = rng.randbytes(size)
        elif kind == 1:
            lines = (f"{n} tessaran line {rng.randrange(1 << 20)}\n" for n in range(size // 20))
            data = "".join(lines).encode()[:size]
        else:
            data = mixed(size, rng)
        with open(os.path.join(folder, f"f{i}.bin"), "wb") as f:
            f.write(data)
        budget -= size
        i += 1


if __name__ == "__main__":
    main()
