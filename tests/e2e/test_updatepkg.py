"""updatepkg end to end: build, list, verify and extract, signed updates and
usage errors, checked against the independent reader in package_tool."""
import datetime
import hashlib
import io
import json
import math
import os
import random
import re
import shutil
import signal
import struct
import subprocess
import sys
import time
import unittest
import zipfile
import zlib

import package_tool as pt
from harness import (CAPTION, COMPLETED, FAILED, LABEL, UPDATEPKG_EXE, UPDATER, UPDATER_EXE,
                     GameFolder, OnWine, snapshot, versioned)

STAT_FIELDS = ("st_mode", "st_ino", "st_nlink", "st_uid", "st_gid", "st_size", "st_atime_ns",
               "st_mtime_ns", "st_ctime_ns")
UPDATEPKG = os.environ.get("UPDATEPKG", os.path.join(os.path.dirname(UPDATER), "updatepkg"))
# An object file of the native build, as a game's modules are.
OBJECT = os.path.join(os.path.dirname(UPDATER), "CMakeFiles", "updater_package.dir", "package",
                      "delta.cc.o")


def iso(filetime):
    seconds, ticks = divmod(filetime, 10**7)
    return (datetime.datetime(1601, 1, 1) + datetime.timedelta(seconds=seconds)).strftime(
        "%Y-%m-%dT%H:%M:%S") + f".{ticks:07d}Z"


def edited(rng, data, edits=3):
    """`data` with a few spans rewritten and a few bytes inserted, as a new
    build of an asset changes it."""
    out = bytearray(data)
    for _ in range(edits):
        at = rng.randrange(len(out))
        out[at:at + 40] = rng.randbytes(40)
        out[at:at] = rng.randbytes(rng.randrange(1, 30))
    return bytes(out)


def package_summary(data):
    """What a package holds, but the creation times, which Linux does not keep."""
    _, entries = pt.parse_package(data)
    return entries.label, [(e.name, e.kind, e.old_name, e.times and e.times[1:], e.stream)
                           for e in entries]


def release_series(seed):
    """Four releases of a game, each {path: bytes}: from R1 to R2 files are
    added (one of them from part of another), removed (a folder emptied),
    moved (the same bytes, and edited), edited in place, and a file becomes
    a folder and a folder a file; from R2 to R3 again, with names in several
    scripts; R4 for an update from all three, a folder a file again."""
    rng = random.Random(seed)
    with open(UPDATER, "rb") as program, open(OBJECT, "rb") as module:
        engine, module = program.read(400_000), module.read()  # code, not only data
    r1 = {"bin/engine": engine, "bin/module.o": module,
          "data/main.pak": rng.randbytes(400_000), "data/level.dat": rng.randbytes(120_000),
          "data/asset.bin": rng.randbytes(70_000), "config.ini": b"volume=3\n",
          "old/a.txt": b"obsolete", "old/deep/b.txt": b"obsolete too", "keep.txt": b"same",
          "音声/台詞 01.ogg": rng.randbytes(3000), "αβγ/файл.dat": rng.randbytes(5000),
          "maps": rng.randbytes(900), "sounds/a.ogg": b"a", "sounds/deep/b.ogg": b"b"}
    r2 = {n: d for n, d in r1.items() if not n.startswith(("old/", "maps", "sounds"))}
    r2["maps/m1.dat"], r2["sounds"] = r1["maps"] + b"edited", b"sounds, one file now"
    r2["data/main.pak"] = edited(rng, r1["data/main.pak"])
    r2["levels/level.dat"] = edited(rng, r2.pop("data/level.dat"))
    r2["assets/asset.bin"] = r2.pop("data/asset.bin")
    r2["config.ini"], r2["new/added.dat"] = b"volume=5\n", rng.randbytes(4000)
    r2["data/part.pak"] = edited(rng, r1["data/main.pak"][100_000:180_000])  # split from one
    # A program and an object file rebuilt: code moved by insertions, bytes changed.
    r2["bin/engine"], r2["bin/module.o"] = edited(rng, engine, 20), edited(rng, module)
    r3 = {n: d for n, d in r2.items() if not n.startswith("αβγ/")}
    r3["data/main.pak"] = edited(rng, r2["data/main.pak"])
    r3["levels/level.dat"] = edited(rng, r2["levels/level.dat"])
    r3["assets/moved again.bin"] = r3.pop("assets/asset.bin")
    r3["音声/台詞 02.ogg"] = rng.randbytes(2000)
    # R4: files edited in every release, in some and only in the last; one
    # moved with the same bytes from three names; removals of one version and
    # of a file R1 lacks.
    r4 = {n: d for n, d in r3.items() if n not in ("音声/台詞 01.ogg", "new/added.dat")}
    r4["data/main.pak"], r4["bin/engine"] = edited(rng, r3["data/main.pak"]), edited(rng, engine)
    r4["bin/module.o"] = edited(rng, r3["bin/module.o"])
    r4["assets/final place.bin"] = r4.pop("assets/moved again.bin")
    r4["new in 4.txt"] = b"four"
    r4["maps"] = r4.pop("maps/m1.dat")
    return r1, r2, r3, r4


def windows_gui_header():
    """The headers of a 32-bit Windows GUI program and nothing else."""
    pe = bytearray(24 + 96)
    pe[0:4], pe[24:26], pe[24 + 68:24 + 70] = b"PE\0\0", b"\x0b\x01", b"\x02\x00"
    return b"MZ" + bytes(0x3A) + struct.pack("<I", 0x40) + bytes(pe)


class UpdatepkgTest(GameFolder):
    tool = UPDATEPKG

    def updatepkg(self, *args, code=0, cwd=None):
        """Runs the tool; a build gets the runner's own program as its stub
        unless the case names one."""
        if args[:1] == ("build",) and "--stub" not in args and "--help" not in args:
            args += ("--stub", self.runner.program)
        command, env = self.runner.command(self.tool, *args)
        run = lambda: subprocess.run(command, env=env, capture_output=True, timeout=120,
                                     cwd=cwd or self.tmp)
        result = run()
        if result.returncode and not result.stdout + result.stderr and self.tool != UPDATEPKG:
            # Every failure of the tool says why. Under Wine one run ended with
            # neither (exit 1), and 200 of the same did not: one more try, logged.
            print(f"\nWine ran {args} silently (exit {result.returncode}): again", file=sys.stderr)
            result = run()
        self.assertEqual(result.returncode, code, result.stderr)
        return result.stdout.decode(), result.stderr.decode()

    def make_tree(self, root, files):
        # Accessed after the last change, so that reading them leaves the
        # access time alone (relatime); each changed a second apart, so that
        # a record framed after the wrong one shows in its times.
        ns = time.time_ns()
        for i, (name, data) in enumerate(files.items()):
            self.write(os.path.join(root, name), data, ns=(ns + 10**11, ns - 10**10 - i * 10**9))

    def build(self, *extra):
        out = os.path.join(self.tmp, "update.bin")
        self.updatepkg("build", os.path.join(self.studio, "src"), "-o", out, *extra)
        return out

    def test_generated_tree_round_trips_the_same_for_any_threads_and_as_l_builds_it(self):
        # Names in several scripts, sizes at the inflate buffers' and the
        # blocks' edges, times either side of the Unix epoch and of 2038.
        rng, block = random.Random(11), 1 << 20
        files = {}
        for i, size in enumerate([0, 1, 1023, 1024, 1025, 262144, 262145, block, block + 1,
                                  4 * block + 12345]):
            script = rng.choice(["abcXYZ", "日本語データ", "αβγΣ", "кирЖ", "ÿāѣ"])
            name = "".join(rng.choice(script) for _ in range(rng.randint(1, 6))) + f"{i}.bin"
            data = rng.randbytes(size) if i % 2 else (b"table " * (size // 6 + 1))[:size]
            files[rng.choice(["", "sub/", "音/深い/"]) + name] = data
        # A program of x86 code: calls to a few places, which the branch filter
        # turns (its test: at least 8 a KiB), and a call cut off at the end.
        files["game.exe"] = b"MZ" + b"".join(
            b"\x55\x89\xe5\xe8" + (rng.choice([0x1000, 0x2345, 0x10000]) - 16 * i
                                   ).to_bytes(4, "little", signed=True) + rng.randbytes(5)
            for i in range(30000)) + b"\xe8\x00\x00"
        # An x86-64 ELF library whose code, after its symbols, is named by its
        # section table: calls, conditional jumps and RIP-relative loads.
        code = b"".join(rng.choice([b"\xe8", b"\x0f\x84", b"\x48\x8b\x05"]) + (
            rng.choice([0x1000, 0x2345, 0x10000]) - 11 * i).to_bytes(4, "little", signed=True) +
            b"\x90" * rng.randint(0, 3) for i in range(60000))
        sections = bytes(64) + struct.pack("<IIQQQQ", 1, 1, 6, 0, 1 << 16, len(code)).ljust(64, b"\0")
        head = (b"\x7fELF\x02\x01\x01".ljust(18, b"\0") + struct.pack("<H", 62)).ljust(40, b"\0")
        head = (head + struct.pack("<Q", 64)).ljust(58, b"\0") + struct.pack("<HH", 64, 2)
        symbols = (head.ljust(64, b"\0") + sections + b"symbol " * 10000)[:1 << 16]
        files["lib/game.so"] = symbols + code
        # A stereo sound of 16-bit samples (its samples after a LIST chunk, an
        # odd byte at the end), which the sample filter codes as differences.
        samples = b"".join(struct.pack("<hh", (i * 37) % 20000 - 10000, -(i * 11) % 30000)
                           for i in range(6000)) + b"\x07"
        chunks = (b"fmt " + struct.pack("<IHHIIHH", 16, 1, 2, 22050, 88200, 4, 16) +
                  b"LIST" + struct.pack("<I", 4) + b"INFO" + b"data" + struct.pack("<I", 24000))
        files["sounds/hit.wav"] = b"RIFF" + struct.pack("<I", 4 + len(chunks) + len(samples)) + \
            b"WAVE" + chunks + samples
        src = os.path.join(self.studio, "src")
        self.make_tree(src, files)
        edges = [-10**9 + 100, 2**31 * 10**9 + 999_999_900]
        for name, ns in zip(files, edges):
            os.utime(os.path.join(src, name), ns=(ns, ns))
        solid = [self.read(self.build("--threads", str(n))) for n in (1, 2, 8)]
        self.assertTrue(solid[1:] == solid[:1] * 2)  # LZMA blocks: the same on any threads
        _, coded = pt.parse_package(solid[0])  # liblzma reads every block
        self.assertEqual({e.name[2:].replace("\\", "/"): e.content for e in coded}, files)
        self.assertEqual({e.kind for e in coded}, {"solid"})
        self.assertEqual({e.name: e.branches for e in coded if e.branches},  # split, samples
                         {".\\game.exe": 2, ".\\lib\\game.so": 2, ".\\sounds\\hit.wav": 3})
        builds = [self.read(self.build("--threads", str(n), "--compression", "deflate"))
                  for n in (1, 8)]
        reference = self.update_exe(name=os.path.join("studio", "reference.bin"))
        GameFolder.build(self, reference)  # -l of the updater beside the tool
        # Deflated, the bytes -l writes, but for the check record first.
        self.assertTrue(builds[1:] + [self.read(reference)] ==
                        [builds[0], pt.without_check(builds[0])])
        _, entries = pt.parse_package(builds[0])  # Python's zlib reads every stream
        self.assertEqual({e.name[2:].replace("\\", "/"): e.content for e in entries}, files)
        small = next(e for e in entries if len(e.content) == block)
        self.assertEqual(small.stream, zlib.compress(small.content))  # one block: one stream
        out = os.path.join(self.tmp, "update.bin")  # the last build's
        listed = json.loads(self.updatepkg("list", out, "--json", "--hashes")[0])
        program = "Linux" if self.tool == UPDATEPKG else ("Windows 64-bit" if "64" in
                                                          UPDATEPKG_EXE else "Windows 32-bit GUI")
        self.assertEqual(listed["program"], program)  # the updater beside the tool
        self.assertEqual([e.pop("sha256") for e in listed["entries"]],
                         [hashlib.sha256(e.content).hexdigest() for e in entries])
        listed = listed["entries"]
        verdict = json.loads(self.updatepkg("verify", out, "--json")[0])
        self.assertEqual(verdict, {"update": out, "sound": True, "entries": len(entries),
                                   "program": program, "label": None, "fault": None})
        self.assertEqual(listed, [{"kind": "file", "name": e.name, "size": len(e.content),
                                   "packed_size": len(e.stream), "creation": iso(e.times[0]),
                                   "last_access": iso(e.times[1]), "last_write": iso(e.times[2]),
                                   "offset": e.offset} for e in entries])
        if self.tool != UPDATEPKG:  # the Windows workers give the Linux build's bytes
            native = os.path.join(self.tmp, "native.bin")
            subprocess.run([UPDATEPKG, "build", src, "-o", native, "--stub", UPDATER], check=True,
                           capture_output=True)
            self.assertTrue([(e.name, e.times[1:], e.stream) for e in coded] ==
                            [(e.name, e.times[1:], e.stream)
                             for e in pt.parse_package(self.read(native))[1]])
        out = self.build("--level", "fast")  # extracted as the player's updater reads it
        target = os.path.join(self.tmp, "extracted")
        said = self.updatepkg("extract", out, target)[0]
        self.assertEqual(said.rstrip(), f"{target}: {len(entries)} files written, 0 removed, "
                                        "0 already current")
        for name, data in files.items():
            self.assertEqual(self.read(os.path.join(target, name)), data, name)
            self.assertEqual(os.stat(os.path.join(target, name)).st_mtime_ns,
                             os.stat(os.path.join(src, name)).st_mtime_ns // 100 * 100)
        # Past two windows of `fast` (8 MiB) the tree is cut into blocks of
        # about the same size, each in the walk's order (by name in a folder),
        # each after the first starting with the end of the one before (which
        # liblzma reads given it as the preset), and extracted whole.
        big = {f"big/{n}": rng.randbytes(7 << 19) for n in ("a.sys", "b.exe", "c.dll")}
        self.make_tree(src, big)
        summary = json.loads(self.updatepkg("build", src, "-o", out, "--level", "fast", "--json")[0])
        data = self.read(out)
        _, coded = pt.parse_package(data)
        blocks = {}
        for e in coded:
            blocks.setdefault(e.offset, []).append(e)
        self.assertEqual([data[at:at + 4] for at in blocks], [b"sold"] + [b"solc"] * 2)
        # The build counts its blocks undecoded, to the byte of what it wrote.
        self.assertEqual((summary["entries"]["file"], summary["bytes"], summary["packed"]["file"]),
                         (len(coded), sum(len(e.content) for e in coded),
                          sum(len(b[0].stream) for b in blocks.values())))
        self.updatepkg("extract", out, target + "2")
        for name, content in {**files, **big}.items():
            self.assertEqual(self.read(os.path.join(target + "2", name)), content, name)
        # Each file is listed with its part of its block's stream: the parts
        # add up to the stream, and a file of random bytes takes its own size.
        listed = json.loads(self.updatepkg("list", out, "--json")[0])["entries"]
        for b in blocks.values():
            parts = [e["packed_size"] for e in listed if e["offset"] == b[0].offset]
            self.assertEqual(sum(parts), len(b[0].stream))
        for e in listed:
            if e["name"][2:].replace("\\", "/") in big:
                self.assertAlmostEqual(e["packed_size"] / e["size"], 1, delta=0.03)
        # A block's first file found damaged ends the reading there, and the
        # decoding of the block's megabytes after it with it.
        damaged = bytearray(self.read(out))
        damaged[damaged.index(hashlib.sha256(coded[0].content).digest())] ^= 1
        start = len(damaged) - 8 - struct.unpack("<I", damaged[-4:])[0]
        damaged[start + 4:start + 36] = hashlib.sha256(damaged[start + 36:-8]).digest()
        with open(out, "wb") as f:
            f.write(damaged)
        fault = json.loads(self.updatepkg("verify", out, "--json", code=1)[0])["fault"]
        self.assertEqual(fault["name"], coded[0].name)
        sizes = [sum(len(e.content) for e in b) for b in blocks.values()]
        self.assertEqual(len(sizes), -(-sum(sizes) // (8 << 20)))  # as few as hold two windows
        self.assertLess(max(sizes), sum(sizes) // len(sizes) + (7 << 19))  # about even
        order = [e.name[2:].replace("\\", "/") for e in coded]
        self.assertEqual([n for n in order if n in big], list(big))
        # A delta build writes patches between its blocks: each stands alone.
        old = os.path.join(self.studio, "old")
        self.make_tree(old, {"big/b.exe": big["big/b.exe"][:-1]})
        data = self.read(self.build("--level", "fast", "--delta-from", old))
        coded = pt.parse_package(data)[1]
        self.assertEqual({data[e.offset:e.offset + 4] for e in coded if e.kind == "solid"},
                         {b"sold"})
        self.assertGreater(len({e.offset for e in coded if e.kind == "solid"}), 1)
        self.assertEqual(len(coded), len(files) + len(big))

    def test_verify_finds_the_entry_and_offset_of_each_fault(self):
        entries = [(".\\a.dat", (1, 2, 3), b"first"), (".\\b.dat", (4, 5, 6), b"second" * 99)]
        package = pt.encode_package(entries)
        second = len(pt.encode_record(*entries[0]))
        stream = second + 4 + 2 + 14 + 24
        adler = len(package) - 8 - 1
        cases = {"name length": (second + 4, "entry 2 at byte"),
                 "times": (second + 22, None), "stream": (stream + 2, "entry 2 at byte"),
                 "Adler-32": (adler, "entry 2 at byte"), "trailer": (len(package) - 8, "no package")}
        path = os.path.join(self.tmp, "p.bin")
        for region, (at, message) in cases.items():
            with self.subTest(region):
                damaged = bytearray(package)
                damaged[at] ^= 0xFF
                with open(path, "wb") as f:
                    f.write(damaged)
                out, err = self.updatepkg("verify", path, code=0 if message is None else 1)
                if message:
                    self.assertIn(message, err)
                    self.assertIn(f"byte {second}:" if "entry" in message else "p.bin", err)
                    fault = json.loads(self.updatepkg("verify", path, "--json", code=1)[0])["fault"]
                    if region in ("stream", "Adler-32"):  # the entry's name was read
                        self.assertEqual(fault["name"], ".\\b.dat")

    def test_a_flipped_byte_anywhere_in_what_build_writes_is_refused(self):
        self.make_tree(os.path.join(self.studio, "src"), {
            "a.dat": b"alpha" * 300, "sub/b.txt": b"text\n" * 50, "c.bin": os.urandom(700)})
        data = self.read(self.build("--version-label", "(2.0)"))
        start = len(data) - 8 - struct.unpack("<I", data[-4:])[0]
        rng = random.Random(41)
        # The check itself, the label, the records, the trailer's tag and length.
        offsets = [start + 4, start + 35, start + 36, start + 41, len(data) - 8, len(data) - 1]
        offsets += sorted(rng.randrange(start + 36, len(data) - 8) for _ in range(6))
        # The program: a byte it runs with all the same (in the DOS stub, or
        # the ELF section headers at its end), the first and any other.
        offsets += [0x50 if data[:2] == b"MZ" else start - 1, 0]
        offsets += sorted(rng.randrange(0, start) for _ in range(4))
        damaged = os.path.join(self.tmp, "damaged.bin")
        for i, at in enumerate(offsets):
            with self.subTest(offset=at - start):
                self.write(damaged, data[:at] + bytes([data[at] ^ 1 << i % 8]) + data[at + 1:])
                os.chmod(damaged, 0o755)
                err = self.updatepkg("verify", damaged, code=1)[1]
                if start + 36 <= at < len(data) - 8:  # a record's byte
                    self.assertIn("damaged: its records fail their check", err)
                if at < start:
                    self.assertIn("damaged: its program fails its check", err)
                # Not a box's worth for every one under Wine, nor a program
                # that no longer runs.
                if (i % 4 == 1 and at >= start) or i == 12:
                    self.assert_applies_nothing(damaged, (CAPTION, FAILED))

    def test_changed_since_packs_the_difference(self):
        old = os.path.join(self.tmp, "old")
        self.make_tree(old, {"same.dat": b"same", "changed.dat": b"v1", "removed.dat": b"x"})
        src = os.path.join(self.studio, "src")
        files = {"same.dat": b"same", "changed.dat": b"v2", "added/new.dat": b"new"}
        self.make_tree(src, files)
        for name in ("x", "y"):  # two loops would make a naive listing grow exponentially
            os.symlink(".", os.path.join(src, name))
        victim, partial = (os.path.join(self.outside, "keep.txt"),
                           os.path.join(self.tmp, "update.bin.partial"))
        os.symlink(victim, partial)  # planted: neither followed nor removed
        self.updatepkg("build", src, "-o", partial[:-8], code=1)
        self.assertEqual((self.read(victim), os.readlink(partial)), (b"keep", victim))
        os.remove(partial)
        out = self.build("--changed-since", old, "--keep-removed")
        _, entries = pt.parse_package(self.read(out))
        self.assertEqual([e.name for e in entries], [".\\added\\new.dat", ".\\changed.dat"])
        summary, err = self.updatepkg("build", src, "-o", out, "--changed-since", old,
                                      "--progress", "--json")
        summary = json.loads(summary)
        self.assertEqual((summary["gone"], summary["entries"], summary["bytes"]),
                         ([".\\removed.dat"], {"file": 2, "delta": 0, "deltas": 0, "remove": 1}, 5))
        self.assertIn("progress: 100%", err)  # a line per 5 % in a log
        self.assertEqual(os.stat(out).st_mode & 0o777, os.stat(UPDATER).st_mode & 0o777
                         if self.tool == UPDATEPKG else os.stat(out).st_mode & 0o777)
        _, err = self.updatepkg("build", src, "-o", out + "2", "--changed-since", src, "--quiet")
        self.assertIn("carries no files", err)
        self.assertNotIn("progress", err)
        self.updatepkg("build", src, "-o", out + "3", "--changed-since", src, "--fail-if-empty",
                       code=1)
        self.updatepkg("extract", out, os.path.join("..", "dest"), cwd=self.studio)
        self.assertEqual(self.read(os.path.join(self.tmp, "dest", "changed.dat")), b"v2")

    def test_a_release_series_applies_in_order_and_a_second_run_changes_nothing(self):
        releases = release_series(seed=23)[:3]
        roots = [os.path.join(self.tmp, f"r{i + 1}") for i in range(3)]
        for root, files in zip(roots, releases):
            self.make_tree(root, files)
        for mode, labels in (("--delta-from", ["(2.0)", "(3.0)"]), ("--changed-since", [None, ""])):
            updates = []
            for i, label in enumerate(labels):
                out = os.path.join(self.tmp, f"{mode[2:]}-{i + 2}.exe")
                extra = [] if label is None else ["--version-label", label]
                said, warned = self.updatepkg("build", roots[i + 1], "-o", out, mode, roots[i],
                                              *extra)
                updates.append(out)
                if self.tool == UPDATEPKG:  # a Linux program in an .exe
                    self.assertIn(f"warning: {out} is named .exe but carries no Windows", warned)
                if mode == "--delta-from" and i == 0:  # patches, moves among them, removals
                    self.assertRegex(said, r"^\S+: \d+ whole files? \(\d+ bytes\), \d+ patches "
                                           r"\(\d+ bytes; \d+ moves?\), \d+ removals; carries a ")
            self.install_release(roots[0])
            for update, release, label, root in zip(updates, releases[1:], labels, roots[1:]):
                question, _, completed = versioned(LABEL if label is None else label)
                with self.subTest(mode=mode, label=label):
                    self.assertEqual(self.apply(update), [(CAPTION, question), (CAPTION, completed)])
                    self.assert_game_holds(release)
                    listed = json.loads(self.updatepkg("list", update, "--json")[0])["entries"]
                    for name in [e["name"][2:] for e in listed if e["kind"] != "remove"]:
                        self.assertEqual(*(os.stat(os.path.join(folder, *name.split("\\")))
                                           .st_mtime_ns // 100 for folder in (self.game, root)))
                    files = self.game_files()
                    # Again: every file is current (whole ones told by their SHA-256), and
                    # plan says so.
                    self.assertEqual({e["action"] for e in self.plan(update)["entries"]},
                                     {"current"})
                    self.assertEqual(self.apply(update)[-1], (CAPTION, completed))
                    self.assertEqual(self.game_files(), files)
                    if self.runner.log is not None:
                        self.assertRegex(self.runner.log,
                                         r" 0 written, 0 removed, [1-9]\d* already current")
            if mode == "--delta-from":
                one = os.path.join(self.tmp, "one-thread.exe")  # the same bytes on any cores
                self.updatepkg("build", roots[1], "-o", one, mode, roots[0], "--threads", "1",
                               "--version-label", "(2.0)")
                self.assertEqual(self.read(one), self.read(updates[0]))
                # Deflated too: each patch, its streams read by liblzma or zlib,
                # makes its file (the LZMA build's differences copy only long
                # runs of equal bytes, the deflated build's runs of 256).
                self.updatepkg("build", roots[1], "-o", one, mode, roots[0], "--compression",
                               "deflate", "--version-label", "(2.0)")
                path = lambda root, name: os.path.join(root, *name[2:].split("\\"))
                for data, tag, copy_run in ((self.read(updates[0]), b"dblk", 64 << 10),
                                            (self.read(one), b"dstr", 256)):
                    patches = [e for e in pt.parse_package(data)[1] if e.kind == "delta"]
                    self.assertEqual({data[e.offset:e.offset + 4] for e in patches}, {tag})
                    # Compactly a patch says its old name's removal (handed on last).
                    said = {e.name for e in pt.parse_package(data)[1]
                            if e.kind == "remove" and e.offset == len(data) - 8}
                    self.assertEqual(said, {".\\data\\asset.bin", ".\\data\\level.dat"}
                                     if tag == b"dblk" else set())
                    copies = [length for e in patches for kind, length, _ in pt.delta_ops(
                        e.content[0]) if kind == pt.COPY]
                    self.assertGreaterEqual(min(copies, default=copy_run), copy_run, tag)
                    for e in patches:
                        self.assertEqual(pt.apply_delta(self.read(path(roots[0], e.old_name)),
                                                        e.content),
                                         self.read(path(roots[1], e.name)), e.name)
                listed = json.loads(self.updatepkg("list", updates[0], "--json")[0])
                self.assertEqual(listed["label"], "(2.0)")
                verdict = json.loads(self.updatepkg("verify", updates[0], "--json")[0])
                self.assertEqual(verdict["label"], "(2.0)")
                kinds = {e["name"]: (e["kind"], e.get("old_name")) for e in listed["entries"]}
                for program in (".\\bin\\engine", ".\\bin\\module.o"):
                    self.assertEqual(kinds[program], ("delta", None))
                self.assertEqual(kinds[".\\assets\\asset.bin"], ("delta", ".\\data\\asset.bin"))
                part = next(e for e in listed["entries"] if e["name"] == ".\\data\\part.pak")
                self.assertEqual((part["old_name"], part["packed_size"] < 20_000),
                                 (".\\data\\main.pak", True))  # read before it is replaced
                self.assertEqual(kinds[".\\old\\deep\\b.txt"], ("remove", None))
                pak = next(e for e in listed["entries"] if e["name"] == ".\\data\\main.pak")
                self.assertLess(pak["packed_size"], 30_000)  # the edits, not 400 KB
                # The first update is stale over R3: nothing changes.
                self.assert_applies_nothing(updates[0], (CAPTION, versioned("(2.0)")[1]),
                                            cause="not the version the patch was made from")
                if self.tool != UPDATEPKG:  # the Windows tool writes the Linux tool's bytes
                    native = os.path.join(self.tmp, "native.bin")
                    subprocess.run([UPDATEPKG, "build", roots[1], "-o", native, "--stub", UPDATER,
                                    mode, roots[0], "--version-label", "(2.0)"], check=True,
                                   capture_output=True)
                    self.assertEqual(*(package_summary(self.read(p)) for p in (native, updates[0])))
        # A file of the player's in a folder that becomes a file: plan names
        # it, and the update changes nothing.
        self.install_release(roots[0])
        self.write(os.path.join(self.game, "sounds", "deep", "mine.txt"), b"mine")
        stale = os.path.join(self.tmp, "delta-from-2.exe")
        failed = [e["name"] for e in self.plan(stale, code=1)["entries"] if e["action"] == "fail"]
        self.assertEqual(failed, [".\\sounds\\deep\\mine.txt"])
        self.assert_applies_nothing(stale, (CAPTION, versioned("(2.0)")[1]),
                                    cause="not the update's, in a folder it replaces with a file")
        # Over a changed R1 the delta update fails, and extract says why: the
        # old file a move reads, beside the file it was read for.
        self.install_release(roots[0])
        with open(os.path.join(self.game, "data", "asset.bin"), "r+b") as f:
            f.seek(12345)
            f.write(b"\0" if f.read(1) != b"\0" else b"\1")
        self.assert_applies_nothing(stale, (CAPTION, versioned("(2.0)")[1]))
        _, err = self.updatepkg("extract", stale, self.game, code=1)
        self.assertRegex(err, r"not the version the patch was made from: \S*data.asset\.bin "
                              r"\(read for \S*assets.asset\.bin\)")

    def test_a_cumulative_update_brings_each_release_it_lists_to_the_new_one(self):
        releases = release_series(seed=29)
        roots = [os.path.join(self.tmp, f"r{i + 1}") for i in range(4)]
        for root, files in zip(roots, releases):
            self.make_tree(root, files)
        bases = [f"--delta-from={root}={i + 1}.0" for i, root in enumerate(roots[:3])]
        update = os.path.join(self.tmp, "cumulative.exe")
        out, err = self.updatepkg("build", roots[3], "-o", update, *bases, "--progress", "--json")
        listed = json.loads(self.updatepkg("list", update, "--json")[0])["entries"]
        kinds = [e["kind"] for e in listed]  # the summary counts kinds as list names them
        self.assertEqual(json.loads(out)["entries"],
                         {k: kinds.count(k) for k in ("file", "delta", "deltas", "remove")})
        self.assertIn("deltas", kinds)
        done = [(float(d), float(t)) for d, t in re.findall(r"progress: \d+% \(([.\d]+)/([.\d]+)", err)]
        self.assertEqual(done, sorted(done))  # counted once, as encoded
        self.assertEqual(done[-1][0], done[-1][1])
        on_wine = self.tool != UPDATEPKG
        if not on_wine:  # no larger than the updates from each release it replaces
            payload = lambda path: os.path.getsize(path) - os.path.getsize(UPDATER)
            singles = []
            for i in range(3):
                singles.append(os.path.join(self.tmp, f"single-{i}.bin"))
                self.updatepkg("build", roots[3], "-o", singles[-1], "--delta-from", roots[i])
            self.assertLessEqual(payload(update), sum(map(payload, singles)))
        for i in (0, 2) if on_wine else (0, 1, 2):
            with self.subTest(release=i + 1):
                self.install_release(roots[i])
                plan = self.plan(update)
                self.assertEqual(self.apply(update)[-1], (CAPTION, COMPLETED))
                self.assert_game_holds(releases[3])
                self.assert_plan_agrees(plan, f"; from {i + 1}.0")
                again = self.plan(update)["totals"]  # patched and removed: as it leaves them
                self.assertEqual([again[a] for a in ("add", "patch", "whole", "remove")], [0] * 4)
                files = self.game_files()
                self.assertEqual(self.apply(update)[-1], (CAPTION, COMPLETED))  # again
                self.assertEqual(self.game_files(), files)
        # A file the player changed is none of the versions: nothing changes,
        # and the plan, the debug line and extract name it.
        self.install_release(roots[1])
        with open(os.path.join(self.game, "levels", "level.dat"), "ab") as f:
            f.write(b"edited")
        cause = "none of the versions the update patches"
        plan = self.plan(update, code=1)
        failed = [e for e in plan["entries"] if e["action"] == "fail"]
        self.assertEqual([e["name"] for e in failed], [".\\levels\\level.dat"])
        self.assertIn(cause, failed[0]["detail"])
        self.assert_applies_nothing(update, (CAPTION, FAILED), cause=cause + ": ")
        if not on_wine:
            self.assertRegex(self.runner.log, cause + r": \S*levels.level\.dat \(2 versions known\)")
            self.assertIn(cause, self.updatepkg("extract", update, self.game, code=1)[1])
        # With the whole files beside the patches, the same update repairs it.
        self.updatepkg("build", roots[3], "-o", update, *bases, "--whole-fallback")
        self.assertIn(b"alzw", self.read(update))  # the whole files coded with LZMA too
        plan = self.plan(update)
        self.assertEqual(self.apply(update)[-1], (CAPTION, COMPLETED))
        self.assert_game_holds(releases[3])
        self.assert_plan_agrees(plan, "; files matched: 1.0 ")
        os.makedirs(os.path.join(self.game, ".update-staging"), 0o700)  # cut off while staging
        self.assertIn("an install was cut off", self.updatepkg("plan", update, self.game)[1])

    def test_plan_sees_the_folder_as_the_install_will_meet_it(self):
        """A recovery pending: the folder as the recovery leaves it. Natively
        as root: the rights of another user. (Wine gives neither journal
        identities a test can write nor access lists.)"""
        if self.tool != UPDATEPKG:
            self.skipTest("natively only")
        help_files = {f"help/{i}.txt": os.urandom(3000) for i in range(3)}
        old, new = os.path.join(self.tmp, "old"), os.path.join(self.tmp, "new")
        self.make_tree(old, {**help_files, "old/gone.dat": b"gone", "old/edited.dat": b"v1"})
        self.make_tree(new, {n.replace("help", "docs"): d for n, d in help_files.items()})
        update = os.path.join(self.tmp, "moved.exe")
        self.updatepkg("build", new, "-o", update, "--delta-from", old)
        # An install cut off after its removals: each old file as N.old in
        # staging, which its journal lists.
        self.install_release(old)
        self.write(os.path.join(self.game, "old", "edited.dat"), b"the player's")  # kept
        staging = os.path.join(self.game, ".update-staging")
        os.mkdir(staging, 0o700)
        journal = b""
        for i, name in enumerate([*help_files, "old/gone.dat"]):
            st = os.stat(os.path.join(self.game, name))
            os.rename(os.path.join(self.game, name), os.path.join(staging, f"{i}.old"))
            units = (".\\" + name.replace("/", "\\")).encode("utf-16-le")
            journal += (b"file\x03" + struct.pack("<4Q", 0, 0, st.st_dev, st.st_ino) +
                        struct.pack("<H", len(units) // 2) + units)
        self.write(os.path.join(staging, "journal"), journal + b"done")
        plan = self.plan(update)
        self.assertEqual(sorted(e["action"] for e in plan["entries"]),
                         ["keep"] + ["patch"] * 3 + ["remove"] * 4)
        self.assertEqual(self.apply(update)[-1], (CAPTION, COMPLETED))
        self.assertIn("update completed: 3 written, 4 removed, 0 already current", self.runner.log)
        self.assert_game_holds({**{n.replace("help", "docs"): d for n, d in help_files.items()},
                                "old/edited.dat": b"the player's"})
        # The same journal cut short beside a backup is one the updater
        # refuses: plan says so, and foresees nothing from what it lists.
        os.mkdir(staging, 0o700)
        os.mkdir(os.path.join(self.game, "help"))  # so that the removals look at their files
        self.write(os.path.join(staging, "0.old"), help_files["help/0.txt"])
        self.write(os.path.join(staging, "journal"), journal)
        plan = self.plan(update, code=1)
        self.assertEqual([e["action"] for e in plan["entries"] if "help" in e["name"]],
                         ["current"] * 3)
        self.assertEqual(plan["entries"][0]["name"], ".update-staging")
        shutil.rmtree(staging)
        os.rmdir(os.path.join(self.game, "help"))
        if os.geteuid() != 0:
            return
        # A folder the player may not change: the removal from it fails,
        # in the plan as in the install, and nothing changes.
        self.install_release(old)
        for folder, dirs, names in os.walk(self.tmp):
            for path in [folder] + [os.path.join(folder, n) for n in dirs + names]:
                os.chown(path, 65534, 65534)
        os.chmod(self.tmp, 0o755)
        os.chmod(os.path.join(self.game, "old"), 0o555)
        as_nobody = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
        planned = subprocess.run(as_nobody + [UPDATEPKG, "plan", update, self.game, "--json"],
                                 capture_output=True, timeout=60)
        self.assertEqual(planned.returncode, 1, planned.stderr)
        failed = [e for e in json.loads(planned.stdout)["entries"] if e["action"] == "fail"]
        self.assertEqual([e["name"] for e in failed], [".\\old\\edited.dat", ".\\old\\gone.dat"])
        before = self.game_files()
        installed = subprocess.run(as_nobody + [update], cwd=self.game, input=b"y\n",
                                   capture_output=True, timeout=60)
        self.assertNotEqual(installed.returncode, 0)
        for said in (failed[0]["detail"], installed.stderr.decode()):
            self.assertRegex(said, r"cannot remove: \S*old.\w+\.dat: Permission denied")
        self.assertEqual(self.game_files(), before)

    def unchanged_by(self, *args, code=0):
        """Runs updatepkg with `args` and checks that every stat field of
        every file and folder of the game stays as it was: its files' access
        times set before the modification times first, which a read would
        move (relatime). Under Wine the access time is put back by setting
        it, which moves the change time there."""
        for folder, _, names in os.walk(self.game):
            for name in names:
                path = os.path.join(folder, name)
                if not os.path.islink(path):
                    os.utime(path, ns=(10**9, os.stat(path).st_mtime_ns))

        def stats():
            return {os.path.join(f, n): tuple(getattr(os.lstat(os.path.join(f, n)), field)
                                              for field in STAT_FIELDS[:None if ctime else -1])
                    for f, dirs, names in os.walk(self.game) for n in dirs + names}
        ctime = self.tool == UPDATEPKG
        before = stats()
        result = self.updatepkg(*args, code=code)
        self.assertEqual(stats(), before)
        return result

    def plan(self, update, code=0):
        """The plan of `update` over the game, which it leaves as it was; its
        text says what its JSON does."""
        plan = json.loads(self.unchanged_by("plan", update, self.game, "--json", code=code)[0])
        self.assertEqual(plan["applies"], code == 0)
        self.assertFalse(plan["matched"].startswith(";"), plan["matched"])
        t = plan["totals"]
        text = self.unchanged_by("plan", update, self.game, code=code)[0]
        self.assertIn(f"{t['add']} to add, {t['replace']} to replace, {t['patch']} to patch, "
                      f"{t['whole']} whole for a file of no version, {t['remove']} to remove, "
                      f"{t['keep']} kept, {t['current']} already current", text)
        return plan

    def plan_agrees(self, update, applies):
        """`plan` says the update would apply exactly where the install does,
        and changes nothing."""
        out, _ = self.unchanged_by("plan", update, self.game, code=0 if applies else 1)
        self.assertEqual("would apply" in out, applies)

    def assert_plan_agrees(self, plan, matched):
        """The install the debug line reports (natively) is the one `plan`
        foretold, and matched the releases it says."""
        if self.runner.log is None:
            return
        totals = plan["totals"]
        written = sum(totals[a] for a in ("add", "replace", "patch", "whole"))
        self.assertIn(f"update completed: {written} written, {totals['remove']} removed, "
                      f"{totals['current']} already current", self.runner.log)
        self.assertIn(matched, self.runner.log)
        self.assertTrue(plan["matched"] and plan["matched"] in self.runner.log, plan["matched"])

    def game_files(self):
        """Each file's bytes and last-write time (Wine keeps no modes)."""
        return {n: f[:2] for n, f in snapshot(self.game).items() if f[0] is not None}

    def install_release(self, root):
        shutil.rmtree(self.game)
        shutil.copytree(root, self.game)
        self.write(os.path.join(self.game, "tavro.exe"), b"engine")

    def assert_game_holds(self, release):
        """The game folder holds exactly `release` and the engine: no file or
        folder the release lacks."""
        found, folders = {}, set()
        for folder, dirs, names in os.walk(self.game):
            rel = os.path.relpath(folder, self.game)
            folders.update(os.path.normpath(os.path.join(rel, d)) for d in dirs)
            for n in names:
                found[os.path.normpath(os.path.join(rel, n))] = self.read(os.path.join(folder, n))
        expected = dict(release, **{"tavro.exe": b"engine"})
        self.assertEqual(found, {os.path.normpath(n): d for n, d in expected.items()})
        self.assertEqual(folders, {os.path.dirname(os.path.normpath(n)) for n in expected} - {""})

    def test_whole_fallback_drops_patches_no_smaller_than_the_whole_file(self):
        rng = random.Random(58)
        text = b"".join(b"line %d of the notes\n" % i for i in range(5000))
        words = [bytes(rng.choice(b"etaoinshrdlu") for _ in range(rng.randint(2, 9)))
                 for _ in range(2000)]
        prose = lambda: b" ".join(rng.choice(words) for _ in range(50_000))
        new = {"noise.bin": rng.randbytes(50_000), "mixed.bin": rng.randbytes(50_000), "a.txt": text,
               "words.txt": prose()}
        # noise.bin is random in every release; mixed.bin only in the first;
        # words.txt is empty (no patch), then other words (a patch larger
        # than the whole file).
        releases = [{"noise.bin": rng.randbytes(50_000), "mixed.bin": rng.randbytes(50_000),
                     "a.txt": text.replace(b"of", b"in", 9), "words.txt": b""},
                    {"noise.bin": rng.randbytes(50_000), "mixed.bin": new["mixed.bin"][:-9],
                     "a.txt": text.replace(b"of", b"on", 9), "words.txt": prose()}, new]
        roots = [os.path.join(self.tmp, f"w{i}") for i in range(3)]
        for root, files in zip(roots, releases):
            self.make_tree(root, files)
        update = os.path.join(self.tmp, "fallback.exe")
        listed = lambda *extra: {e["name"]: (e["kind"], e["packed_size"]) for e in json.loads(
            self.updatepkg("build", roots[2], "-o", update, "--quiet", *extra) and
            self.updatepkg("list", update, "--json")[0])["entries"]}
        # A file that goes whole is coded as a build without old releases codes it.
        whole = listed()[".\\words.txt"][1]
        kind, size = listed(f"--delta-from={roots[1]}")[".\\words.txt"]
        self.assertEqual(kind, "file")
        self.assertLess(size, whole * 1.01)
        kinds = listed(f"--delta-from={roots[0]}=1", f"--delta-from={roots[1]}=2",
                       "--whole-fallback")
        self.assertEqual({name: kind for name, (kind, _) in kinds.items()},
                         {".\\noise.bin": "file", ".\\mixed.bin": "deltas", ".\\a.txt": "deltas",
                          ".\\words.txt": "file"})
        self.assertLess(kinds[".\\words.txt"][1], whole * 1.01)
        for root, mixed in zip(roots[:2], ("whole", "patch")):
            self.install_release(root)
            actions = {e["name"]: e["action"] for e in self.plan(update)["entries"]}
            self.assertEqual(actions[".\\mixed.bin"], mixed)
            self.assertEqual(self.apply(update)[-1], (CAPTION, COMPLETED))
            self.assert_game_holds(new)

    def test_literals_coded_after_the_old_file(self):
        # New bytes made of 8-byte pieces of the old file: too short for the
        # delta's matches, not for LZMA's once its window holds the old file.
        rng = random.Random(7)
        releases = [{}, {}]
        for name, count in (("bin/game.dll", 1000), ("bin/game2.dll", 3000)):
            old = rng.randbytes(300_000)
            starts = [rng.randrange(299_990) for _ in range(count)]
            pieces = b"".join(old[at:at + 8] for at in starts)
            releases[0][name], releases[1][name] = old, old[:100_000] + pieces + old[100_000:]
        text = b"".join(b"line %d of the notes\n" % i for i in range(2000))
        releases[0]["bin/a.txt"], releases[1]["bin/a.txt"] = text, text.replace(b"of", b"in")
        # Half of the names of a script renamed, each longer: the walk would
        # shift its alignment at every one; LZMA after the old file takes
        # the whole file as its literals. The old file has 17 MiB of other
        # bytes after the script: the literals' matches reach past the 16
        # MiB window of a delta's other streams.
        names = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 8)))
                 for _ in range(300)]
        script = [rng.choice(names) for _ in range(180_000)]  # a MiB renamed
        renamed = {name: name + b"_" + b"xyz"[:len(name) % 4] for name in names[:150]}
        releases[0]["bin/script.js"] = b" ".join(script) + rng.randbytes(17 << 20)
        releases[1]["bin/script.js"] = b" ".join(renamed.get(name, name) for name in script)
        roots = [os.path.join(self.tmp, side) for side in ("old", "new")]
        for root, files in zip(roots, releases):
            self.make_tree(root, files)
        exe = os.path.join(self.tmp, "after-old.exe")
        self.updatepkg("build", roots[1], "-o", exe, "--delta-from", roots[0])
        data = self.read(exe)
        # Out of the block the four patches would share, in its order (the
        # last file's record last): the text's patch alone.
        patches = pt.parse_package(data)[1]
        self.assertEqual([(e.name, data[e.offset:e.offset + 4]) for e in patches],
                         [(".\\bin\\a.txt", b"dlzm"), (".\\bin\\game.dll", b"dlzo"),
                          (".\\bin\\game2.dll", b"dlzo"), (".\\bin\\script.js", b"dlzo")])
        for e in patches[1:]:
            name = e.name[2:].replace("\\", "/")
            old, new = releases[0][name], releases[1][name]
            literals = pt.decode_lzma_stream(e.content[3], preset=old)  # liblzma's reading
            self.assertEqual(pt.apply_delta(old, e.content[:3] + [literals]), new)
            if name == "bin/script.js":  # one literal: the whole file
                self.assertEqual(e.content[:3], [pt.varint(len(new) << 2), b"", b""])
                self.assertLess(len(e.content[3]), len(new) // 4)
            else:
                self.assertLess(len(e.content[3]), (len(new) - len(old)) // 3)
        self.updatepkg("verify", exe)  # their literals only counted: the old files are not at hand
        # Over another old file (one byte changed) nothing changes, over the old one the new.
        self.install_release(roots[0])
        edited = releases[0]["bin/game.dll"][:-1] + b"!"
        self.write(os.path.join(self.game, "bin", "game.dll"), edited)
        self.assert_applies_nothing(exe, (CAPTION, FAILED),
                                    cause="not the version the patch was made from")
        self.install_release(roots[0])
        self.assertEqual([e["action"] for e in self.plan(exe)["entries"]], ["patch"] * 4)
        self.assertEqual(self.apply(exe)[-1], (CAPTION, COMPLETED))
        self.assert_game_holds(releases[1])

    def test_quieter_sounds_in_archives_are_patched_as_sample_differences(self):
        # Every 16-bit sample of a stored archive's sound changed: the literals
        # go as differences, in a patch's own stream and in a block's.
        rng, samples = random.Random(5), [0]
        for _ in range(150_000):  # a random walk, as sounds go
            samples.append(max(-30000, min(30000, samples[-1] + rng.randint(-600, 600))))
        sound = lambda gain: struct.pack(f"<{len(samples)}h", *(int(s * gain) for s in samples))
        heads = [rng.randbytes(5001), rng.randbytes(301)]
        for names, tag in ((["a.pk3"], b"dlzm"), (["a.pk3", "b.pk3"], b"dblk")):
            releases = [{name: head + sound(gain) for name, head in zip(names, heads)}
                        for gain in (1, 0.7)]
            roots = [os.path.join(self.tmp, tag.decode(), side) for side in ("old", "new")]
            for root, files in zip(roots, releases):
                self.make_tree(root, files)
            exe = os.path.join(self.tmp, tag.decode() + ".exe")
            self.updatepkg("build", roots[1], "-o", exe, "--delta-from", roots[0])
            data = self.read(exe)
            for patch in pt.parse_package(data)[1]:
                self.assertEqual(data[patch.offset:patch.offset + 4], tag)
                self.assertEqual([s == 0xFE for s in patch.settings], [False] * 3 + [True])
            self.install_release(roots[0])
            self.assertEqual(self.apply(exe)[-1], (CAPTION, COMPLETED))
            self.assert_game_holds(releases[1])

    def test_a_large_block_codes_the_same_bytes_anywhere(self):
        # 6 MiB of text: its block's match finder runs on threads of its own,
        # whatever --threads says, and codes the same bytes on any machine;
        # so does an archive's form, its streams checked on a thread of their
        # own, and of more members than a map names: the rest stay deflated.
        rng = random.Random(3)
        words = [rng.randbytes(rng.randrange(2, 9)).hex().encode() for _ in range(3000)]
        text = b" ".join(rng.choice(words) for _ in range(700_000))[:6 << 20]
        many = io.BytesIO()
        with zipfile.ZipFile(many, "w", zipfile.ZIP_DEFLATED) as z:
            for i in range(65_540):
                z.writestr(f"{i}", text[i * 30:i * 30 + 30])
        files = {"a.txt": text[:4 << 20], "b.txt": text[4 << 20:], "c.pk3": many.getvalue()}
        root = os.path.join(self.tmp, "large")
        self.make_tree(root, files)
        updates = []
        for threads in ("1", "3"):
            updates.append(os.path.join(self.tmp, f"large{threads}.exe"))
            self.updatepkg("build", root, "-o", updates[-1], "--threads", threads)
        self.assertEqual(self.read(updates[0]), self.read(updates[1]))
        if self.tool != UPDATEPKG:  # and as the native tool codes it (the times Wine
            native = os.path.join(self.tmp, "native.exe")  # tells are not Linux's)
            subprocess.run([UPDATEPKG, "build", root, "-o", native, "--stub", self.runner.program,
                            "--quiet"], check=True)
            streams = [[e.stream for e in pt.parse_package(self.read(path))[1]]
                       for path in (native, updates[0])]
            self.assertEqual(*streams)
        archive = pt.parse_package(self.read(updates[0]))[1][2]
        self.assertEqual(len(pt.deflate_map_streams(b"\3" + archive.form)[0][1]), 65_536)
        os.makedirs(os.path.join(self.tmp, "empty"))
        self.install_release(os.path.join(self.tmp, "empty"))
        self.assertEqual(self.apply(updates[0])[-1], (CAPTION, COMPLETED))
        self.assert_game_holds(files)

    def test_moved_references_are_predicted(self):
        # An x86-64 program: 16-byte slots of calls, conditional jumps and
        # RIP-relative loads to random targets, then 8-byte pointers; the next
        # release has 1,004 bytes of code inserted at 200,000, which moves
        # every target past it.
        rng = random.Random(11)
        code, data, at, inserted = 400_000, 100_000, 200_000, 1004
        targets = [rng.randrange(65536, code + data) for _ in range(code // 16 + data // 8)]
        # Its displacement runs on into the updater's second piece of 256 KiB,
        # and changes there too.
        targets[16321] = 196_106
        heads = (b"\xe8", b"\x0f\x84", b"\x48\x8d\x05", b"")
        fillers = [bytes(rng.randrange(0x40, 0x50) for _ in range(16)) for _ in range(64)]

        def release(base, moved):
            def new(position):
                return position + (moved if position >= at else 0)
            out = bytearray()
            for i, target in enumerate(targets[:code // 16]):
                head = heads[i % 4]
                slot = head + (struct.pack("<i", new(target) - new(16 * i + len(head) + 4))
                               if head else b"")
                out += slot + fillers[i % 64][len(slot):]
            for target in targets[code // 16:]:
                out += struct.pack("<Q", base + new(target))
            return bytes(out[:at] + rng.randbytes(moved) + out[at:])

        for base in (0, 0x140000000):
            with self.subTest(base=hex(base)):
                old, new = release(base, 0), release(base, inserted)
                roots = [os.path.join(self.tmp, side + hex(base)) for side in ("old", "new")]
                for root, content in zip(roots, (old, new)):
                    self.make_tree(root, {"game.exe": content})
                exe = os.path.join(self.tmp, f"references{base}.exe")
                self.updatepkg("build", roots[1], "-o", exe, "--delta-from", roots[0])
                data_ = self.read(exe)
                (patch,) = pt.parse_package(data_)[1]
                self.assertEqual(data_[patch.offset:patch.offset + 4], b"dlzm")
                kind, prediction, _ = pt.delta_ops(patch.content[0])[0]
                self.assertEqual((kind, prediction & 7, prediction >> 3 << 12),
                                 (pt.REFERENCES, 7, base))
                # 37,500 references moved; all of them predicted.
                self.assertEqual(patch.content[2], b"")
                self.assertEqual(pt.apply_delta(old, patch.content), new)
                self.install_release(roots[0])
                self.assertEqual(self.apply(exe)[-1], (CAPTION, COMPLETED))
                self.assert_game_holds({"game.exe": new})

    def test_archives_and_images_are_patched_through_their_deflate_streams(self):
        rng = random.Random(57)
        words = [rng.randbytes(rng.randrange(2, 6)).hex().encode() for _ in range(400)]
        members = {f"m{i:02d}.txt": b" ".join(rng.choice(words) for _ in range(rng.randrange(
            1000, 4000))) for i in range(40)}
        members["big.txt"] = b" ".join(rng.choice(words) for _ in range(60_000))  # deflated in pieces
        pcm = struct.pack("<20000h", *(int(2e4 * math.sin(i / 40)) + rng.randrange(-40, 40)
                                       for i in range(20000)))  # a sound: coded as differences
        members["hit.wav"] = b"RIFF" + struct.pack("<I4s4sIHHIIHH4sI", 36 + len(pcm), b"WAVE", b"fmt ",
                                                   16, 1, 1, 22050, 44100, 2, 16, b"data", len(pcm)) + pcm
        # Few matches, each long: Info-ZIP's zip ends its blocks early there.
        members["code.bin"] = b"".join(rng.randbytes(3) + members["big.txt"][i:i + 40]
                                       for i in range(0, 120_000, 40))
        edited = dict(members, **{n: members[n].replace(b" ", b"_", 3)
                                  for n in ("m03.txt", "m31.txt", "big.txt", "code.bin")})

        class Unseekable(io.RawIOBase):  # zipfile writes data descriptors to it
            def __init__(self):
                self.data = bytearray()

            def writable(self):
                return True

            def write(self, data):
                self.data += data
                return len(data)

        def archive(files, out=None, zip64=False):
            out = out or io.BytesIO()
            with zipfile.ZipFile(out, "w") as z:
                for name, data in files.items():
                    info = zipfile.ZipInfo(name, (2020, 1, 1, 0, 0, 0))
                    info.compress_type = zipfile.ZIP_STORED if name == "m05.txt" else zipfile.ZIP_DEFLATED
                    with z.open(info, "w", force_zip64=zip64) as member:
                        member.write(data)
            return bytes(out.getvalue() if isinstance(out, io.BytesIO) else out.data)

        def encrypted(data):  # flagged so: its streams are not looked into
            return data.replace(b"PK\3\4\x14\0\0\0", b"PK\3\4\x14\0\1\0")

        def damaged(data):  # the deflate stream of m01.txt, its middle overwritten
            at = data.index(b"m01.txt") + 7 + 300
            return data[:at] + bytes(40) + data[at + 40:]

        def nested(files, other):  # an archive's bytes stored by deflate in an archive
            out = Unseekable()
            with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
                z.writestr("inner.zip", archive(files), compresslevel=0)
                z.writestr("m31.txt", other)
                z.writestr("hit.wav", members["hit.wav"])
            return bytes(out.data)

        def png(pixels, flush_at=0):
            raw = b"".join(b"\0" + pixels[y * 384:(y + 1) * 384] for y in range(128))
            coder = zlib.compressobj(9, zlib.DEFLATED, 15, 9, zlib.Z_FILTERED)  # as libpng may
            data = coder.compress(raw[:flush_at]) + (coder.flush(zlib.Z_FULL_FLUSH) if flush_at
                                                      else b"") + coder.compress(raw[flush_at:])
            data += coder.flush()
            chunk = lambda kind, body: (struct.pack(">I", len(body)) + kind + body +
                                        struct.pack(">I", zlib.crc32(kind + body)))
            return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 128, 128, 8, 2, 0, 0, 0)) +
                    b"".join(chunk(b"IDAT", data[i:i + 4096]) for i in range(0, len(data), 4096)) +
                    chunk(b"IEND", b""))

        def infozip(files, level):  # as Info-ZIP's zip makes an archive
            folder = os.path.join(self.tmp, "zip", level + ("new" if files is edited else "old"))
            self.make_tree(folder, files)
            subprocess.run(["zip", "-q", "-X", level, "-r", "../a.zip", "."], cwd=folder, check=True)
            return self.read(os.path.join(folder, "..", "a.zip"))

        pixels = bytes((x * y // 7 + rng.randrange(3)) & 0xFF for y in range(128) for x in range(384))
        touched = pixels[:5000] + b"\xff" * 300 + pixels[5300:]
        smooth = bytes(((x // 24) * 17 + (y // 16) * 5 + ((x * x + y * 31) % 13 == 0)) & 0xFF
                       for y in range(128) for x in range(384))  # deflates 8 times
        text = b"".join(members.values())[:30000]
        small = members["m03.txt"][:2000]
        flat = {f"z{i}.bin": bytes(40000) for i in range(5)}  # each inflates 600 times: kept
        blob = lambda data: b"BLOB" + struct.pack("<I", len(data)) + zlib.compress(data, 9) + b"END"
        # name: (old, new, patched inflated: its streams made by zlib, or by zip)
        table = {"pak/a.pk3": (archive(members), archive(edited), True),
                 "pak/zip9.pk3": (infozip(members, "-9"), infozip(edited, "-9"), "zip"),
                 "pak/zip6.pk3": (infozip(members, "-6"), infozip(edited, "-6"), "zip"),
                 "pak/descriptors.pk3": (archive(members, Unseekable()),
                                         archive(edited, Unseekable()), True),
                 "pak/zip64.zip": (archive(members, zip64=True), archive(edited, zip64=True), True),
                 "pak/flat.pk3": (archive({**flat, **members}), archive({**flat, **edited}), True),
                 "pak/encrypted.zip": (encrypted(archive(members)), encrypted(archive(edited)), False),
                 "pak/damaged.zip": (damaged(archive(members)), damaged(archive(edited)), True),
                 # An old member held only inside a stream of the new file: inflated all the same.
                 "pak/nested.zip": (archive({"m03.txt": small, "m31.txt": members["m31.txt"],
                                             "hit.wav": members["hit.wav"]}),
                                    nested({"m03.txt": small}, edited["m31.txt"]), True),
                 "img/sprite.png": (png(pixels), png(touched), True),
                 "img/flushed.png": (png(pixels, 6000), png(touched, 6000), False),
                 "img/smooth.png": (png(smooth), png(smooth[:900] + smooth[910:] + b"x" * 10), True),
                 "img/flat.png": (png(bytes(49152)),) * 2 + (False,),  # inflates 500 times: kept
                 "data/blob.bin": (blob(text), blob(text.replace(b" ", b"-", 5)), True)}
        roots = [os.path.join(self.tmp, side) for side in ("old", "new")]
        for side, root in enumerate(roots):
            self.make_tree(root, {name: row[side] for name, row in table.items()})
        exe = os.path.join(self.tmp, "inflated.exe")
        self.updatepkg("build", roots[1], "-o", exe, "--delta-from", roots[0])
        packed = {e["name"][2:].replace("\\", "/"): e["packed_size"]
                  for e in json.loads(self.updatepkg("list", exe, "--json")[0])["entries"]}
        # The same change as patches of the streams' bytes: a thousand and 18 times the size.
        for name in ("pak/a.pk3", "pak/zip9.pk3", "pak/zip6.pk3"):
            self.assertLess(packed[name] * 50, packed["pak/encrypted.zip"])
        self.assertLess(packed["img/sprite.png"] * 10, packed["img/flushed.png"])
        for e in pt.parse_package(self.read(exe))[1]:
            name = e.name[2:].replace("\\", "/")
            with self.subTest(name):
                old, new, inflated = table[name]
                self.assertEqual(e.content[0][:1] == b"\3", bool(inflated))
                if inflated != "zip":  # what Python's zlib deflates too
                    self.assertEqual(pt.apply_delta(old, e.content), new)
        updates = [exe]
        if self.tool != UPDATEPKG:  # the streams a Linux build made deflate again under Wine
            updates.append(os.path.join(self.tmp, "native.exe"))
            subprocess.run([UPDATEPKG, "build", roots[1], "-o", updates[1], "--delta-from",
                            roots[0], "--stub", self.runner.program, "--quiet"], check=True)
        for update in updates:
            self.install_release(roots[0])
            self.assertEqual({e["action"] for e in self.plan(update)["entries"]}, {"patch"})
            self.assertEqual(self.apply(update)[-1], (CAPTION, COMPLETED))
            self.assert_game_holds({name: row[1] for name, row in table.items()})
        # Whole, for a new player: an archive's or a PNG's streams that zlib or
        # zip made are coded inflated (checked against Python's zlib where it
        # deflates so), and deflated again as they are installed.
        # A stream that grows past 4 times stays deflated but at `max` (16
        # times), where an archive's sound is coded as sample differences.
        whole = os.path.join(self.tmp, "whole.exe")
        for level, smooth in (("normal", {"img/smooth.png"}), ("max", set())):  # max installed
            self.updatepkg("build", roots[1], "-o", whole, "--level", level)
            coded = {e.name[2:].replace("\\", "/"): e for e in pt.parse_package(self.read(whole))[1]}
            self.assertEqual({name for name, e in coded.items() if e.branches == 4},
                             {name for name, row in table.items() if row[2]} - {"data/blob.bin"}
                             - smooth, level)
            sampled = {n: [s[6] for s in pt.deflate_map_streams(b"\3" + e.form)[0][1] if s[6]]
                       for n, e in coded.items() if e.branches == 4 and n.startswith("pak/")}
            self.assertEqual(sampled, dict.fromkeys(sampled, [0x10] * (level == "max")), level)
        for folder in ("pak", "img", "data"):
            shutil.rmtree(os.path.join(self.game, folder))
        self.assertEqual(self.apply(whole)[-1], (CAPTION, COMPLETED))
        self.assert_game_holds({name: row[1] for name, row in table.items()})
        # A 2.5 MB archive of one text repeated, 26 KB whole and a little more as
        # a patch from an unrelated one: what its first 2 MiB code to does not
        # count the whole file out (it does only past the patch's size).
        repeated = {f"t{i:02d}.txt": members["big.txt"][:97000] for i in range(90)}
        for side, files in enumerate(({"a": rng.randbytes(3000)}, repeated)):
            self.make_tree(os.path.join(self.tmp, "repeated", str(side)), {"big.pk3": archive(files)})
        self.updatepkg("build", os.path.join(self.tmp, "repeated", "1"), "-o", whole, "--delta-from",
                       os.path.join(self.tmp, "repeated", "0"))
        self.assertEqual([e["kind"] for e in json.loads(self.updatepkg("list", whole, "--json")[0])[
            "entries"]], ["file"])

    def test_hostile_delta_streams_change_nothing(self):
        old = b"0123456789" * 1000
        self.write(os.path.join(self.game, "old.dat"), old)
        # A copy, a difference of ones and a literal.
        new = old[5000:8000] + bytes((b + 1) & 0xFF for b in old[:100]) + b"tail"
        ops = [pt.delta_op(pt.COPY, 3000, 5000), pt.delta_op(pt.DIFFERENCE, 100, -8000),
               pt.delta_op(pt.LITERAL, 4)]
        sound = (ops, bytes([1]) * 100, b"tail")
        cases = {"copy past the old file's end": ([pt.delta_op(pt.COPY, 3000, 7001)] + ops[1:],
                                                  *sound[1:], new, 1),
                 "a literal stream with a byte too many": (ops, sound[1], b"tails", new, 1),
                 "differences one short (zeros, as past the last value)":
                     (ops, bytes([1]) * 99, b"tail", new, 0),
                 "wrong result hash": (*sound, new[:-1] + b"!", 0)}
        # In inflated form: the old file's first 100 bytes as a stream, or
        # the literal "tail" deflated again (level 6, window 15) into `tail`.
        coder = zlib.compressobj(6, zlib.DEFLATED, -15)
        tail = coder.compress(b"tail") + coder.flush()
        inflated = lambda olds, news=(): [pt.deflate_map(olds, news)] + ops
        cases.update({
            "an old stream that does not inflate": (
                inflated([(0, 100, 100, pt.RAW_DEFLATE)]), *sound[1:], new, 0),
            "an old stream past 64 MiB inflated": (
                inflated([(0, 100, (64 << 20) + 1, pt.RAW_DEFLATE)]), *sound[1:], new, 1),
            "a new stream that deflates to more bytes than its map says": (
                inflated([], [(3100, len(tail) - 1, 4, pt.RAW_DEFLATE, 902)]), *sound[1:],
                new[:-4] + tail[:-1], 0),
            "a new stream that deflates to other bytes": (
                inflated([], [(3100, len(tail), 4, pt.RAW_DEFLATE, 902)]), *sound[1:],
                new[:-4] + tail[:-1] + bytes([tail[-1] ^ 1]), 0),
            "a new stream of sample differences in no form": (
                inflated([], [(3100, len(tail), 4, pt.RAW_DEFLATE, 902 | pt.SAMPLED, 0)]),
                *sound[1:], new[:-4] + tail, 1),
            "sound": (*sound, new, 0)})
        for what, (ops, differences, literals, made, verify_code) in cases.items():
            with self.subTest(what):
                record = pt.encode_delta(".\\old.dat", old, made, ops, differences, literals)
                exe = self.update_exe(record + b"feof" + struct.pack("<I", len(record)))
                self.updatepkg("verify", exe, code=verify_code)
                self.plan_agrees(exe, what == "sound")
                if what != "sound":
                    self.assert_applies_nothing(exe, (CAPTION, FAILED))
        self.assertEqual(self.apply(exe)[-1], (CAPTION, COMPLETED))
        self.assertEqual(self.read(os.path.join(self.game, "old.dat")), new)
        # A move whose old file is still there and whose target already is the
        # new file: current, for plan as for the install.
        self.write(os.path.join(self.game, "old.dat"), old)
        self.write(os.path.join(self.game, "moved.dat"), new)
        record = pt.encode_delta(".\\moved.dat", old, new, *sound, old_name=".\\old.dat")
        exe = self.update_exe(record + b"feof" + struct.pack("<I", len(record)))
        self.assertEqual([e["action"] for e in self.plan(exe)["entries"]], ["current"])
        # An update from several releases: the version installed, the whole
        # file where none is, and records that do not hold together.
        self.write(os.path.join(self.game, "old.dat"), old)
        streams = [zlib.compress(s) for s in (b"".join(ops), bytes(100), b"\1" * 100, b"tail")]
        gone = (".\\gone.dat", b"y" * len(old), 1, 0)
        bad_adler = zlib.compress(new)[:-1] + bytes([zlib.compress(new)[-1] ^ 0xFF])
        cases = {"the second version installed": ([gone, ("", old, 2, 0)], [streams], b"", 0, new),
                 "none installed, the whole file": ([gone], [streams], zlib.compress(new), 0, new),
                 "none installed, no whole file": ([gone], [streams], b"", 0, None),
                 "a patch number past the patches": ([("", old, 1, 1)], [streams], b"", 1, None),
                 "no versions": ([], [streams], b"", 1, None),
                 "a whole stream past the payload": ([gone], [streams], b"\0" * 9, 1, None),
                 "a whole stream that ends before its length":
                     ([gone], [streams], zlib.compress(new) + b"junk", 1, None),
                 # The install reads no stream it does not need: nor does plan.
                 "a flipped Adler-32 in the whole stream, a version installed":
                     ([("", old, 1, 0)], [streams], bad_adler, 1, new),
                 "a flipped Adler-32 in the whole stream, none installed":
                     ([gone], [streams], bad_adler, 1, None),
                 "33 versions": ([gone] * 32 + [("", old, 2, 0)], [streams], b"", 1, None)}
        # Patches coded with LZMA, and the whole file too ("alzw"), or a zlib
        # whole file as builds before wrote it ("alzm").
        lzma = [pt.lzma_stream(s) for s in (b"".join(ops), bytes(100), b"\1" * 100, b"tail")]
        cases.update({
            "alzw: none installed, the whole file": ([gone], [lzma], pt.lzma_stream(new), 0, new,
                                                     b"alzw"),
            "alzw: a whole stream cut short": ([gone], [lzma], pt.lzma_stream(new)[:-1], 1, None,
                                               b"alzw"),
            "alzw: a whole stream that ends before its length": (
                [gone], [lzma], pt.lzma_stream(new) + b"junk", 1, None, b"alzw"),
            "alzw: a whole stream of another size": (
                [gone], [lzma], pt.lzma_stream(new + b"x"), 1, None, b"alzw"),
            "alzm: none installed, a zlib whole file": ([gone], [lzma], zlib.compress(new), 0, new,
                                                        b"alzm")})
        for what, (versions, patches, whole, verify_code, made, *tag) in cases.items():
            with self.subTest(what):
                record = pt.encode_alts(".\\old.dat", new, versions, patches, whole,
                                        tag=tag[0] if tag else b"alts")
                if what == "a whole stream past the payload":
                    record = record[:-9]
                exe = self.update_exe(record + b"feof" + struct.pack("<I", len(record)))
                self.updatepkg("verify", exe, code=verify_code)
                self.plan_agrees(exe, made is not None)
                if made is None:
                    self.assert_applies_nothing(exe, (CAPTION, FAILED))
                    continue
                self.assertEqual(self.apply(exe)[-1], (CAPTION, COMPLETED))
                self.assertEqual(self.read(os.path.join(self.game, "old.dat")), made)
                self.write(os.path.join(self.game, "old.dat"), old)
        # One difference of 8 TiB of zeros is checked in one step; 2^60 bytes
        # no file system holds.
        for size, code in ((1 << 43, 0), (1 << 60, 1)):
            streams = [zlib.compress(s) for s in (pt.delta_op(pt.DIFFERENCE, size), b"", b"", b"")]
            sizes = (struct.pack("<Q", size) + bytes(32)) * 2  # old and new, any hashes
            record = (b"dstr" + pt.encode_name(".\\big.dat") + struct.pack("<QQQ", 1, 2, 3) +
                      pt.encode_name("") + sizes + struct.pack("<IIII", *map(len, streams)) +
                      b"".join(streams))
            exe = self.update_exe(record + b"feof" + struct.pack("<I", len(record)))
            self.updatepkg("verify", exe, code=code)

    def test_usage_errors_and_help(self):
        for args in ([], ["list"], ["build", "src"], ["frobnicate"], ["list", "a", "b"],
                     ["build", "src", "-o", "x", "--threads", "0"],
                     ["build", "src", "-o", "x", "--changed-since", "a", "--delta-from", "b"],
                     ["--quiet", "--progress", "list", "x"]):
            with self.subTest(args=args):
                said = self.updatepkg(*args, code=2)[1]
                if args == ["frobnicate"]:  # named, with the commands there are
                    self.assertIn("unknown command: frobnicate; the commands are help, build, "
                                  "list, verify, extract, plan", said)
        for sub in ("build", "list", "verify", "extract"):
            self.assertIn("Usage", self.updatepkg(sub, "--help")[0])
        help_text = self.updatepkg("help")[0]
        for word in ("Usage", "plan", "130, 143 build interrupted"):
            self.assertIn(word, help_text)
        self.assertIn("updatepkg 1.0.1.0 for Tessaran 体験版", self.updatepkg("--version")[0])
        # A path argument missing or of the wrong kind is named with its option.
        src, notes = os.path.join(self.studio, "src"), os.path.join(self.tmp, "notes.txt")
        self.make_tree(src, {"a.dat": b"a"})
        self.write(notes, b"release notes")
        update = self.build()
        missing = os.path.join(self.tmp, "missing")
        for args, code, said in (
                (["list", missing], 1, "UPDATE " + missing + ": "),
                (["verify", self.tmp], 1, "a folder, where a file is needed"),
                (["extract", update, notes], 1, "DIR " + notes + ": a file, where a folder"),
                (["build", missing, "-o", "u.bin"], 1, "SRC_DIR " + missing + ": "),
                (["build", src, "-o", "u.bin", "--delta-from", notes], 1, "--delta-from " + notes),
                (["build", src, "-o", os.path.join(missing, "u.bin")], 1, "its folder " + missing),
                (["build", src, "-o", self.tmp], 1, "a folder, where the update file goes"),
                (["build", src, "-o", "u.bin", "--stub", notes], 2, "not a program"),
                (["build", src, "-o", "u.bin", "--stub", update], 2, "an update already")):
            with self.subTest(args=args):
                self.assertIn(said, self.updatepkg(*args, code=code)[1])
        self.assertFalse(os.path.exists(os.path.join(self.tmp, "u.bin")))
        # A script reads a fault from JSON; an .exe with no Windows program is named.
        linux = self.update_exe(b"feof\0\0\0\0", name="linux.exe", program=UPDATER)
        verdict, err = self.updatepkg("verify", linux, "--json")
        self.assertEqual(json.loads(verdict)["program"], "Linux")
        self.assertIn("carries no Windows program", err)
        self.write(linux, b"x" * 100 + b"feof" + struct.pack("<I", 50))
        fault = json.loads(self.updatepkg("verify", linux, "--json", code=1)[0])["fault"]
        self.assertEqual((fault["entry"], fault["offset"]), (1, 50))

    def test_the_default_program_is_the_shipped_windows_one_or_a_usage_error(self):
        if self.tool != UPDATEPKG:
            self.skipTest("updatepkg.exe takes the updater.exe beside it")
        tool = os.path.join(self.tmp, "out", "native", "updatepkg")
        shipped = os.path.join(self.tmp, "out", "windows", "updater.exe")
        os.makedirs(os.path.dirname(tool))
        shutil.copy2(UPDATEPKG, tool)
        shutil.copy2(UPDATER, os.path.join(os.path.dirname(tool), "updater"))  # as out/native has
        src, out = os.path.join(self.studio, "src"), os.path.join(self.tmp, "u.exe")
        self.make_tree(src, {"a.dat": b"a"})
        run = subprocess.run([tool, "build", src, "-o", out], capture_output=True)
        self.assertEqual(run.returncode, 2)  # none there: a usage error that says what to do
        self.assertIn(b"--stub", run.stderr)
        self.assertFalse(os.path.exists(out))
        self.write(shipped, windows_gui_header())
        subprocess.run([tool, "build", src, "-o", out], check=True, capture_output=True)
        self.assertTrue(self.read(out).startswith(windows_gui_header()))

    def test_a_refused_name_says_the_rule_or_the_other_file(self):
        if self.tool != UPDATEPKG:
            self.skipTest("Linux names Wine cannot show")
        src = os.path.join(self.studio, "src")
        cases = {("CON.txt",): "(a reserved device name)", ("a:b",): "(a ':'",
                 ("dot.",): "(a trailing dot or space", ("Readme", "README"): "(a case twin of /",
                 ("lpt1",): "(a reserved device name)"}
        for names, reason in cases.items():
            with self.subTest(names):
                shutil.rmtree(src, ignore_errors=True)
                self.make_tree(src, {n: b"x" for n in names})
                _, err = self.updatepkg("build", src, "-o", os.path.join(self.tmp, "u.bin"), code=1)
                self.assertIn(reason, err)
                self.assertIn(src + "/", err)  # as Linux writes a path

    def test_an_output_that_would_overwrite_an_input_is_a_usage_error(self):
        src, old = os.path.join(self.studio, "src"), os.path.join(self.tmp, "old")
        self.make_tree(src, {"big.dat": b"asset", "sub/x.dat": b"x"})
        self.make_tree(old, {"big.dat": b"old asset"})
        stub = self.update_exe(name="stub.bin")
        self.write(os.path.join(self.outside, "shipped.bin"), b"linked in")
        os.symlink(os.path.join(self.outside, "shipped.bin"), os.path.join(src, "shipped.bin"))
        outputs = {"a source file": os.path.join(src, "big.dat"),
                   "a new file in the source": os.path.join(src, "sub", "new.bin"),
                   "a file of the old release": os.path.join(old, "big.dat"),
                   "the stub": stub, "a file a link of the source leads to":
                   os.path.join(self.outside, "shipped.bin")}
        for what, output in outputs.items():
            with self.subTest(what):
                before = snapshot(self.tmp)
                _, err = self.updatepkg("build", src, "-o", output, "--stub", stub,
                                        "--delta-from", old, code=2)
                self.assertIn("would overwrite an input", err)
                self.assertEqual(snapshot(self.tmp), before)

    def test_a_partial_output_in_the_way_is_named_and_an_interrupt_removes_its_own(self):
        src, out = os.path.join(self.studio, "src"), os.path.join(self.tmp, "ci.bin")
        self.make_tree(src, {"a.dat": b"a"})
        self.write(out + ".partial", b"someone else's")
        _, err = self.updatepkg("build", src, "-o", out, code=1)
        self.assertIn("ci.bin.partial is in the way", err)
        self.assertEqual(self.read(out + ".partial"), b"someone else's")
        os.remove(out + ".partial")
        self.make_tree(src, {f"big{i}.bin": os.urandom(8 << 20) for i in range(8)})
        command, env = self.runner.command(self.tool, "build", src, "-o", out, "--threads", "1",
                                           "--stub", self.runner.program, "--progress")
        build = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.PIPE)
        self.addCleanup(build.wait)
        self.addCleanup(build.kill)
        # A log gets each line as it is printed, not all of them at the end.
        first = build.stderr.readline()
        self.assertTrue(first.startswith(b"progress: ") and not os.path.exists(out), first)
        if self.tool != UPDATEPKG:
            self.assertEqual(build.wait(timeout=120), 0)
            return  # a console's Ctrl-C cannot be sent to a Wine program from here
        build.send_signal(signal.SIGINT)
        self.assertEqual(build.wait(timeout=60), 130)
        said = first + build.stderr.read()
        self.assertTrue(said.endswith(b"\nupdatepkg: interrupted; nothing written\n"), said)
        self.assertFalse(os.path.exists(out + ".partial") or os.path.exists(out))

    def test_signed_update_still_finds_its_package(self):
        if not shutil.which("osslsigncode") or not os.path.exists(UPDATER_EXE):
            self.skipTest("needs osslsigncode and out/windows/updater.exe")
        self.make_tree(os.path.join(self.studio, "src"), {"a.dat": b"signed content"})
        unsigned = self.build("--stub", UPDATER_EXE)
        key, cert = os.path.join(self.tmp, "key.pem"), os.path.join(self.tmp, "cert.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                        key, "-out", cert, "-days", "2", "-subj", "/CN=Test Studio"],
                       check=True, capture_output=True)
        signed, nested = (os.path.join(self.tmp, n) for n in ("signed.exe", "nested.exe"))
        for source, target, extra in ((unsigned, signed, []), (signed, nested, ["-nest"])):
            subprocess.run(["osslsigncode", "sign", *extra, "-certs", cert, "-key", key, "-in",
                            source, "-out", target], check=True, capture_output=True)
            subprocess.run(["osslsigncode", "verify", "-in", target, "-CAfile", cert],
                           check=True, capture_output=True)
            self.assertIn(".\\a.dat", self.updatepkg("list", target)[0])
            self.updatepkg("extract", target, os.path.join(self.tmp, "x"))
            self.assertEqual(self.read(os.path.join(self.tmp, "x", "a.dat")), b"signed content")
        # Signing keeps the program checked: what it rewrites is all it leaves out.
        data = bytearray(self.read(signed))
        data[0x50] ^= 1
        damaged = os.path.join(self.tmp, "damaged.exe")
        self.write(damaged, bytes(data))
        self.assertIn("its program fails its check", self.updatepkg("verify", damaged, code=1)[1])
        if self.tool != UPDATEPKG:  # and the Windows program applies it under Wine
            self.assertEqual(self.apply(nested)[-1], (CAPTION, COMPLETED))


class WineUpdatepkgTest(OnWine, UpdatepkgTest):
    """Every path given as "/tmp/...", from the root of the current drive."""
    tool = UPDATEPKG_EXE


if __name__ == "__main__":
    unittest.main()
