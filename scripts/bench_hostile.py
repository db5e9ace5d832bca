#!/usr/bin/env python3
"""A hostile update against one large game file: RECORDS "alts" records,
each listing 32 versions that all name the game's big.dat with its true
size and hashes it does not have. Times `updatepkg plan` (which forecasts
every record) and `updatepkg extract` (which stops at the first), each of
which reads big.dat once a run, however many records name it.

Usage: bench_hostile.py UPDATEPKG WORK [MB] [RECORDS]"""
import os
import shutil
import subprocess
import sys
import time
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "e2e"))
import package_tool as pt  # noqa: E402


def timed(*args):
    start = time.monotonic()
    result = subprocess.run(args, capture_output=True)
    return time.monotonic() - start, result.returncode


def main(updatepkg, work, megabytes=50, records=300):
    shutil.rmtree(work, ignore_errors=True)
    game = os.path.join(work, "game")
    os.makedirs(game)
    big = os.urandom(megabytes << 20)
    with open(os.path.join(game, "big.dat"), "wb") as f:
        f.write(big)
    new = b"new bytes"
    streams = [zlib.compress(pt.delta_op(pt.LITERAL, len(new))), zlib.compress(b""),
               zlib.compress(b""), zlib.compress(new)]
    versions = [(".\\big.dat", big[:-1] + bytes([i]), 1, 0) for i in range(32)]
    payload = b"".join(pt.encode_alts(f".\\r{n}.dat", new, versions, [streams])
                       for n in range(int(records)))
    update = os.path.join(work, "hostile.bin")
    with open(update, "wb") as f:
        f.write(payload + b"feof" + len(payload).to_bytes(4, "little"))
    plan, plan_code = timed(updatepkg, "plan", update, game)
    extract, extract_code = timed(updatepkg, "extract", update, game)
    print(f"{records} records x 32 versions of one {megabytes} MB file: plan {plan:.2f} s "
          f"(exit {plan_code}), install (extract) {extract:.2f} s (exit {extract_code})")
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], *map(int, sys.argv[3:5]))
