#!/usr/bin/env python3
"""A big new version of data archives of stored members: Firefox ESR's two
`omni.ja` archives in the two newest releases the registry offers (13
releases apart here: 83 MB to 98 MB). Prints the delta update (less the
stub) with its build's time and peak memory, the install's over a copy of
the old tree (checked against the new one), and per-file `zstd -19
--long=31 --patch-from` and `xdelta3 -9 -B` (a window as large as the old
file), summed.

Usage: bench_archive_versions.py UPDATEPKG STUB WORK"""
import os
import shutil
import subprocess
import sys

FILES = ("omni.ja", "browser/omni.ja")


def measured(command, cwd=None, stdin=None):
    """The seconds and peak MiB of `command`, as /usr/bin/time tells them."""
    run = subprocess.run(["/usr/bin/time", "-f", "%e %M", *command], cwd=cwd, input=stdin,
                         check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    seconds, kib = run.stderr.split()[-2:]
    return f"{float(seconds):.1f} s, {int(kib) // 1024} MiB"


def fetch_releases(work):
    """The old and new trees of the two newest firefox-esr releases; none where not offered."""
    madison = subprocess.run(["apt-cache", "madison", "firefox-esr"], capture_output=True,
                             text=True).stdout
    versions = sorted({line.split("|")[1].strip() for line in madison.splitlines()
                       if "amd64 Packages" in line},
                      key=lambda v: [int(p) if p.isdigit() else 0 for p in v.replace("~", ".")
                                     .replace("-", ".").replace("esr", "").split(".")])[-2:]
    if len(versions) < 2:
        return None
    trees = []
    for side, version in zip(("old", "new"), versions):
        tree = os.path.join(work, side)
        trees.append(tree)
        if os.path.isdir(tree):
            continue
        subprocess.run(["apt-get", "download", f"firefox-esr={version}"], cwd=work, check=True,
                       capture_output=True)
        deb = [n for n in os.listdir(work) if n.startswith(f"firefox-esr_{version}")][0]
        unpacked = os.path.join(work, side + "-deb")
        subprocess.run(["dpkg-deb", "-x", os.path.join(work, deb), unpacked], check=True)
        for name in FILES:
            os.makedirs(os.path.dirname(os.path.join(tree, name)), exist_ok=True)
            shutil.move(os.path.join(unpacked, "usr/lib/firefox-esr", name),
                        os.path.join(tree, name))
        shutil.rmtree(unpacked)
    print(f"firefox-esr {versions[0]} to {versions[1]}")
    return trees


def main(updatepkg, stub, work):
    os.makedirs(work, exist_ok=True)
    trees = fetch_releases(work)
    if not trees:
        print("(the registry offers no two releases of firefox-esr here)")
        return
    old, new = trees
    update = os.path.join(work, "update.bin")
    built = measured([updatepkg, "build", new, "-o", update, "--stub", stub, "--quiet",
                      "--delta-from", old])
    game = os.path.join(work, "game")
    shutil.rmtree(game, ignore_errors=True)
    shutil.copytree(old, game)
    open(os.path.join(game, "tavro.exe"), "wb").close()  # the game's program
    installed = measured([update], cwd=game, stdin=b"y\n")
    for name in FILES:
        with open(os.path.join(game, name), "rb") as a, open(os.path.join(new, name), "rb") as b:
            assert a.read() == b.read(), name
    print(f"updatepkg: {os.path.getsize(update) - os.path.getsize(stub):,} bytes, "
          f"built in {built}, installed in {installed}")
    tools = {"zstd -19 --long=31 --patch-from": lambda o, n, out: [
                 "zstd", "-19", "--long=31", "-q", "-f", f"--patch-from={o}", n, "-o", out],
             "xdelta3 -9 -B": lambda o, n, out: [
                 "xdelta3", "-9", "-f", "-B", str(os.path.getsize(o)), "-e", "-s", o, n, out]}
    for label, command in tools.items():
        total, times = 0, []
        for name in FILES:
            out = os.path.join(work, "patch")
            times.append(measured(command(os.path.join(old, name), os.path.join(new, name), out)))
            total += os.path.getsize(out)
        print(f"{label}: {total:,} bytes ({'; '.join(times)})")


if __name__ == "__main__":
    main(*sys.argv[1:])
