#!/usr/bin/env python3
"""A tree of compiled modules and its next release: two Debian kernel images.

Usage: scripts/bench_modules.py UPDATEPKG STUB WORK [OLD_ABI NEW_ABI]

Fetches `linux-image-6.1.0-OLD_ABI-amd64` and `-NEW_ABI-` (by default the
two newest the package registry offers) with `apt-get download`, takes the
modules folder of each (about 4,000 files, 400 MB; the four files whose
names differ from another's by case alone are left out, as a Windows game
folder could not hold both), and weighs the delta update (`updatepkg build
--delta-from`) against bsdiff and zstd -19 --patch-from run on each changed
file against the old file of the same path, summed (two at a time). It says
where the update's bytes go: the streams, and the framing (names, times,
sizes, hashes) of LZMA-coded and of deflated records.
"""
import json
import os
import re
import shutil
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor


def run(*command, cwd=None):
    subprocess.run(command, cwd=cwd, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def newest_abis():
    found = subprocess.run(["apt-cache", "search", "--names-only",
                            r"^linux-image-6\.1\.0-[0-9]+-amd64$"], check=True,
                           capture_output=True, text=True).stdout
    return sorted(int(m) for m in re.findall(r"linux-image-6\.1\.0-(\d+)-amd64", found))[-2:]


def modules(work, abi):
    """The modules folder of one kernel image, fetched and unpacked once."""
    tree = os.path.join(work, f"m{abi}")
    if os.path.isdir(tree):
        return tree
    package = f"linux-image-6.1.0-{abi}-amd64"
    run("apt-get", "download", package, cwd=work)
    deb = next(n for n in os.listdir(work) if n.startswith(package + "_"))
    unpacked = os.path.join(work, f"x{abi}")
    run("dpkg-deb", "-x", os.path.join(work, deb), unpacked)
    shutil.move(os.path.join(unpacked, "lib", "modules", f"6.1.0-{abi}-amd64"), tree)
    shutil.rmtree(unpacked)
    seen = {}
    for folder, _, names in os.walk(tree):
        for name in sorted(names):
            key = os.path.join(folder, name).lower()
            if key in seen:  # a case twin: the second goes
                os.remove(os.path.join(folder, name))
            seen[key] = os.path.join(folder, name)
    return tree


def timed(command):
    record = command[-1] + ".time"
    subprocess.run(["/usr/bin/time", "-f", "%e %M", "-o", record, *command], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    seconds, kib = open(record).read().split()
    return float(seconds), int(kib)


def weigh(updatepkg, stub, update):
    """The package's bytes (the update less its program) and its streams' bytes."""
    listed = json.loads(subprocess.run([updatepkg, "list", update, "--json"], check=True,
                                       capture_output=True, text=True).stdout)["entries"]
    package = os.path.getsize(update) - os.path.getsize(stub)
    return package, sum(e.get("packed_size", 0) for e in listed), len(listed)


def per_file(old_tree, new_tree, work):
    """bsdiff's and zstd's patches of every changed file, summed."""
    pairs = []
    for folder, _, names in os.walk(new_tree):
        for name in names:
            new = os.path.join(folder, name)
            old = os.path.join(old_tree, os.path.relpath(new, new_tree))
            if os.path.exists(old) and open(old, "rb").read() != open(new, "rb").read():
                pairs.append((old, new))

    def patch(index):
        old, new = pairs[index]
        out = os.path.join(work, f"patch{index % 64}")
        run("bsdiff", old, new, out + ".bsdiff")
        run("zstd", "-19", "-q", "-f", f"--patch-from={old}", new, "-o", out + ".zst")
        return os.path.getsize(out + ".bsdiff"), os.path.getsize(out + ".zst")

    with ThreadPoolExecutor(2) as pool:
        sizes = list(pool.map(patch, range(len(pairs))))
    return len(pairs), sum(s[0] for s in sizes), sum(s[1] for s in sizes)


def main():
    updatepkg, stub, work = sys.argv[1:4]
    os.makedirs(work, exist_ok=True)
    abis = [int(a) for a in sys.argv[4:6]] if len(sys.argv) > 5 else newest_abis()
    old, new = (modules(work, abi) for abi in abis)
    count = sum(len(names) for _, _, names in os.walk(new))
    size = sum(os.path.getsize(os.path.join(f, n)) for f, _, names in os.walk(new) for n in names)
    print(f"modules: 6.1.0-{abis[0]} against 6.1.0-{abis[1]}, {count} files, {size:,} bytes")
    for name, extra in (("LZMA (default)", []), ("deflate", ["--compression", "deflate"])):
        update = os.path.join(work, f"update-{extra[-1] if extra else 'lzma'}.bin")
        seconds, kib = timed([updatepkg, "build", new, "--delta-from", old, "--stub", stub,
                              *extra, "-o", update])
        package, streams, records = weigh(updatepkg, stub, update)
        print(f"{name}: {package:,} bytes in {seconds:.1f} s, peak {kib // 1024} MiB;"
              f" streams {streams:,}, framing {package - streams:,}"
              f" ({(package - streams) / records:.0f} bytes a record, {records} records)")
        if not extra:
            ours = package
    changed, bsdiff, zstd = per_file(old, new, work)
    print(f"per file over {changed} changed files: bsdiff {bsdiff:,} (ours {ours / bsdiff:.3f}x),"
          f" zstd -19 --patch-from {zstd:,} (ours {ours / zstd:.3f}x)")


if __name__ == "__main__":
    main()
