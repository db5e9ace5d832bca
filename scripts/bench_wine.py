#!/usr/bin/env python3
"""Where the Windows program's install time goes, under Wine, against a plain
extractor built with the same compiler (scripts/plain_extract.cc).

R1 is this machine's shared libraries under 4 MB (compiled files, about MB
megabytes), R2 the same with most of them edited. The whole-file update of R2
and the delta update from R1 are applied:
  - by plain_extract.exe (whole files only, into an empty folder): the floor;
  - by a timing build's updatepkg.exe extract (the updater's own install
    code, cmake -DUPDATER_PHASE_TIMES=ON): its phases;
  - by the shipped updater.exe, answered Yes on a private X display, less
    the time of an update with an empty package (the boxes alone).
Each figure is the median of 5 runs, into an empty folder and over R1.

Usage: bench_wine.py ROOT WORK [MB]   (ROOT/out/windows and out/windows-timed built)"""
import os
import shutil
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_series import edited  # noqa: E402
from wine_session import WineSession  # noqa: E402


def tree(work, megabytes):
    import glob
    import random
    rng = random.Random(3)
    r1, total = {}, 0
    for path in sorted(glob.glob("/usr/lib/x86_64-linux-gnu/*.so*")):
        small = os.path.isfile(path) and os.path.getsize(path) < 4 << 20
        if small and not os.path.islink(path) and total < megabytes << 20:
            r1["lib/" + os.path.basename(path)] = open(path, "rb").read()
            total += len(r1["lib/" + os.path.basename(path)])
    r2 = {n: edited(rng, d) if rng.random() < 0.7 else d for n, d in r1.items()}
    roots = []
    for name, files in (("r1", r1), ("r2", r2)):
        roots.append(os.path.join(work, name))
        for rel, data in files.items():
            os.makedirs(os.path.dirname(os.path.join(roots[-1], rel)), exist_ok=True)
            with open(os.path.join(roots[-1], rel), "wb") as f:
                f.write(data)
    return roots, len(r1), total


def median_of(runs, prepare, command):
    times = []
    for _ in range(runs):
        prepare()
        start = time.monotonic()
        command()
        times.append(time.monotonic() - start)
    return statistics.median(times)


def main(root, work, megabytes=115):
    out, timed = os.path.join(root, "out", "windows"), os.path.join(root, "out", "windows-timed")
    shutil.rmtree(work, ignore_errors=True)
    (r1, r2), files, total = tree(work, megabytes)
    print(f"{files} compiled files, {total >> 20} MB; R2 edits about 70 % of them")
    updatepkg, stub = os.path.join(root, "out", "native", "updatepkg"), os.path.join(out, "updater.exe")
    updates = {"whole": os.path.join(work, "whole.exe"), "delta": os.path.join(work, "delta.exe")}
    subprocess.run([updatepkg, "build", r2, "-o", updates["whole"], "--stub", stub, "--quiet"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run([updatepkg, "build", r2, "-o", updates["delta"], "--stub", stub, "--quiet",
                    "--delta-from", r1], check=True, stdout=subprocess.DEVNULL)
    empty = os.path.join(work, "empty.exe")
    shutil.copyfile(stub, empty)
    with open(empty, "ab") as f:
        f.write(b"feof\0\0\0\0")
    game = os.path.join(work, "game")

    def fresh():
        shutil.rmtree(game, ignore_errors=True)
        os.makedirs(game)
        with open(os.path.join(game, "tavro.exe"), "wb") as f:
            f.write(b"engine")

    def over_r1():
        shutil.rmtree(game, ignore_errors=True)
        shutil.copytree(r1, game)
        with open(os.path.join(game, "tavro.exe"), "wb") as f:
            f.write(b"engine")

    # The session's persistent server serves every run: no Wine start-up is timed.
    session = WineSession(os.path.join(out, "wine"))
    run = lambda *command: subprocess.run([session.loader, *command], env=session.env, check=True,
                                          capture_output=True)
    plain = median_of(5, fresh, lambda: run(os.path.join(out, "plain_extract.exe"),
                                            updates["whole"], game))
    print(f"plain extractor, whole update into an empty folder: {plain:.2f} s")
    for kind, update in updates.items():
        for where, prepare in (("into an empty folder", fresh), ("over R1", over_r1)):
            if kind == "delta" and prepare is fresh:
                continue  # a delta needs the old files
            phases = []
            seconds = median_of(5, prepare, lambda: phases.append(run(
                os.path.join(timed, "updatepkg.exe"), "extract", update, game,
                "--quiet").stdout.decode().splitlines()[-1]))
            print(f"updatepkg.exe extract, {kind} update {where}: {seconds:.2f} s "
                  f"({seconds / plain:.2f}x the plain extractor)\n  {phases[len(phases) // 2]}")
    try:
        yes = lambda caption, text: "y" if "更新を行いますか" in text else "Return"
        boxes = median_of(5, fresh, lambda: session.run(empty, [], cwd=game, answer=yes))
        for kind, where, prepare in (("whole", "into an empty folder", fresh),
                                     ("whole", "over R1", over_r1), ("delta", "over R1", over_r1)):
            seconds = median_of(5, prepare, lambda: session.run(updates[kind], [], cwd=game,
                                                                 answer=yes)) - boxes
            print(f"updater.exe, {kind} update {where}: {seconds:.2f} s beyond its boxes "
                  f"({seconds / plain:.2f}x the plain extractor)")
    finally:
        session.close()


if __name__ == "__main__":
    main(*sys.argv[1:3], *map(int, sys.argv[3:4]))
