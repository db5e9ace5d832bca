#!/usr/bin/env python3
"""Edited raw media: the 20 largest uncompressed TGA textures of a pk3 (as
openarena-data's pak0.pk3) tinted in a quarter of their rows, and its 20
largest 16-bit sounds made quieter by 0.7, as loose files and in the
archive with its members stored. Prints our update's size (less the stub)
against bsdiff's patches (per changed file), and the build's time.

Usage: bench_media.py UPDATEPKG STUB WORK (fetches openarena-data there)"""
import array
import os
import shutil
import struct
import subprocess
import sys
import time
import zipfile


def tinted(data):
    """A 24- or 32-bit TGA with its first quarter of rows less blue and more red."""
    idlen, cmap, kind = data[0], data[1], data[2]
    w, h, bpp = struct.unpack_from("<HHB", data, 12)
    if cmap or kind != 2 or bpp not in (24, 32):
        return None
    px = bytearray(data)
    start, step = 18 + idlen, bpp // 8
    for i in range(start, start + w * (h // 4) * step, step):
        px[i] = px[i] * 3 // 4            # blue down
        px[i + 2] = min(255, px[i + 2] + 24)  # red up
    return bytes(px)

def quieter(data):
    """A WAVE file of 16-bit samples with every sample times 0.7."""
    at = data.find(b"data")
    if data[:4] != b"RIFF" or at < 0 or struct.unpack_from("<H", data, 34)[0] != 16:
        return None
    start = at + 8
    n = (len(data) - start) // 2
    s = array.array("h", data[start:start + 2 * n])
    s = array.array("h", (int(v * 0.7) for v in s))
    return data[:start] + s.tobytes() + data[start + 2 * n:]

def main(updatepkg, stub, work):
    os.makedirs(work, exist_ok=True)
    tree = os.path.join(work, "openarena-data")
    if not os.path.isdir(tree):
        subprocess.run(["apt-get", "download", "openarena-data"], cwd=work, check=True,
                       capture_output=True)
        (deb,) = [n for n in os.listdir(work) if n.endswith(".deb")]
        subprocess.run(["dpkg-deb", "-x", os.path.join(work, deb), tree], check=True)
    z = zipfile.ZipFile(os.path.join(tree, "usr/share/games/openarena/baseoa/pak0.pk3"))
    work = os.path.join(work, "media")
    shutil.rmtree(work, ignore_errors=True)
    members = [(i.filename, z.read(i)) for i in z.infolist() if not i.is_dir()]
    new = dict(members)
    for ext, edit in ((".tga", tinted), (".wav", quieter)):
        done = 0
        for name, data in sorted(members, key=lambda m: -len(m[1])):
            if done < 20 and name.lower().endswith(ext) and (e := edit(data)) is not None:
                new[name], done = e, done + 1
    for label, release in (("old", dict(members)), ("new", new)):
        for how in ("loose", "stored"):
            root = os.path.join(work, how, label)
            os.makedirs(root)
            if how == "loose":
                for name, data in release.items():
                    path = os.path.join(root, name)
                    os.makedirs(os.path.dirname(path), exist_ok=True)
                    open(path, "wb").write(data)
            else:
                with zipfile.ZipFile(os.path.join(root, "pak0.pk3"), "w", zipfile.ZIP_STORED) as out:
                    for name, data in release.items():
                        out.writestr(zipfile.ZipInfo(name, (2020, 1, 1, 0, 0, 0)), data)
    changed = [n for n, d in members if new[n] != d]
    for how in ("loose", "stored"):
        old, nw = (os.path.join(work, how, x) for x in ("old", "new"))
        out = os.path.join(work, how + ".bin")
        started = time.monotonic()
        subprocess.run([updatepkg, "build", nw, "-o", out, "--stub", stub, "--delta-from", old],
                       check=True, capture_output=True)
        built = time.monotonic() - started
        ours = os.path.getsize(out) - os.path.getsize(stub)
        files = changed if how == "loose" else ["pak0.pk3"]
        bsdiff = 0
        for name in files:
            patch = os.path.join(work, "p")
            subprocess.run(["bsdiff", os.path.join(old, name), os.path.join(nw, name), patch], check=True)
            bsdiff += os.path.getsize(patch)
        print(f"{how}: ours {ours} (built in {built:.1f} s), bsdiff {bsdiff} "
              f"({ours / bsdiff:.3f})", flush=True)

if __name__ == "__main__":
    main(*sys.argv[1:])
