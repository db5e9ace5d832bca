#!/usr/bin/env python3
"""Delta updates of programs: this project built at an older commit and now.

Usage: scripts/bench_programs.py ROOT WORK [COMMITS_BACK]

Each release is the Linux `updater` and `updatepkg` (Release builds), the
Windows `updater.exe` where it is built, and every object file of the native
build (many small files, moved where the sources moved). The update from the
old release to the new one (`updatepkg build --delta-from`) is weighed
against bsdiff, xdelta3 -9 and zstd -19 --patch-from run on each new or
changed file against the old file of the same path, else of the same name
in another folder, else a one-byte file, summed; then the time and peak memory of the
build, and the time to apply it against the whole-file update.
"""
import json
import os
import shutil
import subprocess
import sys
import time


def run(*command, cwd=None):
    subprocess.run(command, cwd=cwd, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def release(source, out, tree):
    """Builds `source` into `out` and gathers its programs and objects in `tree`."""
    run("cmake", "-S", source, "-B", out, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
        "-DUPDATER_TESTS=OFF")
    run("cmake", "--build", out)
    for program in ("updater", "updatepkg"):
        os.makedirs(os.path.join(tree, "bin"), exist_ok=True)
        shutil.copy2(os.path.join(out, program), os.path.join(tree, "bin", program))
    windows = os.path.join(source, "out", "windows", "updater.exe")
    if os.path.exists(windows):
        shutil.copy2(windows, os.path.join(tree, "bin", "updater.exe"))
    objects = os.path.join(out, "CMakeFiles")
    for folder, _, names in os.walk(objects):
        for name in names:
            if name.endswith(".o"):
                target = os.path.join(tree, "obj", os.path.relpath(folder, objects), name)
                os.makedirs(os.path.dirname(target), exist_ok=True)
                shutil.copy2(os.path.join(folder, name), target)


def timed(command, cwd=None, stdin=None):
    """Seconds and peak KiB of one run."""
    record = os.path.join(WORK, "time")
    subprocess.run(["/usr/bin/time", "-f", "%e %M", "-o", record, *command], cwd=cwd,
                   input=stdin, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    seconds, kib = open(record).read().split()
    return float(seconds), int(kib)


def tool_sizes(old_tree, new_tree):
    """Each tool's patch sizes summed over the new release's files."""
    nothing = os.path.join(WORK, "nothing")
    with open(nothing, "wb") as f:
        f.write(b"\0")  # bsdiff refuses an empty old file
    by_name = {}
    for folder, _, names in os.walk(old_tree):
        for name in names:
            by_name.setdefault(name, os.path.join(folder, name))
    patch = os.path.join(WORK, "patch")
    sums = {"bsdiff": 0, "xdelta3 -9": 0, "zstd -19 --patch-from": 0}
    for folder, _, names in os.walk(new_tree):
        for name in names:
            new = os.path.join(folder, name)
            old = os.path.join(old_tree, os.path.relpath(new, new_tree))
            if os.path.exists(old) and open(old, "rb").read() == open(new, "rb").read():
                continue  # unchanged: no update carries it
            old = old if os.path.exists(old) else by_name.get(name, nothing)
            run("bsdiff", old, new, patch)
            sums["bsdiff"] += os.path.getsize(patch)
            run("xdelta3", "-9", "-e", "-f", "-s", old, new, patch)
            sums["xdelta3 -9"] += os.path.getsize(patch)
            run("zstd", "-19", "-q", "-f", f"--patch-from={old}", new, "-o", patch)
            sums["zstd -19 --patch-from"] += os.path.getsize(patch)
    return sums


def apply_seconds(update, old_tree):
    game = os.path.join(WORK, "game")
    shutil.rmtree(game, ignore_errors=True)
    shutil.copytree(old_tree, game)
    open(os.path.join(game, "tavro.exe"), "w").write("engine")
    run("sync")
    return timed([update], cwd=game, stdin=b"y\n")[0]


def main():
    root, back = sys.argv[1], int(sys.argv[3]) if len(sys.argv) > 3 else 40
    os.makedirs(WORK, exist_ok=True)
    updatepkg = os.path.join(root, "out", "native", "updatepkg")
    stub = os.path.join(root, "out", "native", "updater")
    commit = subprocess.run(["git", "-C", root, "rev-parse", f"HEAD~{back}"], check=True,
                            capture_output=True, text=True).stdout.strip()
    old_source = os.path.join(WORK, "old-source")
    run("git", "-C", root, "worktree", "add", "--detach", old_source, commit)
    try:
        release(old_source, os.path.join(WORK, "old-out"), os.path.join(WORK, "old"))
    finally:
        run("git", "-C", root, "worktree", "remove", "--force", old_source)
    release(root, os.path.join(WORK, "new-out"), os.path.join(WORK, "new"))
    old, new = os.path.join(WORK, "old"), os.path.join(WORK, "new")
    count = sum(len(names) for _, _, names in os.walk(new))
    size = sum(os.path.getsize(os.path.join(f, n)) for f, _, names in os.walk(new) for n in names)
    print(f"programs: HEAD~{back} against HEAD, {count} files, {size / 1e6:.1f} MB")
    delta, whole = os.path.join(WORK, "delta.bin"), os.path.join(WORK, "whole.bin")
    seconds, kib = timed([updatepkg, "build", new, "-o", delta, "--delta-from", old,
                          "--stub", stub])
    run(updatepkg, "build", new, "-o", whole, "--stub", stub)
    listed = json.loads(subprocess.run([updatepkg, "list", delta, "--json"], check=True,
                                       capture_output=True, text=True).stdout)["entries"]
    ours = os.path.getsize(delta) - os.path.getsize(stub)
    kinds = {}
    for entry in listed:
        kinds[entry["kind"]] = kinds.get(entry["kind"], 0) + 1
    print(f"ours: {ours} bytes ({kinds}), built in {seconds:.2f} s, peak {kib} KiB;"
          f" the whole-file update {os.path.getsize(whole) - os.path.getsize(stub)} bytes")
    for tool, total in tool_sizes(old, new).items():
        print(f"{tool}: {total} bytes summed per file (ours {ours / total:.3f}x)")
    applied = sorted(apply_seconds(delta, old) for _ in range(3))[1]
    applied_whole = sorted(apply_seconds(whole, old) for _ in range(3))[1]
    print(f"applying (medians of 3): delta {applied:.2f} s, whole {applied_whole:.2f} s,"
          f" ratio {applied / applied_whole:.2f}")


if __name__ == "__main__":
    WORK = sys.argv[2]
    main()
