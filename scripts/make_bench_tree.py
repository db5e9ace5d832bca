#!/usr/bin/env python3
"""Writes a benchmark tree of game-like files below DIR.

make_bench_tree.py DIR MB          about MB megabytes: incompressible assets,
                                   text and raw binary tables, 1 KB to 16 MB
make_bench_tree.py DIR MB single   one file of MB mebibytes of mixed data
make_bench_tree.py DIR MB pak      DIR/old/data.pak of about MB megabytes of assets
                                   (70 % incompressible, the rest text and tables,
                                   64 KB to 4 MB) and DIR/new/data.pak, the next
                                   release: one 1 MiB asset inserted in the middle,
                                   one asset replaced, two assets edited in one
                                   region of 5 % each, the first two moved to the end
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


def asset(rng):
    size = int(2 ** rng.uniform(16, 22))
    if rng.random() < 0.7:
        return rng.randbytes(size)
    if rng.random() < 0.5:
        return "".join(f"{n} tessaran line {rng.randrange(1 << 20)}\n"
                       for n in range(size // 20)).encode()[:size]
    return mixed(size, rng)


def edited(data, rng):
    """`data` with one region of 5 % of its bytes rewritten."""
    length = len(data) // 20
    at = rng.randrange(len(data) - length)
    return data[:at] + rng.randbytes(length) + data[at + length:]


def write_pak_pair(root, megabytes, rng):
    assets, total = [], 0
    while total < megabytes * 1_000_000:
        assets.append(asset(rng))
        total += len(assets[-1])
    new = list(assets)
    new[len(new) // 3] = asset(rng)
    for i in (len(new) // 4, 2 * len(new) // 3):
        new[i] = edited(new[i], rng)
    new.insert(len(new) // 2, rng.randbytes(1 << 20))
    new = new[2:] + new[:2]
    for release, parts in (("old", assets), ("new", new)):
        os.makedirs(os.path.join(root, release), exist_ok=True)
        with open(os.path.join(root, release, "data.pak"), "wb") as f:
            f.writelines(parts)


def main():
    root, megabytes = sys.argv[1], int(sys.argv[2])
    rng = random.Random(7)
    os.makedirs(root, exist_ok=True)
    if len(sys.argv) > 3 and sys.argv[3] == "pak":
        write_pak_pair(root, megabytes, rng)
        return
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
