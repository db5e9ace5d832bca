#!/usr/bin/env python3
"""Flips one byte at each of N random offsets of an update (its program,
its records, its checks and its trailer) and checks that `updatepkg verify`
refuses each, and that the updater, answered yes, fails before its question
with the game folder unchanged (or, its program damaged, does not start).
Prints how many were refused and by what cause.

Usage: scripts/flip_check.py UPDATEPKG UPDATER WORK_DIR [N]"""
import collections
import hashlib
import os
import random
import shutil
import struct
import subprocess
import sys


def snapshot(root):
    out = {}
    for folder, _, files in os.walk(root):
        for name in files:
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                out[os.path.relpath(path, root)] = (hashlib.sha256(f.read()).hexdigest(),
                                                    os.stat(path).st_mtime_ns)
    return out


def main():
    updatepkg, updater, work = sys.argv[1:4]
    count = int(sys.argv[4]) if len(sys.argv) > 4 else 200
    rng = random.Random(7)
    src, game = os.path.join(work, "src"), os.path.join(work, "game")
    shutil.rmtree(work, ignore_errors=True)
    for i in range(40):  # text, tables and noise, some in folders
        path = os.path.join(src, f"d{i % 4}", f"f{i}.dat")
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(rng.randbytes(rng.randrange(100, 20000)) if i % 3 else
                    b"line of text %d\n" % i * rng.randrange(10, 400))
    os.makedirs(game)
    with open(os.path.join(game, "tavro.exe"), "wb") as f:
        f.write(b"engine")
    update = os.path.join(work, "update.bin")
    subprocess.run([updatepkg, "build", src, "-o", update, "--stub", updater, "--quiet",
                    "--version-label", "(2.0)"], check=True, capture_output=True)
    with open(update, "rb") as f:
        data = f.read()
    start = len(data) - 8 - struct.unpack("<I", data[-4:])[0]
    before = snapshot(game)
    damaged = os.path.join(work, "damaged.bin")
    causes, faults = collections.Counter(), []
    for _ in range(count):
        at = rng.randrange(0, len(data))
        with open(damaged, "wb") as f:
            f.write(data[:at] + bytes([data[at] ^ (1 << rng.randrange(8))]) + data[at + 1:])
        os.chmod(damaged, 0o755)
        verify = subprocess.run([updatepkg, "verify", damaged], capture_output=True, text=True)
        try:
            applied = subprocess.run([damaged], cwd=game, input=b"y\n", capture_output=True)
            asked, code = b"[y/n]" in applied.stderr, applied.returncode
        except OSError:  # the system refuses to run it
            asked, code = False, -1
        said = verify.stderr.strip().split(damaged + ": ", 1)[-1]
        cause = said.split(": ")[0] if verify.returncode else "accepted"
        cause = said if cause == "damaged" else cause
        causes[("program " if at < start else "package ") + cause] += 1
        if code < 0:
            causes["  of them the updater did not start or ended by a signal"] += 1
        if verify.returncode != 1 or code == 0 or asked or snapshot(game) != before:
            faults.append(at - start)
    print(f"{count} flips in an update of {len(data)} bytes ({start} of them the program): "
          f"{count - len(faults)} refused with nothing changed")
    for cause, n in causes.most_common():
        print(f"  {n:4}  {cause}")
    if faults:
        print("not refused at payload offsets:", faults)  # the program's negative
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
