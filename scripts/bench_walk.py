#!/usr/bin/env python3
"""What a delta costs to build where the old file holds little of the new
one: 24 MB files, each case a file of the old release and of the new, built
with `updatepkg build NEW --delta-from OLD`. The reference is an edited
file (28 regions of 2,000 bytes rewritten), whose build is mostly the
sorting of the old file's suffixes; the others give the walk few or no
matches: new text of the same words, new random bytes (data compressed
anew), half of the file's 64 KiB pieces new, and new random bytes with 12
bytes of the old file after every 88. Prints the build's time, peak memory
and the update's size (less the stub), and each time against the edited
file's, and the time of building the new file alone (no delta): the
coding of its bytes, which a delta of new bytes pays too; and `zstd -19
--long=31 --patch-from`'s patch, its time and size.

Usage: bench_walk.py UPDATEPKG STUB WORK"""
import os
import random
import shutil
import subprocess
import sys
import time

SIZE = 24 << 20


def cases(rng):
    vocabulary = [bytes(rng.choice(b"etaoinshrdlucmfw") for _ in range(rng.randint(2, 9)))
                  for _ in range(5000)]

    def text():
        out = bytearray()
        while len(out) < SIZE:
            out += rng.choice(vocabulary) + b" "
        return bytes(out[:SIZE])

    def edited(data):
        data = bytearray(data)
        for _ in range(28):
            at = rng.randrange(len(data) - 2000)
            data[at:at + 2000] = rng.randbytes(2000)
        return bytes(data)

    old_text, old_dense = text(), rng.randbytes(SIZE)
    half = b"".join(old_dense[at:at + 65536] if at // 65536 % 2 == 0 else rng.randbytes(65536)
                    for at in range(0, SIZE, 65536))
    short = bytearray(rng.randbytes(SIZE))
    for at in range(88, SIZE - 12, 100):
        source = rng.randrange(SIZE - 12)
        short[at:at + 12] = old_dense[source:source + 12]
    yield "an edited file (the reference)", old_text, edited(old_text)
    yield "new text of the same words", old_text, text()
    yield "new random bytes", old_dense, rng.randbytes(SIZE)
    yield "half of its pieces new", old_dense, half
    yield "new bytes, 12 old ones after every 88", old_dense, bytes(short)


def build(updatepkg, stub, work, *delta_from):
    """The seconds, peak MiB and payload bytes of building the update."""
    out = os.path.join(work, "update.bin")
    start = time.monotonic()
    run = subprocess.run(["/usr/bin/time", "-f", "%M", updatepkg, "build",
                          os.path.join(work, "new"), "-o", out, "--stub", stub, "--quiet",
                          *delta_from], check=True, capture_output=True, text=True)
    seconds = time.monotonic() - start
    return seconds, int(run.stderr.split()[-1]) // 1024, os.path.getsize(out) - os.path.getsize(stub)


def main(updatepkg, stub, work):
    rng = random.Random(7)
    reference = None
    for label, old, new in cases(rng):
        shutil.rmtree(work, ignore_errors=True)
        for release, data in (("old", old), ("new", new)):
            os.makedirs(os.path.join(work, release))
            with open(os.path.join(work, release, "data.pak"), "wb") as f:
                f.write(data)
        delta, memory, size = build(updatepkg, stub, work, "--delta-from", os.path.join(work, "old"))
        whole = build(updatepkg, stub, work)[0]
        reference = reference or delta
        patch = os.path.join(work, "zstd.patch")
        start = time.monotonic()
        subprocess.run(["zstd", "-19", "--long=31", "-q", "-f",
                        "--patch-from=" + os.path.join(work, "old", "data.pak"),
                        os.path.join(work, "new", "data.pak"), "-o", patch],
                       check=True, capture_output=True)
        zstd = time.monotonic() - start
        print(f"{label}: {delta:.2f} s ({delta / reference:.2f} x), {memory} MiB, {size:,} bytes; "
              f"the new file alone {whole:.2f} s; zstd {zstd:.2f} s, "
              f"{os.path.getsize(patch):,} bytes")
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main(*sys.argv[1:])
