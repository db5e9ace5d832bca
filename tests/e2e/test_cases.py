"""The end-to-end cases. `Cases` runs against the Linux program and, through
Wine, against the Windows program; what only one platform can check stands
in NativeOnly or WineOnly."""
import os
import resource
import shutil
import signal
import struct
import subprocess
import unittest
import zlib

import package_tool as pt
from harness import *  # noqa: F401,F403 - the texts, the runners and GameFolder

CASE_TWINS = [("Readme.txt", "README.txt"), ("\u0101.txt", "\u0100.txt"), ("\u00ff", "\u0178"),
              ("\u03c2", "\u03a3"), ("\u03ac", "\u0386"), ("\u0463.dat", "\u0462.dat")]


def record(name, content=b"x", times=(1, 2, 3)):
    return pt.encode_record(name, times, content)


def journal_entry(tag, name):
    """One entry of an install's journal: a file's tag, existed byte and
    (zero) identities, or a folder's tag; then the name."""
    ids = bytes(32) if tag.startswith(b"file") else b""
    units = name.encode("utf-16-le")
    return tag + ids + struct.pack("<H", len(units) // 2) + units


# 900 bytes of text a delta's LZMA literal stream carries.
LZMA_TEXT = b"".join(b"line %d of the new file\n" % i for i in range(60))[:900]

# Two files a block of deltas makes from tavro.exe ("engine"): one copies it
# and adds the text, one changes its last byte and adds part of the text.
BLOCK_FILES = [
    (".\\d.dat", ".\\tavro.exe", b"engine", b"engine" + LZMA_TEXT,
     [pt.delta_op(pt.COPY, 6) + pt.delta_op(pt.LITERAL, 900), b"", b"", LZMA_TEXT]),
    (".\\e.dat", ".\\tavro.exe", b"engine", b"enginE" + LZMA_TEXT[:100],
     [pt.delta_op(pt.DIFFERENCE, 6) + pt.delta_op(pt.LITERAL, 100), b"\5", b"\xe0",
      LZMA_TEXT[:100]]),
]


def package_of(*records, length=None):
    payload = b"".join(records)
    return payload + b"feof" + struct.pack("<I", len(payload) if length is None else length)


def flipped(data, at):
    out = bytearray(data)
    out[at] ^= 0xFF
    return bytes(out)


class Cases:
    def make_source(self):
        files = {"data2.dat": b"top level", "tavro.exe": b"new engine", "empty.dat": b"",
                 "sub/table.dat": os.urandom(4096), "B-upper.txt": b"upper case sorts first",
                 "sub/deeper/large.bin": os.urandom(100_000) + bytes(200_000),
                 "音声/台詞 01.ogg": os.urandom(1024)}
        times = {}
        for i, (name, data) in enumerate(files.items()):
            ns = (1_600_000_000 + i * 1000) * 10**9 + 1234500 + i * 100
            times[name] = (ns + 7 * 10**9 + 300, ns)  # accessed after the last write
            self.write(os.path.join(self.studio, "src", name), data, ns=times[name])
        return files, times

    def test_build_then_apply_recreates_every_file_with_its_times(self):
        files, times = self.make_source()
        out, boxes = self.build(option="-L")
        self.assertEqual(boxes, [])
        start, entries = pt.parse_package(self.read(out))
        self.assertEqual(start, os.path.getsize(self.runner.program))
        self.assertEqual([e.name for e in entries], sorted(
            ".\\" + n.replace("/", "\\") for n in files))  # ordinal UTF-16 order
        for e in entries:
            rel = e.name[2:].replace("\\", "/")
            self.assertEqual(e.stream, zlib.compress(files[rel], -1), rel)
            self.assertEqual(e.times[1:], tuple(pt.filetime_from_ns(t) for t in times[rel]), rel)
        self.assertEqual(self.apply(out), [(CAPTION, QUESTION), (CAPTION, COMPLETED)])
        for rel, content in files.items():
            path = os.path.join(self.game, rel)
            st = os.stat(path)  # before reading, which may move the access time
            self.assertEqual((st.st_atime_ns, st.st_mtime_ns),
                             tuple(t // 100 * 100 for t in times[rel]), rel)
            self.assertEqual(self.read(path), content, rel)

    def test_builds_leave_the_tree_untouched_and_agree_byte_for_byte(self):
        # Accessed long ago, so that any read would move the access time (relatime).
        files, _ = self.make_source()
        src = os.path.join(self.studio, "src")
        before = {n: os.stat(os.path.join(src, n)).st_atime_ns for n in files}
        first, _ = self.build(self.update_exe(name=os.path.join("studio", "one.exe")))
        second, _ = self.build(self.update_exe(name=os.path.join("studio", "two.exe")))
        self.assertEqual(self.read(first), self.read(second))
        self.assertEqual({n: os.stat(os.path.join(src, n)).st_atime_ns for n in before}, before)

    def test_package_from_another_writer_applies_exactly(self):
        ft = (133000000001234567, 133000000101234568, 132000000000000009)
        # A read-only file (the attribute under Wine), as a copy from a disc
        # leaves it, is replaced all the same.
        self.write(os.path.join(self.game, "a.dat"), b"old")
        os.chmod(os.path.join(self.game, "a.dat"), 0o444)
        exe = self.update_exe(package_of(
            record(".\\a.dat", b"alpha" * 1000, ft), record(".\\new\\dir\\b.dat", b"b" * 3000, ft),
            record("plain.dat", b"", ft), record(".\\z\x00ero.dat", b"zero units dropped", ft)))
        self.assertEqual(self.apply(exe)[-1], (CAPTION, COMPLETED))
        for rel, data in (("a.dat", b"alpha" * 1000), ("plain.dat", b""),
                          ("zero.dat", b"zero units dropped"), ("new/dir/b.dat", b"b" * 3000)):
            st = os.stat(os.path.join(self.game, rel))
            self.assertEqual((st.st_atime_ns, st.st_mtime_ns),
                             (pt.ns_from_filetime(ft[1]), pt.ns_from_filetime(ft[2])), rel)
            self.assertEqual(self.read(os.path.join(self.game, rel)), data)
        # Deltas whose streams are LZMA, from a second writer of the coding,
        # the literals coded or stored.
        for stored in (False, True):
            ops = pt.delta_op(pt.COPY, 6) + pt.delta_op(pt.LITERAL, 900)
            streams = [pt.lzma_stream(ops), pt.lzma_stream(b""), pt.lzma_stream(b"", stored=stored),
                       pt.lzma_stream(LZMA_TEXT, stored=stored)]
            delta = pt.encode_delta(".\\d.dat", b"engine", b"engine" + LZMA_TEXT, [],
                                    old_name=".\\tavro.exe", streams=streams, coded=pt.lzma_stream)
            self.assertEqual(self.apply(self.update_exe(package_of(delta)))[-1],
                             (CAPTION, COMPLETED))
            self.assertEqual(self.read(os.path.join(self.game, "d.dat")), b"engine" + LZMA_TEXT)
            os.remove(os.path.join(self.game, "d.dat"))  # else the next is current, not read
        # A block of deltas, coded and stored; the second time the first file is
        # current, and its parts are passed over on the way to the second's.
        for stored in (False, True):
            block = pt.encode_delta_block(BLOCK_FILES, stored)
            for _ in range(2):
                self.assertEqual(self.apply(self.update_exe(package_of(block)))[-1],
                                 (CAPTION, COMPLETED))
                for name, _, _, new, _ in BLOCK_FILES:
                    self.assertEqual(self.read(os.path.join(self.game, name[2:])), new)
                os.remove(os.path.join(self.game, "e.dat"))
        solid, _ = pt.solid_block()  # our encoder's block, files in the order it lists them
        self.assertEqual(self.apply(self.update_exe(package_of(solid)))[-1], (CAPTION, COMPLETED))
        for e in pt.parse_package(package_of(solid))[1]:
            self.assertEqual(self.read(os.path.join(self.game, e.name[2:].replace("\\", "/"))),
                             e.content)

    def test_answers_and_missing_game_or_package_change_nothing(self):
        one = package_of(record(".\\a.dat", b"new"))
        cases = [("no", one, "n", (CAPTION, QUESTION)),
                 ("no package", b"", "y", (CAPTION, QUESTION)),
                 ("empty package", package_of(), "y", (CAPTION, COMPLETED))]
        # A download cut short (bytes after the program that no trailer ends,
        # or the program itself cut) fails before it asks: the one box.
        cases += [(f"cut after {n} bytes", one[:n], "y", [(CAPTION, FAILED)])
                  for n in (1, 9, len(one) - 1)]
        program = self.read(self.runner.program)
        if program.startswith(b"\x7fELF"):  # its section table comes last: it still runs
            cases.append(("cut inside the program", program[:-10], "y", [(CAPTION, FAILED)]))
        for what, package, answer, last in cases:
            with self.subTest(what):
                exe = self.update_exe(package)
                if what == "cut inside the program":
                    self.write(exe, package)
                self.assert_applies_nothing(exe, last, answer)
        os.remove(os.path.join(self.game, "tavro.exe"))
        self.assert_applies_nothing(self.update_exe(one), (CAPTION, NOT_INSTALLED))

    def test_damaged_and_hostile_packages_change_nothing(self):
        os.symlink(self.outside, os.path.join(self.game, "link"))
        os.symlink(os.path.join(self.outside, "keep.txt"), os.path.join(self.game, "file"))
        os.symlink(self.game, os.path.join(self.game, "inside"))  # links are never followed
        os.mkfifo(os.path.join(self.game, "pipe"))  # with a reader: opening it to write would work
        reader = os.open(os.path.join(self.game, "pipe"), os.O_RDONLY | os.O_NONBLOCK)
        self.addCleanup(os.close, reader)
        good = record(".\\a.dat", os.urandom(3000))
        stream = good.index(b"\x78\x9c")
        names = ["..\\outside\\keep.txt", ".\\sub\\..\\..\\x", "\\abs.dat", "C:x.dat",
                 ".\\a/../../outside/keep.txt", ".\\CON", ".\\nul.txt", ".\\LPT\u00b9", ".\\x?.dat",
                 ".\\tab\t.dat", ".\\dot.", "\\\\?\\C:\\x", "\\\\server\\share\\x", "", "\x00",
                 ".\\" + "n" * 260, ".\\.update-staging\\0.new", ".\\link\\keep.txt", ".\\file",
                 ".\\inside\\a.dat", ".\\pipe", ".\\update.exe"]  # the running update: a busy file
        if self.runner.log is not None and runs_emulated(self.runner.program):
            names.remove(".\\update.exe")  # under qemu-i386 the kernel never runs it
        packages = {
            "flipped stream byte": package_of(flipped(good, stream + 5)),
            "flipped Adler-32": package_of(flipped(good, len(good) - 1)),
            "stream cut short": package_of(good[:-100]),
            "name length past the end": package_of(good, b"file\xff\x00.\x00"),
            "times cut short": package_of(good, record(".\\x")[:30]),
            "junk after a stream": package_of(good, b"junk"),
            "unknown tag": package_of(b"FILE" + good[4:]),
            "early trailer tag": package_of(good, b"feof\0\0\0\0"),
            "length one too long": package_of(good, length=len(good) + 1),
            "length above the format": package_of(good, length=0x7FFFFFF9),
            "folder where a file is": package_of(good, record(".\\a.dat\\x")),
            "a label after the first record": package_of(good, b"vers" + pt.encode_name("(2)")),
            "a label with an escape": package_of(b"vers" + pt.encode_name("(2)\x1b[2J"), good),
            "a label of 65 units": package_of(b"vers" + pt.encode_name("9" * 65), good),
            "no release labels": package_of(b"rels\0", good),
            "release labels after a record": package_of(good, b"rels\1" + pt.encode_name("1")),
            "junk after a delta stream": package_of(pt.encode_delta(  # else sound, from tavro.exe
                ".\\d.dat", b"engine", b"engine", [], old_name=".\\tavro.exe", streams=[
                    zlib.compress(pt.delta_op(pt.COPY, 6)) + b"j", *[zlib.compress(b"")] * 3])),
        }
        solid, at = pt.solid_block()  # a block of three files, damaged where it counts
        packed = struct.unpack_from("<I", solid, at["props"] + 5)[0]
        head = at["props"]  # the same block with other names, to follow it
        renamed = solid[:head].replace("a.txt".encode("utf-16-le"), "f.txt".encode(
            "utf-16-le")).replace("\\e".encode("utf-16-le"), "\\h".encode("utf-16-le")).replace(
            "d\\b".encode("utf-16-le"), "g\\b".encode("utf-16-le")) + solid[head:]

        def filtered(filter):  # the block with its last file's filter and what follows it
            return solid[:at["props"] - 1] + filter + solid[at["props"]:]

        last_size = struct.unpack_from("<Q", solid, at["hash"] - 8)[0]

        def deflated(streams, coded=last_size, map_tail=b""):  # the last file's streams inflated
            fields = pt.varint(0) + pt.varint(len(streams)) + b"".join(map(pt.varint, streams))
            held = pt.lzma_stream(fields + map_tail, stored=True)[:5] + fields
            return package_of(filtered(b"\4" + struct.pack("<QI", coded, len(held + map_tail)) +
                                       held + map_tail))
        self.assertEqual(self.apply(self.update_exe(deflated([])))[-1], (CAPTION, COMPLETED))
        shutil.rmtree(os.path.join(self.game, "d"))
        for name in ("e", "a.txt"):
            os.remove(os.path.join(self.game, name))

        def solid_on(block, preset):  # as a "solc" block starting with `preset` bytes before it
            return b"solc" + block[4:head + 5] + struct.pack("<I", preset) + block[head + 5:]
        copy, literal = pt.delta_op(pt.COPY, 6), pt.delta_op(pt.LITERAL, 900)
        predicts = pt.delta_op(pt.REFERENCES, 7)  # (nothing here: no piece of 4 KiB)
        ops, literals = predicts + copy + literal, LZMA_TEXT
        lzma_streams = [pt.lzma_stream(ops), *[pt.lzma_stream(b"")] * 2, pt.lzma_stream(literals)]

        def lzma_delta(literal_stream, ops_stream=lzma_streams[0]):  # from tavro.exe, else sound
            return package_of(pt.encode_delta(".\\d.dat", b"engine", b"engine" + literals, [],
                                              old_name=".\\tavro.exe", coded=pt.lzma_stream,
                                              streams=[ops_stream, *lzma_streams[1:3],
                                                       literal_stream]))
        def after_old(old_size):  # as "dlzo", its old file said to be `old_size` bytes
            delta = lzma_delta(lzma_streams[3])
            at = 4 + len(pt.encode_name(".\\d.dat")) + 24 + len(pt.encode_name(".\\tavro.exe"))
            return b"dlzo" + delta[4:at] + struct.pack("<Q", old_size) + delta[at + 8:]
        self.assertEqual(self.apply(self.update_exe(lzma_delta(lzma_streams[3])))[-1],
                         (CAPTION, COMPLETED))  # sound, as each below is not
        os.remove(os.path.join(self.game, "d.dat"))
        packages.update({
            "flipped LZMA delta stream byte": lzma_delta(flipped(lzma_streams[3], 400)),
            "an LZMA delta stream one byte short of its size": lzma_delta(
                lzma_streams[3][:1] + struct.pack("<I", 901) + lzma_streams[3][5:]),
            "an LZMA delta stream with a byte after its end": lzma_delta(lzma_streams[3] + b"\0"),
            "LZMA settings no delta stream may use (lc + lp 5)": lzma_delta(
                bytes([13]) + lzma_streams[3][1:]),
            "literals said to be coded after the old file, and not": after_old(6),
            "a references operation after the first": lzma_delta(
                lzma_streams[3], pt.lzma_stream(predicts + copy + predicts + literal)),
            "a references operation predicting nothing": lzma_delta(
                lzma_streams[3], pt.lzma_stream(pt.delta_op(pt.REFERENCES, 0) + copy + literal)),
            "a predicting patch's operations past 1 MiB": package_of(pt.encode_delta(
                ".\\d.dat", b"engine", bytes(1 << 20),
                [predicts, pt.delta_op(pt.LITERAL, 1) * (1 << 20)], literals=bytes(1 << 20),
                old_name=".\\tavro.exe", coded=pt.lzma_stream)),
            "literals coded after an old file past 64 MiB": after_old((64 << 20) + 1),
            "a stored delta stream one byte short of its size": lzma_delta(
                b"\xff" + struct.pack("<I", 901) + literals),
            "flipped solid stream byte": package_of(flipped(solid, at["stream"] + packed // 2)),
            "flipped SHA-256 in a block": package_of(flipped(solid, at["hash"] + 7)),
            "a block's window above 64 MiB": package_of(
                solid[:at["props"] + 1] + struct.pack("<I", (64 << 20) + 1) + solid[at["props"] + 5:]),
            "a block's stream past the package": package_of(
                solid[:at["props"] + 5] + struct.pack("<I", packed + 99) + solid[at["stream"]:]),
            "a block's stream cut short": package_of(
                solid[:at["props"] + 5] + struct.pack("<I", packed - 1) + solid[at["stream"]:-1]),
            "a block with no files": package_of(b"sold\0\0\0\0" + solid[at["props"]:]),
            "a block naming a path twice": package_of(  # .\a.txt and .\A.TXT\b
                solid.replace("d\\b.txt".encode("utf-16-le"), "A.TXT\\b".encode("utf-16-le"))),
            "a block's settings lc + lp 5": package_of(
                solid[:at["props"]] + b"\x0d" + solid[at["props"] + 1:]),
            "a block's file of filter 5": package_of(filtered(b"\5")),
            "a block's file of the plain branch filter, no longer read": package_of(filtered(b"\1")),
            "inflated bytes other than its map's": deflated([], last_size + 1),
            "a map with a byte past its fields": deflated([], map_tail=b"\0"),
            # Its bytes one raw deflate stream of one byte, at level 6.
            "a stream that deflates to other bytes than its map's": deflated([0, 1, last_size, 0, 902]),
            "a split file coded in fewer bytes than it has": package_of(filtered(
                b"\2" + struct.pack("<Q", struct.unpack_from("<Q", solid, at["hash"] - 8)[0] - 1))),
            "a split file coded in 512 KiB more than a piece's head": package_of(filtered(
                b"\2" + struct.pack("<Q", struct.unpack_from("<Q", solid, at["hash"] - 8)[0] +
                                     (1 << 19) + 5))),
            "a sound's form of samples above 1F": package_of(filtered(b"\3\x20")),
            "a block going on from no block": package_of(good, solid_on(solid, 1)),
            "a block going on from more than the block before decoded": package_of(
                solid, solid_on(renamed, at["total"] + 1)),
            "a block of deltas with no files": package_of(b"dblk\0\0\0\0" + b"\3\0\0\0\0" * 4),
            "a block of deltas with settings lc + lp 5": package_of(
                pt.encode_delta_block(BLOCK_FILES, settings=13)),
            "a block of deltas with a byte after a stream": package_of(
                pt.encode_delta_block(BLOCK_FILES, tail=b"\0")),
            "a stored block of deltas with a byte after a stream": package_of(
                pt.encode_delta_block(BLOCK_FILES, stored=True, tail=b"\0")),
            "flipped block of deltas stream byte": package_of(
                flipped(pt.encode_delta_block(BLOCK_FILES), -300)),
        })
        for name in names:
            packages[f"name {name!r}"] = package_of(good, record(name))
            packages[f"old name {name!r}"] = package_of(pt.encode_delta(
                ".\\d.dat", b"x", b"x", [pt.delta_op(pt.COPY, 1)], old_name=name or "\x00"))
        for first, second in CASE_TWINS:
            packages[f"case twins {first}"] = package_of(record(".\\" + first),
                                                         record(".\\" + second))
        # The cause each reaches the debug channel with, where one word tells it.
        causes = {"flipped Adler-32": "damaged content stream",
                  "literals coded after an old file past 16 MiB": "damaged content stream",
                  "flipped SHA-256 in a block": "damaged content stream",
                  "a stream that deflates to other bytes than its map's": "damaged content stream",
                  "a block naming a path twice": "ignoring case: A.TXT\\b",
                  # A block's own fault names its first file.
                  "a block's settings lc + lp 5": "content stream: e\n",
                  "a block's stream past the package": "content stream: e\n",
                  "a stored block of deltas with a byte after a stream": "stream: d.dat\n",
                  "a block of deltas with settings lc + lp 5": "content stream: d.dat\n",
                  "unknown tag": "neither an entry",
                  "a label with an escape": "a version label that is not text",
                  f"name {'.' + chr(92) + 'link' + chr(92) + 'keep.txt'!r}": "a link, junction",
                  f"name {'.' + chr(92) + 'update.exe'!r}": "update.exe: Text file busy",
                  "case twins Readme.txt": "ignoring case",
                  f"name {'..' + chr(92) + 'outside' + chr(92) + 'keep.txt'!r}": "name the updater"}
        for what, package in packages.items():
            with self.subTest(what):
                exe = self.update_exe(package, name=os.path.join("game", "update.exe"))
                self.assert_applies_nothing(exe, (CAPTION, FAILED), cause=causes.get(what))

    def test_planted_staging_or_journal_through_a_link_is_never_acted_on(self):
        # Entries that would put a planted file over one outside, take one
        # outside away, and remove a folder outside, all through `lnk`.
        journal = b"".join(journal_entry(*e) for e in (
            (b"file\x01", ".\\lnk\\keep.txt"), (b"file\x00", ".\\lnk\\e.dat"),
            (b"fold", ".\\lnk\\empty"))) + b"done"
        os.makedirs(os.path.join(self.outside, "empty"))
        self.write(os.path.join(self.outside, "e.dat"), b"e")
        os.symlink(self.outside, os.path.join(self.game, "lnk"))
        staging = os.path.join(self.game, ".update-staging")
        exe = self.update_exe(package_of(record(".\\a.dat")))
        for how in ("staging a link to outside", "journal through a link"):
            with self.subTest(how):
                if how.startswith("staging"):
                    os.symlink(self.outside, staging)
                    folder = self.outside
                else:
                    os.remove(staging)
                    os.makedirs(staging, mode=0o700)  # as an install makes it
                    folder = staging
                self.write(os.path.join(folder, "journal"), journal)
                self.write(os.path.join(folder, "0.old"), b"planted")
                before = snapshot(self.game), snapshot(self.outside)
                self.assertEqual(self.apply(exe)[-1], (CAPTION, FAILED))
                self.assertEqual((snapshot(self.game), snapshot(self.outside)), before)

    def test_build_failures_leave_the_output_as_it_was(self):
        cases = [(("d" * 50 + "/") * 5 + "f.dat", TOO_LONG)]  # named by its first long folder
        cases += [(pair, BAD_NAME) for pair in CASE_TWINS]
        for files, text in cases:
            with self.subTest(files=files):
                src = os.path.join(self.studio, "src")
                shutil.rmtree(src)
                for name in (files if isinstance(files, tuple) else (files,)):
                    self.write(os.path.join(src, name), b"x")
                self.assert_build_fails(text, max(files) if isinstance(files, tuple) else "d" * 50)
        self.assert_build_fails(OUTPUT_ERROR, "", output="missing/out.exe")


class NativeCases(Cases, GameFolder):
    runner = NativeRunner()


class WineCases(OnWine, Cases, GameFolder):
    pass


class NativeOnly(GameFolder):
    def test_other_command_lines_run_apply_mode(self):
        os.remove(os.path.join(self.game, "tavro.exe"))
        for args in (["-l", "out", "extra"], ["/l", "out"], ["-l"], ["-x", "out"]):
            self.assertEqual(self.run_updater(UPDATER, args, self.game), [(CAPTION, NOT_INSTALLED)])
            self.assertFalse(os.path.exists(os.path.join(self.game, "out")))

    def test_program_started_without_its_path_finds_its_package(self):
        exe = self.update_exe(package_of(record(".\\n.dat", b"n")))
        result = subprocess.run(["update"], executable=exe, cwd=self.game, input=b"y\n",
                                capture_output=True, timeout=60)
        self.assertIn(COMPLETED, result.stderr.decode())
        self.assertEqual(self.read(os.path.join(self.game, "n.dat")), b"n")

    def test_walk_skips_the_output_and_link_cycles_and_a_missing_src_is_empty(self):
        src = os.path.join(self.studio, "src")
        self.write(os.path.join(src, "sub", "a.dat"), b"a")
        os.symlink(src, os.path.join(src, "sub", "loop"))
        self.write(os.path.join(self.outside, "e.dat"), b"e")
        os.symlink(self.outside, os.path.join(src, "ext"))
        output = self.update_exe(name=os.path.join("studio", "src", "update.bin"))
        self.build(output)
        names = [e.name for e in pt.parse_package(self.read(output))[1]]
        self.assertEqual(names, [".\\ext\\e.dat", ".\\ext\\keep.txt", ".\\sub\\a.dat"])
        shutil.rmtree(src)
        out, _ = self.build()
        self.assertEqual(self.read(out)[-8:], b"feof\0\0\0\0")

    def test_sources_that_cannot_be_packed_fail_the_build(self):
        special = [(os.mkfifo, NOT_A_FILE), (lambda p: os.symlink("/dev/zero", p), NOT_A_FILE),
                   (lambda p: os.symlink("/proc/self/mem", p), UNREADABLE),
                   (lambda p: os.symlink(os.path.join(self.tmp, "nothing"), p), UNREADABLE)]
        for name in ("back\\slash.dat", "co:lon.dat", "CON.txt", "what?.dat", "dot.", "lpt1",
                     b"bad\xff.dat".decode("utf-8", "surrogateescape")):
            special.append((lambda p, n=name: self.write(os.path.join(os.path.dirname(p), n), b""),
                            BAD_NAME))
        for make, text in special:
            with self.subTest(text=text):
                src = os.path.join(self.studio, "src")
                shutil.rmtree(src)
                self.write(os.path.join(src, "fine.dat"), b"fine")
                make(os.path.join(src, "special"))
                self.assert_build_fails(text, "")
        shutil.rmtree(os.path.join(self.studio, "src"))
        self.write(os.path.join(self.studio, "src", "big.dat"), os.urandom(100_000))
        self.assert_build_fails(OUTPUT_ERROR, "", output="/dev/full")

    def test_unlistable_folder_or_unstatable_file_fails_the_build(self):
        if os.geteuid() != 0:
            self.skipTest("needs root to run the build as another user")
        for path in (self.tmp, self.studio, os.path.join(self.studio, "src")):
            os.chmod(path, 0o777)
        sub = os.path.join(self.studio, "src", "sub")
        # A folder on the way that may not be searched hides src/: never an empty package.
        for folder, mode, named in ((sub, 0o000, "sub"), (sub, 0o644, "x.dat"),
                                    (self.tmp, 0o700, "src")):
            with self.subTest(mode=oct(mode), named=named):
                self.write(os.path.join(sub, "x.dat"), b"x")
                os.chmod(folder, mode)
                result = subprocess.run(
                    ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", UPDATER, "-l",
                     "out.bin"], cwd=self.studio, capture_output=True, timeout=60)
                self.assertEqual(result.returncode, 1)
                self.assertIn(f"[ERROR] {UNREADABLE}", result.stderr.decode())
                self.assertIn(named, result.stderr.decode())
                self.assertIn("Permission denied", result.stderr.decode())  # the system's word
                self.assertFalse(os.path.exists(os.path.join(self.studio, "out.bin")))
                os.chmod(folder, 0o777)

    def test_staging_planted_by_another_user_is_never_acted_on(self):
        if os.geteuid() != 0:
            self.skipTest("needs root to plant as another user")
        os.chmod(self.game, 0o777)
        os.symlink(self.outside, os.path.join(self.game, "lnk"))
        # Cut short (16 units named, 14 there): were the folder trusted, it would be emptied.
        journal = b"file\x01" + bytes(32) + b"\x10\x00" + ".\\lnk\\keep.txt".encode("utf-16-le")
        exe = self.update_exe(package_of(record(".\\a.dat", b"new")))
        staging = os.path.join(self.game, ".update-staging")
        # Another user's, writable by all, a game folder of root's renamed to the
        # staging name (mode 0755, the game's files in it), or private but
        # holding a name no install makes; and a FIFO, which must not hang it.
        for owner, mode, other in ((65534, 0o700, None), (0, 0o777, None), (0, 0o755, None),
                                   (0, 0o755, "map.dat"), (0, 0o700, "map.dat"), (0, None, None)):
            with self.subTest(owner=owner, mode=mode and oct(mode), other=other):
                if mode is None:
                    os.mkfifo(staging)
                else:
                    os.makedirs(staging)
                    self.write(os.path.join(staging, "journal"), journal + b"done")
                    self.write(os.path.join(staging, other or "0.old"), b"planted")
                    subprocess.run(["chown", "-R", f"{owner}:{owner}", staging], check=True)
                    os.chmod(staging, mode)
                before = snapshot(self.game), snapshot(self.outside)
                self.assertEqual(self.apply(exe)[-1], (CAPTION, FAILED))
                self.assertIn("a staging folder not this user's alone", self.runner.log)
                self.assertEqual((snapshot(self.game), snapshot(self.outside)), before)
                (shutil.rmtree if os.path.isdir(staging) else os.remove)(staging)

    def test_package_swapped_during_the_question_is_not_the_one_applied(self):
        exe = self.update_exe(package_of(record(".\\a.dat", b"asked about")))
        planted = self.update_exe(package_of(record(".\\a.dat", b"planted")), name="planted")
        run = subprocess.Popen([exe], cwd=self.game, stdin=subprocess.PIPE,
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        asked = b""
        while b"[y/n]" not in asked:  # the question is on the screen
            chunk = run.stderr.read1(4096)
            self.assertTrue(chunk, asked)
            asked += chunk
        os.replace(planted, exe)  # by another user who may write the update's folder
        run.communicate(b"y\n", timeout=60)
        self.assertEqual(self.read(os.path.join(self.game, "a.dat")), b"asked about")

    def test_a_replaced_file_keeps_its_mode_and_a_new_one_gets_the_default(self):
        os.chmod(os.path.join(self.game, "tavro.exe"), 0o755)
        os.chmod(os.path.join(self.game, "a.dat"), 0o600)
        exe = self.update_exe(package_of(record(".\\tavro.exe", b"engine 2"),
                                         record(".\\a.dat"), record(".\\new.dat")))
        old_mask = os.umask(0o022)
        try:
            self.assertEqual(self.apply(exe)[-1], (CAPTION, COMPLETED))
        finally:
            os.umask(old_mask)
        modes = {n: os.stat(os.path.join(self.game, n)).st_mode & 0o777
                 for n in ("tavro.exe", "a.dat", "new.dat")}
        self.assertEqual(modes, {"tavro.exe": 0o755, "a.dat": 0o600, "new.dat": 0o644})

    def test_a_patch_of_another_version_stops_before_it_writes_much(self):
        old = os.urandom(10_000)
        self.write(os.path.join(self.game, "old.dat"), old)
        exe = self.update_exe(package_of(gigabyte_delta(".\\old.dat", old)))
        limit = 64 << 20  # writing past it ends the process (SIGXFSZ)
        run = subprocess.run(
            [exe], cwd=self.game, input=b"y\n", capture_output=True, timeout=300,
            preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit)))
        self.assertEqual(run.returncode, 1)  # the failure box's code, never the signal's
        self.assertIn("not the version the patch was made from", run.stderr.decode())
        self.assertEqual(self.read(os.path.join(self.game, "old.dat")), old)

    def test_working_folder_or_output_without_a_faithful_name_fails_the_build(self):
        for folder in ("back\\slash", b"bad\xff".decode("utf-8", "surrogateescape")):
            cwd = os.path.join(self.tmp, folder)
            os.makedirs(os.path.join(cwd, "src"))
            self.assert_build_fails(OUTPUT_ERROR, "", cwd=cwd)
        output = b"upd\xe9.bin".decode("utf-8", "surrogateescape")
        self.assert_build_fails(OUTPUT_ERROR, "", output=output)
        self.assertNotIn("upd\ufffd.bin", os.listdir(self.studio))

    def mount_tmpfs(self, path, size):
        os.makedirs(path, exist_ok=True)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", path],
                          capture_output=True).returncode:
            self.skipTest("mounting a file system needs root")
        self.addCleanup(subprocess.run, ["umount", path], check=True)

    def test_time_a_filetime_cannot_hold_fails_the_build(self):
        src = os.path.join(self.studio, "src")
        self.mount_tmpfs(src, "1m")
        for seconds in (2_000_000_000_000, 1_000_000_000_000):  # the years 65000 and 33658
            self.write(os.path.join(src, "future.dat"), b"x", ns=(seconds * 10**9,) * 2)
            self.assert_build_fails(BAD_TIME, "future.dat")

    def test_disk_full_while_staging_changes_nothing(self):
        self.mount_tmpfs(self.game, "600k")
        for name in ("tavro.exe", "A.bin", "B.bin"):
            self.write(os.path.join(self.game, name), bytes(100_000))
        exe = self.update_exe(package_of(record(".\\A.bin", os.urandom(200_000)),
                                         record(".\\B.bin", os.urandom(500_000))))
        self.assert_applies_nothing(exe, (CAPTION, FAILED), cause="No space left on device")
        # A record that declares more than the disk holds is refused before it writes.
        exe = self.update_exe(package_of(gigabyte_delta(".\\A.bin", bytes(100_000))))
        self.assert_applies_nothing(exe, (CAPTION, FAILED), cause="bytes, ")

    def test_a_second_copy_changes_nothing_and_a_killed_one_is_completed_by_the_next(self):
        new = {f"data/{i}.bin": os.urandom(4 << 20) for i in range(4)}
        old = {"data/0.bin": b"old", "data/2.bin": b"old"}
        for name, data in old.items():
            self.write(os.path.join(self.game, name), data)
        exe = self.update_exe(package_of(*(record(".\\" + n.replace("/", "\\"), d)
                                           for n, d in new.items())))
        first = subprocess.Popen([exe], cwd=self.game, stdin=subprocess.PIPE,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(first.wait)
        self.addCleanup(first.kill)  # never left stopped when an assertion fails first
        first.stdin.write(b"y\n")
        first.stdin.close()
        while first.poll() is None and staged_count(os.path.join(self.game, ".update-staging")) < 2:
            pass
        first.send_signal(signal.SIGSTOP)  # holds its lock, mid-install
        while first.poll() is None and process_state(first.pid) != "T":
            pass
        self.assertIsNone(first.poll())
        before = snapshot(self.game)
        self.assertEqual(self.apply(exe)[-1], (CAPTION, FAILED))
        self.assertIn("another install holds", self.runner.log)
        self.assertEqual(snapshot(self.game), before)
        first.kill()  # cut off mid-install: every file old or new, never partial
        first.wait()
        for name, data in new.items():
            path = os.path.join(self.game, name)
            self.assertIn(self.read(path) if os.path.exists(path) else None,
                          (old.get(name), data), name)
        self.assertEqual(self.apply(exe)[-1], (CAPTION, COMPLETED))
        for name, data in new.items():
            self.assertEqual(self.read(os.path.join(self.game, name)), data, name)


def gigabyte_delta(name, old):
    """A delta record that claims to make 1 GiB of copies of `old`, with
    hashes that are nobody's."""
    copies = (1 << 30) // len(old)
    ops = pt.delta_op(pt.COPY, len(old)) + pt.delta_op(pt.COPY, len(old), -len(old)) * (copies - 1)
    streams = [zlib.compress(ops)] + [zlib.compress(b"")] * 3
    return (b"dstr" + pt.encode_name(name) + bytes(24) + pt.encode_name(name) +
            struct.pack("<Q", len(old)) + bytes(32) + struct.pack("<Q", copies * len(old)) +
            bytes(32) + struct.pack("<IIII", *map(len, streams)) + b"".join(streams))


def process_state(pid):
    """The state letter of a process: "T" once it has stopped."""
    with open(f"/proc/{pid}/stat") as f:
        return f.read().rsplit(") ", 1)[1][0]


def staged_count(staging):
    try:
        return len(os.listdir(staging))
    except FileNotFoundError:
        return 0


class WineOnly(OnWine, GameFolder):
    def test_a_question_that_cannot_be_shown_is_no_consent(self):
        session = WineRunner.start()
        env = {k: v for k, v in session.env.items() if k != "DISPLAY"}
        exe = self.update_exe(package_of(record(".\\a.dat", b"new")))
        before = snapshot(self.game), snapshot(self.outside)
        run = subprocess.run([session.loader, exe], cwd=self.game, env=env, capture_output=True,
                             timeout=120)
        self.assertEqual(run.returncode, 3)  # ends as a No does
        self.assertEqual((snapshot(self.game), snapshot(self.outside)), before)

    def native_package(self):
        native_out = os.path.join(self.studio, "native.bin")
        shutil.copyfile(UPDATER, native_out)
        subprocess.run([UPDATER, "-l", native_out], cwd=self.studio, check=True,
                       capture_output=True, timeout=60)
        return pt.parse_package(self.read(native_out))

    def test_packages_cross_between_the_platforms_unchanged(self):
        # Made in reverse order, so the file system lists them out of sorted order.
        files = {n: n.encode() * 100 for n in ("zeta.dat", "sub/b.dat", "sub/A.dat", "_.dat")}
        for name, data in files.items():
            self.write(os.path.join(self.studio, "src", name), data)
        start, native = self.native_package()
        wine_out, _ = self.build()
        _, wine = pt.parse_package(self.read(wine_out))
        # Wine keeps no creation time on a Linux file system: compare the rest.
        self.assertEqual([(e.name, e.times[1:], e.stream) for e in wine],
                         [(e.name, e.times[1:], e.stream) for e in native])
        data = self.read(os.path.join(self.studio, "native.bin"))
        self.assertEqual(self.apply(self.update_exe(data[start:]))[-1], (CAPTION, COMPLETED))
        linux = self.update_exe(self.read(wine_out)[os.path.getsize(UPDATER_EXE):],
                                name="linux.bin", program=UPDATER)
        shutil.rmtree(self.game)
        self.write(os.path.join(self.game, "tavro.exe"), b"engine")
        self.assertEqual(NativeRunner().run(linux, [], self.game)[0][-1], (CAPTION, COMPLETED))
        for name, data in files.items():
            self.assertEqual(self.read(os.path.join(self.game, name)), data, name)


if __name__ == "__main__":
    unittest.main()
