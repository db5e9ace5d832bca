"""Damaged and hostile packages, hostile source trees and full disks: the
update either applies whole or changes nothing, inside or outside the game."""
import os
import shutil
import struct
import subprocess
import unittest

import package_tool as pt
from test_updater import (COMPLETED, FAILED, OUTPUT_ERROR, QUESTION, UPDATER, UpdaterTest, box,
                          snapshot)

ENTRIES = [(".\\a.dat", (1, 2, 3), b"new a" * 100),
           (".\\sub\\b.dat", (4, 5, 6), os.urandom(1500)),
           (".\\c.dat", (7, 8, 9), b"")]


class HostileTest(UpdaterTest):
    def setUp(self):
        super().setUp()
        self.outside = os.path.join(self.tmp, "outside")
        os.makedirs(self.outside)
        self.write(os.path.join(self.outside, "keep.txt"), b"keep")
        self.write(os.path.join(self.game, "a.dat"), b"old a")
        self.write(os.path.join(self.game, "sub", "b.dat"), b"old b")
        self.program = self.read(self.update_exe())

    def run_package(self, package):
        """Applies `package`; returns the boxes, checking the all-or-nothing rule."""
        exe = os.path.join(self.tmp, "update.bin")
        with open(exe, "wb") as f:
            f.write(self.program + package)
        before = (snapshot(self.game), snapshot(self.outside))
        log = self.apply(exe)
        boxes = [line for line in log.splitlines() if line.startswith("[")]
        self.assertEqual(snapshot(self.outside), before[1])
        if box(COMPLETED) not in boxes:
            self.assertEqual(snapshot(self.game), before[0])
        return boxes

    def assert_refused(self, package):
        self.assertEqual(self.run_package(package)[-1], box(FAILED))


class DamagedPackageTest(HostileTest):
    def test_cut_at_every_byte_changes_nothing(self):
        package = pt.encode_package(ENTRIES)
        payload = package[:-8]
        for cut in range(len(package)):
            boxes = self.run_package(package[:cut])
            self.assertNotIn(box(COMPLETED), boxes, cut)
        ends = {len(pt.encode_package(ENTRIES[:n])) - 8 for n in range(len(ENTRIES) + 1)}
        for cut in range(len(payload)):
            trailer = b"feof" + struct.pack("<I", cut)
            boxes = self.run_package(payload[:cut] + trailer)
            self.assertEqual(box(COMPLETED) in boxes, cut in ends, cut)

    def test_flipped_bytes_never_install_wrong_files(self):
        package = pt.encode_package(ENTRIES)
        for at in range(len(package)):
            damaged = bytearray(package)
            damaged[at] ^= 0xFF
            boxes = self.run_package(bytes(damaged))
            if box(COMPLETED) in boxes:
                # Only damage the format cannot see (times, a name's letters) may pass.
                _, entries = pt.parse_package(bytes(damaged))
                for e in entries:
                    path = os.path.join(self.game, *e.name.split("\\"))
                    self.assertEqual(self.read(path), e.content, at)
            shutil.rmtree(self.game)
            os.makedirs(self.game)
            self.write(os.path.join(self.game, "tavro.exe"), b"engine")

    def test_malformed_records(self):
        good = pt.encode_record(".\\a.dat", (1, 2, 3), b"a")
        bad_records = {
            "name length past the end": b"file\xff\x00" + ".\\x".encode("utf-16-le"),
            "times cut short": b"file\x03\x00" + ".\\x".encode("utf-16-le") + b"\0" * 10,
            "junk after a stream": pt.encode_record(".\\j.dat", (1, 2, 3), b"j") + b"junk",
            "unknown tag": b"FILE" + good[4:],
            "early trailer tag": b"feof\0\0\0\0",
        }
        for what, record in bad_records.items():
            with self.subTest(what):
                payload = good + record
                self.assert_refused(payload + b"feof" + struct.pack("<I", len(payload)))
        for length in (len(good) + 1, 0x7FFFFFF9, 0xFFFFFFFF):
            with self.subTest(length=length):
                self.assert_refused(good + b"feof" + struct.pack("<I", length))


class HostileNameTest(HostileTest):
    def test_names_that_leave_the_game_or_mean_devices_are_refused(self):
        names = ["..\\outside\\keep.txt", ".\\..\\outside\\keep.txt", ".\\sub\\..\\..\\x",
                 "\\" + self.outside.replace("/", "\\") + "\\keep.txt", "C:\\x.dat", "C:x.dat",
                 ".\\a/../../outside/keep.txt", ".\\CON", ".\\nul.txt", ".\\COM1.dat",
                 ".\\LPT\u00b9", ".\\x?.dat", ".\\tab\t.dat", ".\\dot.", ".\\space ",
                 "\\\\?\\C:\\x", "\\\\.\\PhysicalDrive0", "\\\\server\\share\\x", "",
                 "\x00\x00", ".\\" + "n" * 260]
        for name in names:
            with self.subTest(name=name):
                self.assert_refused(pt.encode_package(
                    [(".\\a.dat", (1, 2, 3), b"first entry is fine"), (name, (1, 2, 3), b"x")]))

    def test_names_equal_ignoring_case_are_refused(self):
        from test_hostile import CASE_TWINS
        for first, second in CASE_TWINS:
            with self.subTest(first=first):
                self.assert_refused(pt.encode_package([(".\\" + first, (1, 2, 3), b"1"),
                                                       (".\\" + second, (1, 2, 3), b"2")]))

    def test_link_leading_outside_is_refused(self):
        os.symlink(self.outside, os.path.join(self.game, "link"))
        self.assert_refused(pt.encode_package([(".\\link\\keep.txt", (1, 2, 3), b"pwned")]))
        os.symlink(os.path.join(self.outside, "keep.txt"), os.path.join(self.game, "file"))
        self.assert_refused(pt.encode_package([(".\\file", (1, 2, 3), b"pwned")]))

    def test_file_in_use_is_refused_before_anything_is_written(self):
        # A running program cannot be written to; the update's own file stands
        # for a file the game holds open.
        exe = os.path.join(self.game, "update.bin")
        with open(exe, "wb") as f:
            f.write(self.program + pt.encode_package(
                [(".\\a.dat", (1, 2, 3), b"new"), (".\\update.bin", (1, 2, 3), b"x")]))
        os.chmod(exe, 0o755)
        before = snapshot(self.game)
        self.assertIn(box(FAILED), self.apply(exe))
        self.assertEqual(snapshot(self.game), before)

    def test_link_inside_the_game_is_followed(self):
        os.makedirs(os.path.join(self.game, "real"))
        os.symlink(os.path.join(self.game, "real"), os.path.join(self.game, "alias"))
        boxes = self.run_package(pt.encode_package([(".\\alias\\x.dat", (1, 2, 3), b"in")]))
        self.assertEqual(boxes[-1], box(COMPLETED))
        self.assertEqual(self.read(os.path.join(self.game, "real", "x.dat")), b"in")


def staged_count(staging):
    try:
        return len(os.listdir(staging))
    except FileNotFoundError:
        return 0


class InterruptedInstallTest(HostileTest):
    def test_disk_full_while_staging_changes_nothing(self):
        mount = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=600k", "tmpfs", self.game],
                               capture_output=True)
        if mount.returncode != 0:
            self.skipTest("mounting a small file system needs root")
        try:
            for name in ("tavro.exe", "A.bin", "B.bin"):
                self.write(os.path.join(self.game, name), bytes(100_000))
            boxes = self.run_package(pt.encode_package(
                [(".\\A.bin", (1, 2, 3), os.urandom(200_000)),
                 (".\\B.bin", (1, 2, 3), os.urandom(500_000))]))
            self.assertEqual(boxes[-1], box(FAILED))
            self.assertEqual(sorted(os.listdir(self.game)), ["A.bin", "B.bin", "tavro.exe"])
        finally:
            subprocess.run(["umount", self.game], check=True)

    def test_killed_while_staging_then_rerun_completes(self):
        new = {f"data/{i}.bin": os.urandom(8 << 20) for i in range(8)}
        old = {name: b"old" for name in list(new)[::2]}
        for name, data in old.items():
            self.write(os.path.join(self.game, name), data)
        exe = self.update_exe(pt.encode_package(
            [(".\\" + n.replace("/", "\\"), (1, 2, 3), d) for n, d in new.items()]))
        staging = os.path.join(self.game, ".update-staging")
        for staged_files in (1, 4, 8):
            proc = subprocess.Popen([exe], cwd=self.game, stdin=subprocess.PIPE,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            proc.stdin.write(b"y\n")
            proc.stdin.flush()
            while proc.poll() is None and staged_count(staging) < staged_files:
                pass
            proc.kill()
            proc.wait()
            proc.stdin.close()
            for name in new:
                path = os.path.join(self.game, name)
                if name in old or os.path.exists(path):
                    self.assertIn(self.read(path), (old.get(name), new[name]), name)
        self.assertIn(box(COMPLETED), self.apply(exe))
        for name, data in new.items():
            self.assertEqual(self.read(os.path.join(self.game, name)), data, name)
        self.assertFalse(os.path.exists(staging))


UNREADABLE = "ファイルを読み込めません。"
BAD_NAME = "ファイル名が使えません。"
NOT_A_FILE = "通常のファイルではありません。"
BAD_TIME = "ファイルの日時が範囲外です。"
CASE_TWINS = [("Readme.txt", "README.txt"), ("\u0101.txt", "\u0100.txt"), ("\u00ff", "\u0178"),
              ("\u03c2", "\u03a3"), ("\u03ac", "\u0386"), ("\u0463.dat", "\u0462.dat")]


class HostileSourceTest(UpdaterTest):
    def assert_build_refuses(self, text, named, cwd=None, output=None, user=None):
        """The build fails with `text` naming `named`, and the output is as it was."""
        output = output or self.update_exe()
        before = self.read(output) if os.path.exists(output) else None
        prefix = ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups"] if user else []
        result = subprocess.run(prefix + [UPDATER, "-l", output], cwd=cwd or self.studio,
                                capture_output=True, timeout=20)
        log = result.stderr.decode("utf-8", "replace")
        self.assertEqual(result.returncode, 1)
        self.assertIn("[ERROR] " + text, log)
        self.assertIn(named, log)
        if before is None:
            self.assertFalse(os.path.exists(output))
        else:
            self.assertEqual(self.read(output), before)

    def fresh_src(self, *names):
        src = os.path.join(self.studio, "src")
        shutil.rmtree(src, ignore_errors=True)
        for name in ("fine.dat",) + names:
            self.write(os.path.join(src, name), name.encode())
        return src

    def test_names_the_applier_would_refuse_fail_the_build(self):
        for name in ("back\\slash.dat", "co:lon.dat", "CON.txt", "what?.dat", "dot.", "lpt1"):
            with self.subTest(name=name):
                self.fresh_src(name)
                self.assert_build_refuses(BAD_NAME, name)
        src = self.fresh_src()
        with open(os.path.join(src, "bad").encode() + b"\xff.dat", "wb") as f:
            f.write(b"x")
        self.assert_build_refuses(BAD_NAME, "bad\ufffd.dat")

    def test_names_differing_only_in_case_fail_the_build(self):
        for pair in CASE_TWINS:
            with self.subTest(pair=pair):
                self.fresh_src(*pair)
                self.assert_build_refuses(BAD_NAME, max(pair))

    def test_anything_but_files_and_folders_fails_the_build(self):
        cases = [(os.mkfifo, NOT_A_FILE),
                 (lambda path: os.symlink("/dev/zero", path), NOT_A_FILE),
                 (lambda path: os.symlink(os.path.join(self.tmp, "nothing"), path), UNREADABLE)]
        for make, text in cases:
            with self.subTest(text=text):
                make(os.path.join(self.fresh_src(), "special"))
                self.assert_build_refuses(text, "special")

    def test_what_cannot_be_listed_or_read_fails_the_build(self):
        if os.geteuid() != 0:
            self.skipTest("needs root to run the build as another user")
        os.chmod(self.tmp, 0o755)
        os.chmod(self.studio, 0o777)
        for mode, named in ((0o000, "sub"), (0o644, "x.dat")):
            with self.subTest(mode=oct(mode)):
                src = self.fresh_src("sub/x.dat")
                os.chmod(src, 0o755)
                os.chmod(os.path.join(src, "sub"), mode)
                output = os.path.join(self.studio, "update.bin")
                self.assert_build_refuses(UNREADABLE, named, output=output, user=65534)

    def test_working_folder_or_output_without_a_faithful_name(self):
        for folder in ("back\\slash", b"bad\xff".decode("utf-8", "surrogateescape")):
            with self.subTest(folder=folder):
                cwd = os.path.join(self.tmp, folder)
                os.makedirs(os.path.join(cwd, "src"))
                self.assert_build_refuses(OUTPUT_ERROR, "", cwd=cwd, output=self.update_exe())
        output = os.path.join(self.tmp, b"upd\xe9.bin".decode("utf-8", "surrogateescape"))
        self.assert_build_refuses(OUTPUT_ERROR, "", output=output)
        self.assertEqual(os.listdir(self.tmp).count("upd\ufffd.bin"), 0)

    def test_failed_build_removes_an_output_it_created(self):
        self.fresh_src("CON")
        self.assert_build_refuses(BAD_NAME, "CON", output=os.path.join(self.tmp, "new.bin"))

    def test_time_a_filetime_cannot_hold_fails_the_build(self):
        src = os.path.join(self.studio, "src")
        if subprocess.run(["mount", "-t", "tmpfs", "tmpfs", src], capture_output=True).returncode:
            self.skipTest("mounting a file system with far-future times needs root")
        try:
            for seconds in (2_000_000_000_000, 1_000_000_000_000):  # years 65000 and 33658
                with self.subTest(seconds=seconds):
                    path = os.path.join(src, "future.dat")
                    self.write(path, b"x")
                    os.utime(path, (seconds, seconds))
                    self.assert_build_refuses(BAD_TIME, "future.dat")
        finally:
            subprocess.run(["umount", src], check=True)

    def test_directory_link_cycle_is_walked_once(self):
        src = os.path.join(self.studio, "src")
        self.write(os.path.join(src, "sub", "a.dat"), b"a")
        os.symlink(src, os.path.join(src, "sub", "loop"))
        external = os.path.join(self.tmp, "external")
        self.write(os.path.join(external, "e.dat"), b"e")
        os.symlink(external, os.path.join(src, "ext"))
        exe, log = self.build()
        _, entries = pt.parse_package(self.read(exe))
        self.assertEqual([e.name for e in entries], [".\\ext\\e.dat", ".\\sub\\a.dat"])
        self.assertIn("skipped", log)


if __name__ == "__main__":
    unittest.main()
