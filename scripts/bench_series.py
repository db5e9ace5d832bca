#!/usr/bin/env python3
"""A release series of real files for the cumulative update: R1 is the
shared libraries of this machine under 4 MB (about MB megabytes); R2 and R3 each edit a
tenth of the files, move one and remove one; R4 edits most files (changed
only in the last release for most of them) and adds one. Prints the size of
the update from R1, R2 and R3 against the three updates from one release,
and of that update with every changed file whole beside its patches
(`--whole-fallback`), LZMA and deflated.

Usage: bench_series.py UPDATEPKG STUB WORK [MB]"""
import glob
import os
import random
import shutil
import subprocess
import sys


def edited(rng, data):
    """`data` with a few spans rewritten and bytes inserted, as a rebuild does."""
    out = bytearray(data)
    for _ in range(3):
        at = rng.randrange(max(1, len(out)))
        out[at:at + 16] = rng.randbytes(16)
        out[at:at] = rng.randbytes(rng.randrange(1, 8))
    return bytes(out)


def main(updatepkg, stub, work, megabytes=60):
    rng = random.Random(7)
    files, total = {}, 0
    for path in sorted(glob.glob("/usr/lib/x86_64-linux-gnu/*.so*")):
        small = os.path.isfile(path) and os.path.getsize(path) < 4 << 20
        if small and not os.path.islink(path) and total < megabytes << 20:
            files[os.path.basename(path)] = open(path, "rb").read()
            total += len(files[os.path.basename(path)])
    names = sorted(files)
    releases = [dict(files)]
    for share in (0.1, 0.1, 0.7):
        last = dict(releases[-1])
        for name in rng.sample(sorted(last), int(len(last) * share)):
            last[name] = edited(rng, last[name])
        if share < 0.5:
            moved = rng.choice(sorted(last))
            last["moved/" + moved] = last.pop(moved)
            last.pop(rng.choice(sorted(last)))
        else:
            last["added.bin"] = rng.randbytes(100_000)
        releases.append(last)
    shutil.rmtree(work, ignore_errors=True)
    roots = []
    for i, release in enumerate(releases):
        roots.append(os.path.join(work, f"r{i + 1}"))
        for name, data in release.items():
            os.makedirs(os.path.dirname(os.path.join(roots[-1], name)), exist_ok=True)
            with open(os.path.join(roots[-1], name), "wb") as f:
                f.write(data)

    def build(out, *bases, options=()):
        subprocess.run([updatepkg, "build", roots[3], "-o", out, "--stub", stub, "--quiet",
                        *sum((["--delta-from", b] for b in bases), []), *options], check=True,
                       stdout=subprocess.DEVNULL)
        return os.path.getsize(out) - os.path.getsize(stub)

    singles = [build(os.path.join(work, f"from{i + 1}.bin"), roots[i]) for i in range(3)]
    cumulative = build(os.path.join(work, "cumulative.bin"), *roots[:3])
    print(f"{len(names)} files, {total >> 20} MB; packages from R1, R2, R3: {singles} bytes")
    print(f"cumulative {cumulative} bytes: {cumulative / sum(singles):.3f}x their sum, "
          f"{cumulative / max(singles):.3f}x the largest")
    # With every changed file whole beside its patches, LZMA and deflated.
    fallback = [build(os.path.join(work, f"fallback{i}.bin"), *roots[:3],
                      options=("--whole-fallback", *extra))
                for i, extra in enumerate([(), ("--compression", "deflate")])]
    print(f"cumulative with --whole-fallback {fallback[0]} bytes, deflated {fallback[1]}")


if __name__ == "__main__":
    main(*sys.argv[1:4], *map(int, sys.argv[4:5]))
