#!/usr/bin/env python3
"""Races a swap of the folder an update replaces with a file against a real
install, as another user would: N runs, each renaming the folder away at a
random moment of the install and putting a link (to a folder outside),
another folder (with a file of its own) or a file at its name. After each
run nothing of the update is in what was planted, nothing outside changed
and no old file is lost; then the folder is put back and the next run
(answered yes) must recover and leave the game wholly new. Prints the
outcomes and the runs that broke a rule; exits 1 if any did.

Usage: scripts/swap_race.py UPDATEPKG UPDATER WORK_DIR [N]"""
import os
import random
import shutil
import subprocess
import sys
import threading
import time

OLD = {"tavro.exe": b"engine", "x/a.dat": b"old a" * 1000, "x/b.dat": b"old b" * 1000,
       "keep.dat": b"old keep"}
NEW = {"tavro.exe": b"engine", "x": b"new x" * 1000, "keep.dat": b"new keep"}


def tree(root):
    """Every file and link below `root`: its bytes, or where it points."""
    out = {}
    for folder, dirs, files in os.walk(root):
        for name in files + [d for d in dirs if os.path.islink(os.path.join(folder, d))]:
            path = os.path.join(folder, name)
            if os.path.islink(path):
                out[os.path.relpath(path, root)] = os.readlink(path)
            else:
                with open(path, "rb") as f:
                    out[os.path.relpath(path, root)] = f.read()
    return out


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def remove(path):
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path)
    elif os.path.lexists(path):
        os.remove(path)


def one_run(update, game, outside, kind, delay):
    """Returns (what happened, the rules it broke)."""
    for folder in (game, outside):
        shutil.rmtree(folder, ignore_errors=True)
    for name, data in OLD.items():
        write(os.path.join(game, name), data)
    write(os.path.join(outside, "o.txt"), b"outside")
    x, moved = os.path.join(game, "x"), os.path.join(game, "x.moved")

    def swap():
        time.sleep(delay)
        try:
            os.rename(x, moved)
        except OSError:  # the update replaced it already
            return
        if kind == "link":
            os.symlink(outside, x)
        elif kind == "folder":
            write(os.path.join(x, "theirs.txt"), b"theirs")
        else:
            write(x, b"theirs")
    swapper = threading.Thread(target=swap)
    swapper.start()
    ran = subprocess.run([update], cwd=game, input=b"y\n", capture_output=True)
    swapper.join()
    broken = []
    if tree(outside) != {"o.txt": b"outside"}:
        broken.append("outside changed")
    if kind == "folder" and os.path.isfile(os.path.join(x, "theirs.txt")) and \
            os.listdir(x) != ["theirs.txt"]:
        broken.append("written into the other folder")
    everything = list(tree(game).values())
    if ran.returncode and any(OLD[k] not in everything for k in ("x/a.dat", "x/b.dat")):
        broken.append("an old file lost")
    kept = os.path.exists(os.path.join(game, ".update-staging"))
    # The folder back where the swap took it from, unless the update's file
    # is there (the swap came before the install reached it).
    ours = os.path.isfile(x) and not os.path.islink(x) and tree(game).get("x") == NEW["x"]
    if os.path.lexists(moved) and not (ran.returncode == 0 and ours):
        remove(x)
        os.rename(moved, x)
    subprocess.run([update], cwd=game, input=b"y\n", capture_output=True)
    final = {k: v for k, v in tree(game).items() if not k.startswith(("x.moved", ".update"))}
    if final != NEW or os.path.exists(os.path.join(game, ".update-staging")):
        broken.append("not wholly new after the next run")
    return f"{kind}: exit {ran.returncode}{', staging kept' if kept else ''}", broken


def main():
    updatepkg, updater, work = sys.argv[1:4]
    count = int(sys.argv[4]) if len(sys.argv) > 4 else 100
    rng = random.Random(5)
    shutil.rmtree(work, ignore_errors=True)
    for folder, files in (("old", OLD), ("src", NEW)):
        for name, data in files.items():
            write(os.path.join(work, folder, name), data)
    update = os.path.join(work, "update")
    subprocess.run([updatepkg, "build", os.path.join(work, "src"), "-o", update, "--stub",
                    updater, "--delta-from", os.path.join(work, "old"), "--quiet"], check=True)
    outcomes, bad = {}, []
    for run in range(count):
        kind, delay = ("link", "folder", "file")[run % 3], rng.uniform(0, 0.012)
        what, broken = one_run(update, os.path.join(work, "game"), os.path.join(work, "outside"),
                               kind, delay)
        outcomes[what] = outcomes.get(what, 0) + 1
        if broken:
            bad.append((run, kind, f"{delay * 1000:.1f} ms", broken))
    for what, n in sorted(outcomes.items()):
        print(f"{n:4}  {what}")
    print(f"{len(bad)} of {count} runs broke a rule")
    for b in bad:
        print(*b)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
