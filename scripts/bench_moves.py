#!/usr/bin/env python3
"""What moves and removals cost: a release that moves a folder of 1,000 help
pages into another folder and removes 1,000 other files. Prints the
update's size (less the stub).

Usage: bench_moves.py UPDATEPKG STUB WORK"""
import os
import random
import shutil
import subprocess
import sys


def main(updatepkg, stub, work):
    shutil.rmtree(work, ignore_errors=True)
    rng = random.Random(3)
    for release in ("old", "new"):
        os.makedirs(os.path.join(work, release))
    os.makedirs(os.path.join(work, "old", "help"))
    os.makedirs(os.path.join(work, "old", "gone"))
    for i in range(1000):
        page = rng.randbytes(300) + b"help text %d " % i * 50
        with open(os.path.join(work, "old", "help", f"page_{i:04d}.html"), "wb") as f:
            f.write(page)
        with open(os.path.join(work, "old", "gone", f"asset_{i:04d}.dat"), "wb") as f:
            f.write(rng.randbytes(200))
    shutil.copytree(os.path.join(work, "old", "help"), os.path.join(work, "new", "docs", "help"))
    out = os.path.join(work, "update.bin")
    subprocess.run([updatepkg, "build", os.path.join(work, "new"), "-o", out, "--stub", stub,
                    "--delta-from", os.path.join(work, "old")], check=True, capture_output=True)
    size = os.path.getsize(out) - os.path.getsize(stub)
    print(f"1,000 files moved and 1,000 removed: {size} bytes")


if __name__ == "__main__":
    main(*sys.argv[1:])
