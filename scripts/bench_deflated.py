#!/usr/bin/env python3
"""Archives and images changed through their deflate streams: real game data.

Usage: scripts/bench_deflated.py UPDATEPKG STUB WORK [UPDATEPKG_BEFORE]

Fetches Debian's openarena-data (zip-based .pk3 archives) and pingus-data
(PNG sprites) with `apt-get download`, and makes three changes of them:
- pk3: 28 members of the largest archive changed (a run of bytes in the
  middle of each overwritten, as a tinted region or a quieter sound change
  theirs), the archive rebuilt by `zip -9 -X` (Info-ZIP, as its studio
  made it), by Python's zipfile (zlib, level 6), by 7-Zip (its own deflate,
  which no settings of zlib make again), with its members stored (`zip
  -0`), and as loose files;
- png: the 20 largest PNGs, a region of 32 by 32 pixels in each touched up
  in their filtered scanlines and saved again through zlib at level 9 in
  chunks of 8 KiB;
- game: both trees and the rest of the two packages' files as one game.
Each update (`updatepkg build --delta-from`) is weighed against bsdiff,
xdelta3 -9 and zstd -19 --long=31 --patch-from run on each changed file
against its old self, summed; with UPDATEPKG_BEFORE, also against that
build's update. Build and install times (seconds) and peak memory (KiB)
are /usr/bin/time's (the install's the median of three), installing into a
copy of the old tree.
"""
import glob
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile
import zlib

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def run(*command, cwd=None):
    subprocess.run(command, cwd=cwd, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def fetch(work, package):
    tree = os.path.join(work, package)
    if not os.path.isdir(tree):
        run("apt-get", "download", package, cwd=work)
        (deb,) = glob.glob(os.path.join(work, package + "_*.deb"))
        run("dpkg-deb", "-x", deb, tree)
    return tree


def files_under(root):
    return sorted(os.path.relpath(os.path.join(d, n), root)
                  for d, _, names in os.walk(root) for n in names)


def edit(data, rng):
    """A run of bytes in the middle overwritten: 1 % of the file, at least 64."""
    length = max(64, len(data) // 100)
    at = rng.randrange(len(data) // 4, max(len(data) // 4 + 1, len(data) - length))
    return data[:at] + bytes((b ^ 0x20) for b in data[at:at + length]) + data[at + length:]


def make_pk3(members, path, how):
    if os.path.exists(path):
        os.remove(path)
    if how == "zlib":
        with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
            for name in files_under(members):
                z.write(os.path.join(members, name), name)
    elif how == "7z":  # 7-Zip's own deflate, which zlib does not make again
        run("7z", "a", "-tzip", "-mx=9", os.path.abspath(path), ".", cwd=members)
    else:  # Info-ZIP's zip: -9 or -0 (stored)
        run("zip", "-q", "-X", how, "-r", os.path.abspath(path), ".", cwd=members)


def png_chunks(data):
    at, out = 8, []
    while at < len(data):
        (length,) = struct.unpack(">I", data[at:at + 4])
        out.append((data[at + 4:at + 8], data[at + 8:at + 8 + length]))
        at += 12 + length
    return out


def edited_png(data, rng):
    """A region of 32 by 32 pixels touched up (its filtered bytes changed by
    16), saved again through zlib (level 9, IDAT chunks of 8 KiB)."""
    chunks = png_chunks(data)
    raw = bytearray(zlib.decompress(b"".join(body for kind, body in chunks if kind == b"IDAT")))
    width, height = struct.unpack(">II", chunks[0][1][:8])
    row = len(raw) // height
    pixel = max(1, (row - 1) // width)
    top, left = rng.randrange(max(1, height - 32)), rng.randrange(max(1, width - 32))
    for y in range(top, min(height, top + 32)):
        for x in range(1 + left * pixel, min(row, 1 + (left + 32) * pixel)):
            raw[y * row + x] = raw[y * row + x] ^ 0x10
    packed = zlib.compress(bytes(raw), 9)
    chunk = lambda kind, body: (struct.pack(">I", len(body)) + kind + body +
                                struct.pack(">I", zlib.crc32(kind + body)))
    out = PNG_SIGNATURE
    for kind, body in chunks:
        if kind == b"IEND":  # the image data last, right before the end
            out += b"".join(chunk(b"IDAT", packed[i:i + 8192]) for i in range(0, len(packed), 8192))
        if kind != b"IDAT":
            out += chunk(kind, body)
    return out


def timed(command, cwd=None, stdin=None):
    """Seconds and peak KiB of a command."""
    with tempfile.NamedTemporaryFile("r") as times:
        subprocess.run(["/usr/bin/time", "-f", "%e %M", "-o", times.name] + command, cwd=cwd,
                       check=True, input=stdin, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        seconds, peak = times.read().split()[-2:]
    return float(seconds), int(peak)


def tools(old_root, new_root, work):
    """bsdiff, xdelta3 and zstd per changed file, summed."""
    sums = {"bsdiff": 0, "xdelta3": 0, "zstd": 0}
    patch = os.path.join(work, "patch")
    for name in files_under(new_root):
        old, new = os.path.join(old_root, name), os.path.join(new_root, name)
        if not os.path.exists(old):
            continue
        with open(old, "rb") as a, open(new, "rb") as b:
            if a.read() == b.read():
                continue
        for tool, command in (("bsdiff", ["bsdiff", old, new, patch]),
                              ("xdelta3", ["xdelta3", "-9", "-f", "-e", "-s", old, new, patch]),
                              ("zstd", ["zstd", "-q", "-f", "-19", "--long=31",
                                        f"--patch-from={old}", new, "-o", patch])):
            run(*command)
            sums[tool] += os.path.getsize(patch)
    return sums


def ours(updatepkg, stub, old_root, new_root, work, label):
    """The update's payload, its build and its install."""
    out = os.path.join(work, label + ".bin")
    build = timed([updatepkg, "build", new_root, "-o", out, "--delta-from", old_root,
                   "--stub", stub, "--quiet"])
    game = os.path.join(work, "game")
    shutil.rmtree(game, ignore_errors=True)
    shutil.copytree(old_root, game, symlinks=True)
    open(os.path.join(game, "tavro.exe"), "wb").close()  # the game's program
    installs = []
    for _ in range(3):  # the median of three
        shutil.rmtree(game)
        shutil.copytree(old_root, game, symlinks=True)
        open(os.path.join(game, "tavro.exe"), "wb").close()
        installs.append(timed([out], cwd=game, stdin=b"y\n"))
    install = sorted(installs)[1]
    for name in files_under(new_root):
        with open(os.path.join(game, name), "rb") as a, open(os.path.join(new_root, name),
                                                              "rb") as b:
            assert a.read() == b.read(), name
    return os.path.getsize(out) - os.path.getsize(stub), build, install


def report(label, old_root, new_root, work, updatepkg, stub, before):
    size, build, install = ours(updatepkg, stub, old_root, new_root, work, label)
    line = (f"{label}: ours {size:,} B (build {build[0]:.1f} s, {build[1]:,} KiB; "
            f"install {install[0]:.2f} s, {install[1]:,} KiB)")
    if before:
        was, built, installed = ours(before, stub, old_root, new_root, work, label + "-before")
        line += (f"; before {was:,} B ({size / was:.3f} x; build {built[0]:.1f} s, "
                 f"install {installed[0]:.2f} s)")
    sums = tools(old_root, new_root, work)
    line += "; " + ", ".join(f"{tool} {total:,}" for tool, total in sums.items())
    print(line, flush=True)


def main():
    updatepkg, stub, work = sys.argv[1:4]
    before = sys.argv[4] if len(sys.argv) > 4 else None
    os.makedirs(work, exist_ok=True)
    arena, pingus = fetch(work, "openarena-data"), fetch(work, "pingus-data")
    rng = random.Random(57)
    pk3 = max(glob.glob(os.path.join(arena, "**", "*.pk3"), recursive=True), key=os.path.getsize)
    members = {side: os.path.join(work, "members-" + side) for side in ("old", "new")}
    if not os.path.isdir(members["new"]):
        run("unzip", "-q", "-o", pk3, "-d", members["old"])
        shutil.copytree(members["old"], members["new"])
        names = files_under(members["new"])
        for name in rng.sample(names, 28):
            path = os.path.join(members["new"], name)
            with open(path, "rb") as f:
                data = f.read()
            with open(path, "wb") as f:
                f.write(edit(data, rng) if data else b"x")
    count = len(files_under(members["old"]))
    print(f"pk3: {os.path.basename(pk3)}, {os.path.getsize(pk3):,} B, {count} members, 28 changed")
    for how in ("-9", "zlib", "7z", "-0"):
        roots = {}
        for side in ("old", "new"):
            roots[side] = os.path.join(work, f"pk3{how}-{side}")
            os.makedirs(roots[side], exist_ok=True)
            make_pk3(members[side], os.path.join(roots[side], "pak0.pk3"), how)
        label = {"-9": "pk3 by zip -9", "zlib": "pk3 by zlib", "7z": "pk3 by 7z (not made again)",
                 "-0": "pk3 stored"}[how]
        report(label, roots["old"], roots["new"], work, updatepkg, stub, before)
    report("pk3 loose", members["old"], members["new"], work, updatepkg, stub, before)

    pngs = sorted((p for p in glob.glob(os.path.join(pingus, "**", "*.png"), recursive=True)
                   if open(p, "rb").read(8) == PNG_SIGNATURE), key=os.path.getsize)[-20:]
    roots = {side: os.path.join(work, "png-" + side) for side in ("old", "new")}
    for i, path in enumerate(pngs):
        with open(path, "rb") as f:
            data = f.read()
        for side, content in (("old", data), ("new", edited_png(data, rng))):
            os.makedirs(roots[side], exist_ok=True)
            with open(os.path.join(roots[side], f"{i:02d}.png"), "wb") as f:
                f.write(content)
    print(f"png: the 20 largest of pingus-data, {sum(map(os.path.getsize, pngs)):,} B")
    report("png", roots["old"], roots["new"], work, updatepkg, stub, before)

    game = {side: os.path.join(work, "game-" + side) for side in ("old", "new")}
    for side in ("old", "new"):
        shutil.rmtree(game[side], ignore_errors=True)
        shutil.copytree(os.path.join(pingus, "usr", "share", "games", "pingus"),
                        os.path.join(game[side], "data"))
        shutil.copytree(roots[side], os.path.join(game[side], "sprites"))
        shutil.copy(os.path.join(work, f"pk3-9-{side}", "pak0.pk3"), game[side])
    report("game", game["old"], game["new"], work, updatepkg, stub, before)


if __name__ == "__main__":
    main()
