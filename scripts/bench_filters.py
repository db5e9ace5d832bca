#!/usr/bin/env python3
"""Whole files through the solid blocks' filters against 7z, which chooses
BCJ2 for programs and Delta for sounds itself: a large x86-64 library of
this machine (clang's, else the largest in /usr/lib/x86_64-linux-gnu), the
PCM sounds of openarena-data's pak0.pk3 (from the registry), and a game
tree of both games' data as Debian ships them (openarena-data's pk3
archives, hedgewars-data's PNGs, sounds and scripts) with the library.
Prints each tree's update (less the stub; the game tree's at `--level max`
too) and 7z's archive, with time and peak memory.

Usage: bench_filters.py UPDATEPKG STUB WORK"""
import glob
import os
import shutil
import subprocess
import sys
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_deflated import fetch  # noqa: E402


def measured(command, output, less=0):
    timing = output + ".time"
    subprocess.run(["/usr/bin/time", "-f", "%e %M", "-o", timing, *command], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    seconds, kib = open(timing).read().split()
    return f"{os.path.getsize(output) - less:>11,} bytes {seconds:>6} s {int(kib) // 1024:>5} MiB"


def main(updatepkg, stub, work):
    os.makedirs(work, exist_ok=True)
    library = "/usr/lib/llvm-14/lib/libclang-cpp.so.14"
    if not os.path.exists(library):
        library = max(glob.glob("/usr/lib/x86_64-linux-gnu/*.so*"), key=os.path.getsize)
    trees = {name: os.path.join(work, name) for name in ("library", "sounds", "game")}
    for name in ("library", "game"):
        shutil.rmtree(trees[name], ignore_errors=True)
        os.makedirs(trees[name])
        shutil.copy(library, trees[name])
    for package, folder in (("openarena-data", "openarena"), ("hedgewars-data", "hedgewars")):
        (data,) = glob.glob(os.path.join(fetch(work, package), "usr", "share", "games", folder))
        shutil.copytree(data, os.path.join(trees["game"], folder))
    if not os.path.isdir(trees["sounds"]):
        (pk3,) = glob.glob(os.path.join(fetch(work, "openarena-data"), "**", "pak0.pk3"),
                           recursive=True)
        with zipfile.ZipFile(pk3) as archive:
            archive.extractall(trees["sounds"],
                               [n for n in archive.namelist() if n.lower().endswith(".wav")])
    for name, tree in trees.items():
        update, archive = os.path.join(work, name + ".bin"), os.path.join(work, name + ".7z")
        for old in (update, archive):
            if os.path.exists(old):
                os.remove(old)
        ours = measured([updatepkg, "build", tree, "-o", update, "--stub", stub], update,
                        os.path.getsize(stub))
        print(f"{name}: updatepkg  {ours}")
        if name == "game":  # streams that grow up to 16 times inflated, not 4
            ours = measured([updatepkg, "build", tree, "-o", update, "--stub", stub, "--level",
                             "max"], update, os.path.getsize(stub))
            print(f"{name}: updatepkg --level max {ours}")
        print(f"{name}: 7z a -mx=9 {measured(['7z', 'a', '-mx=9', archive, tree + '/.'], archive)}")


if __name__ == "__main__":
    main(*sys.argv[1:])
