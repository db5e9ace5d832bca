#!/usr/bin/env python3
"""What moves and removals cost: a release that moves a folder of 1,000 help
pages into another folder and removes 1,000 other files. Prints the
update's size (less the stub), and what one more moved file and one more
removal cost (from releases of 1,000 and 2,000 of each alone).

Usage: bench_moves.py UPDATEPKG STUB WORK"""
import os
import random
import shutil
import subprocess
import sys


def update_size(updatepkg, stub, work, moved, removed):
    shutil.rmtree(work, ignore_errors=True)
    rng = random.Random(3)
    for release in ("old", "new"):
        os.makedirs(os.path.join(work, release))
    os.makedirs(os.path.join(work, "old", "help"))
    os.makedirs(os.path.join(work, "old", "gone"))
    for i in range(max(moved, removed)):
        page = rng.randbytes(300) + b"help text %d " % i * 50
        if i < moved:
            with open(os.path.join(work, "old", "help", f"page_{i:04d}.html"), "wb") as f:
                f.write(page)
        if i < removed:
            with open(os.path.join(work, "old", "gone", f"asset_{i:04d}.dat"), "wb") as f:
                f.write(rng.randbytes(200))
    shutil.copytree(os.path.join(work, "old", "help"), os.path.join(work, "new", "docs", "help"))
    out = os.path.join(work, "update.bin")
    subprocess.run([updatepkg, "build", os.path.join(work, "new"), "-o", out, "--stub", stub,
                    "--delta-from", os.path.join(work, "old")], check=True, capture_output=True)
    return os.path.getsize(out) - os.path.getsize(stub)


def main(updatepkg, stub, work):
    size = lambda moved, removed: update_size(updatepkg, stub, work, moved, removed)
    print(f"1,000 files moved and 1,000 removed: {size(1000, 1000)} bytes")
    move = (size(2000, 0) - size(1000, 0)) / 1000
    removal = (size(0, 2000) - size(0, 1000)) / 1000
    print(f"a moved file {move:.1f} bytes (its old name's removal included), "
          f"a removal {removal:.1f}, each with one SHA-256 of 32")


if __name__ == "__main__":
    main(*sys.argv[1:])
