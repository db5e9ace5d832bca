#!/usr/bin/env python3
"""A release series of real files, end to end, as a studio ships it: R1 is
this machine's tzdata, Windows programs (Wine's own PE DLLs) and shared
libraries; R2 edits a tenth of them, moves a folder, removes files, turns a
file into a folder and a folder into a file; R3 edits again, turns that
folder back into a file and a file of R1 and R2 into a folder. The updates:
R2 -> R3, cumulative R1 + R2 -> R3, and R3 whole. Each is applied to the
releases it names with one replaced file read-only: by the Linux updater
(answered yes) and by the Windows install engine under Wine (`updatepkg.exe
extract`, 64-bit); the game must then hold R3 byte for byte, `plan` must
have foretold it, and a second run writes nothing. A player's file in the
folder that becomes a file stops the install, with nothing changed. Last,
one byte flipped at each of N random offsets of the cumulative update: each
refused, nothing changed.

Usage: scripts/series_check.py OUT WORK [MB] [FLIPS]
  OUT: the build folder holding native/ and windows64/ (out/)"""
import glob
import hashlib
import os
import random
import shutil
import stat
import struct
import subprocess
import sys
import time

from bench_series import edited  # a rebuild's few changes

HERE = os.path.dirname(os.path.abspath(__file__))


def real_files(megabytes):
    """{path: bytes}: tzdata whole, then PE programs and libraries up to `megabytes`."""
    files = {}
    for path in sorted(glob.glob("/usr/share/zoneinfo/**", recursive=True)):
        if os.path.isfile(path) and not os.path.islink(path):
            files["tz/" + os.path.relpath(path, "/usr/share/zoneinfo")] = open(path, "rb").read()
    total = sum(map(len, files.values()))
    for pattern, folder, share in (
            ("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/*.dll", "bin", 0.6),
            ("/usr/lib/x86_64-linux-gnu/*.so*", "lib", 1.0)):  # the libraries take the rest
        for path in sorted(glob.glob(pattern)):
            size = os.path.getsize(path) if os.path.isfile(path) else 1 << 30
            if not os.path.islink(path) and size < 4 << 20 and total < megabytes * share * 2**20:
                files[f"{folder}/{os.path.basename(path)}"] = open(path, "rb").read()
                total += size
    return files


def make_series(rng, megabytes):
    r1 = real_files(megabytes)
    r1["maps"], r1["music"] = rng.randbytes(5000), rng.randbytes(6000)
    r1["sounds/a.ogg"], r1["sounds/deep/b.ogg"] = rng.randbytes(3000), rng.randbytes(2000)
    r2 = dict(r1)
    for name in rng.sample(sorted(r1), len(r1) // 10):
        r2[name] = edited(rng, r2[name])
    for name in [n for n in r2 if n.startswith("tz/Antarctica/")]:  # a folder moved
        r2["tz/South Pole/" + name[len("tz/Antarctica/"):]] = r2.pop(name)
    for name in rng.sample(sorted(n for n in r2 if n.startswith("bin/")), 3):
        del r2[name]
    r2["maps/m1.dat"] = edited(rng, r2.pop("maps"))  # a file becomes a folder
    del r2["sounds/a.ogg"], r2["sounds/deep/b.ogg"]
    r2["sounds"] = rng.randbytes(4000)  # a folder becomes a file
    r3 = dict(r2)
    for name in rng.sample(sorted(r2), len(r2) // 10):
        r3[name] = edited(rng, r3[name])
    r3["maps"] = r3.pop("maps/m1.dat")  # and a file again
    r3["music/theme.ogg"] = r3.pop("music")  # a file of both becomes a folder
    return [r1, r2, r3]


def write_tree(root, files):
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(root)
    for name, data in files.items():
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


def tree_of(root):
    """{path: sha256} of every file, and every folder, below `root`."""
    files, folders = {}, set()
    for folder, dirs, names in os.walk(root):
        for d in dirs:
            folders.add(os.path.relpath(os.path.join(folder, d), root))
        for n in names:
            with open(os.path.join(folder, n), "rb") as f:
                files[os.path.relpath(os.path.join(folder, n), root)] = \
                    hashlib.sha256(f.read()).hexdigest()
    return files, folders


class Check:
    def __init__(self, out, work):
        self.native, self.win = os.path.join(out, "native"), os.path.join(out, "windows64")
        self.updatepkg = os.path.join(self.native, "updatepkg")
        self.work, self.failures = work, []

    def run(self, *args, code=0, **kwargs):
        done = subprocess.run(args, capture_output=True, text=True, **kwargs)
        if done.returncode != code:
            self.fail(f"{' '.join(args[:3])}: exit {done.returncode}: {done.stderr.strip()[-300:]}")
        return done

    def fail(self, text):
        print("FAILED:", text)
        self.failures.append(text)

    def game_at(self, release, read_only=None):
        game = os.path.join(self.work, "game")
        write_tree(game, release)
        with open(os.path.join(game, "tavro.exe"), "wb") as f:
            f.write(b"engine")
        if read_only:  # the attribute under Wine
            os.chmod(os.path.join(game, read_only), stat.S_IRUSR | stat.S_IRGRP | stat.S_IROTH)
        return game

    def apply(self, engine, update, game):
        """Installs `update` into `game`: the Linux updater answered yes, or
        the Windows install engine under Wine. Its summary line."""
        if engine == "linux":
            done = self.run(update, cwd=game, input="y\n")
            return next((line for line in done.stderr.splitlines() if " written, " in line), "")
        exe = os.path.join(self.win, "updatepkg.exe")
        done = self.run(os.path.join(HERE, "wine-run"), "win64", exe, "extract", update, game)
        return done.stdout.strip().splitlines()[-1] if done.stdout.strip() else ""

    def series(self, releases, updates):
        want = tree_of(os.path.join(self.work, "r3"))[0]
        for name, update, bases in updates:
            for base in bases:
                installed = releases[base] if base is not None else {}
                replaced = [n for n in releases[2] if installed.get(n, releases[2][n]) !=
                            releases[2][n]]
                over = f"R{base + 1}" if base is not None else "an empty folder"
                for engine in ("linux", "windows"):
                    game = self.game_at(installed, replaced[0] if replaced else None)
                    plan = self.run(self.updatepkg, "plan", update, game).stdout
                    started = time.monotonic()
                    self.apply(engine, update, game)
                    seconds = time.monotonic() - started
                    files, _ = tree_of(game)
                    files.pop("tavro.exe", None)
                    if files != want:
                        self.fail(f"{name} over {over} ({engine}): the game is not R3: "
                                  f"{sorted(set(files) ^ set(want))[:5]}")
                    again = self.apply(engine, update, game)
                    if "0 written, 0 removed" not in again.replace("files ", ""):
                        self.fail(f"{name} over {over} ({engine}), again: {again}")
                    print(f"{name} over {over}, {engine}: {seconds:.1f} s; "
                          f"{plan.strip().splitlines()[-2]}; again: {again}")

    def players_file(self, releases, update):
        game = self.game_at(releases[0], "maps")
        mine = os.path.join(game, "sounds", "deep", "mine.txt")
        with open(mine, "w") as f:
            f.write("mine")
        before = tree_of(game)
        plan = self.run(self.updatepkg, "plan", update, game, code=1).stdout
        self.run(update, cwd=game, input="y\n", code=1)
        if tree_of(game) != before or "fail     .\\sounds\\deep\\mine.txt" not in plan:
            self.fail("a player's file in a folder that becomes a file")
        else:
            print("a player's file in the folder that becomes a file: refused, nothing changed")

    def flips(self, update, releases, count):
        with open(update, "rb") as f:
            data = f.read()
        start = len(data) - 8 - struct.unpack("<I", data[-4:])[0]
        game = self.game_at(releases[0], "maps")
        before = tree_of(game)
        damaged = os.path.join(self.work, "damaged.bin")
        rng, refused = random.Random(11), 0
        for _ in range(count):
            at = rng.randrange(start, len(data))
            with open(damaged, "wb") as f:
                f.write(data[:at] + bytes([data[at] ^ (1 << rng.randrange(8))]) + data[at + 1:])
            os.chmod(damaged, 0o755)
            verify = subprocess.run([self.updatepkg, "verify", damaged], capture_output=True)
            applied = subprocess.run([damaged], cwd=game, input=b"y\n", capture_output=True)
            if verify.returncode == 1 and applied.returncode != 0 and tree_of(game) == before:
                refused += 1
            else:
                self.fail(f"a flip at payload offset {at - start} was not refused")
        print(f"{count} flips in a payload of {len(data) - start} bytes: {refused} refused, "
              f"nothing changed")


def main():
    out, work = sys.argv[1:3]
    megabytes = int(sys.argv[3]) if len(sys.argv) > 3 else 40
    flips = int(sys.argv[4]) if len(sys.argv) > 4 else 200
    check = Check(os.path.abspath(out), os.path.abspath(work))
    releases = make_series(random.Random(7), megabytes)
    roots = [os.path.join(check.work, f"r{i + 1}") for i in range(3)]
    for root, release in zip(roots, releases):
        write_tree(root, release)
    print("releases:", ", ".join(f"{len(r)} files, {sum(map(len, r.values())) >> 20} MB"
                                 for r in releases))
    stub = os.path.join(check.native, "updater")
    updates = []
    for name, bases in (("delta", [1]), ("cumulative", [0, 1]), ("whole", [])):
        update = os.path.join(check.work, name + ".bin")
        started = time.monotonic()
        said = check.run(check.updatepkg, "build", roots[2], "-o", update, "--stub", stub,
                         *sum((["--delta-from", roots[b]] for b in bases), [])).stdout
        print(f"{name}: {said.strip()} in {time.monotonic() - started:.1f} s")
        updates.append((name, update, bases or [None]))
    check.series(releases, updates)
    check.players_file(releases, updates[1][1])
    check.flips(updates[1][1], releases, flips)
    print("FAILED:" if check.failures else "all as expected", len(check.failures) or "")
    return 1 if check.failures else 0


if __name__ == "__main__":
    sys.exit(main())
