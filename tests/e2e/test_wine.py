"""End-to-end tests of the Windows program under Wine: real message boxes,
answered with the keyboard, and packages crossing between the platforms."""
import os
import shutil
import subprocess
import unittest

import package_tool as pt
from test_updater import (CAPTION, COMPLETED, FAILED, NOT_INSTALLED, OUTPUT_ERROR, QUESTION,
                          GameFolderTest, snapshot)
from wine_session import WineSession, wine_can_run

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "..", "..", "out")
UPDATER_EXE = os.environ.get("UPDATER_EXE", os.path.join(OUT, "windows", "updater.exe"))
UPDATER = os.environ.get("UPDATER", os.path.join(OUT, "native", "updater"))
UPDATEPKG_EXE = os.environ.get("UPDATEPKG_EXE", os.path.join(OUT, "windows", "updatepkg.exe"))
PREFIX = os.environ.get("WINE_TEST_PREFIX", os.path.join(OUT, "windows", "wine-e2e"))

session = None


def setUpModule():
    global session
    if not wine_can_run():
        raise unittest.SkipTest("this machine cannot run 32-bit programs, so Wine cannot start")
    session = WineSession(os.path.abspath(PREFIX))


def tearDownModule():
    if session:
        session.close()


def answer_with(key):
    return lambda caption, text: key if text == QUESTION else "Return"


class WineTest(GameFolderTest):
    def exe_with(self, package, program=UPDATER_EXE, name="update.exe"):
        exe = os.path.join(self.tmp, name)
        shutil.copyfile(program, exe)
        os.chmod(exe, 0o755)
        with open(exe, "ab") as f:
            f.write(package)
        return exe

    def apply(self, exe, key="y"):
        return session.run(exe, [], cwd=self.game, answer=answer_with(key))

    def make_source(self):
        files = {"data2.dat": b"data two", "sub/table.dat": os.urandom(3000),
                 "音声/台詞.txt": "こんにちは".encode(), "empty.dat": b"",
                 "big.bin": os.urandom(70_000) + bytes(2048)}
        for i, (name, data) in enumerate(files.items()):
            ns = (1_500_000_000 + i) * 10**9 + 4_567_800
            self.write(os.path.join(self.studio, "src", name), data, ns=(ns, ns + 10**9))
        return files

    def build_under_wine(self):
        out = os.path.join(self.studio, "update.exe")
        shutil.copyfile(UPDATER_EXE, out)
        boxes = session.run(UPDATER_EXE, ["-l", "update.exe"], cwd=self.studio)
        self.assertEqual((boxes, session.returncode), ([], 0))
        return out


class WindowsProgramTest(WineTest):
    def test_build_mode_writes_the_exact_format(self):
        files = self.make_source()
        out = self.build_under_wine()
        start, entries = pt.parse_package(self.read(out))
        self.assertEqual(start, os.path.getsize(UPDATER_EXE))
        self.assertEqual(sorted(e.name for e in entries),
                         sorted(".\\" + n.replace("/", "\\") for n in files))
        for e in entries:
            rel = e.name[2:].replace("\\", "/")
            self.assertEqual(e.content, files[rel])
            self.assertEqual(e.stream[:2], b"\x78\x9c")
            st = os.stat(os.path.join(self.studio, "src", rel))
            self.assertEqual(pt.ns_from_filetime(e.times[2]), st.st_mtime_ns)

    def test_apply_yes_installs_files_with_their_three_times(self):
        times = (131000000001234567, 132000000007654321, 133000000000000001)
        package = pt.encode_package([(".\\a.dat", times, b"alpha" * 300),
                                     (".\\新しい\\深い\\b.dat", times, os.urandom(5000))])
        boxes = self.apply(self.exe_with(package))
        self.assertEqual(boxes, [(CAPTION, QUESTION), (CAPTION, COMPLETED)])
        self.assertEqual(session.returncode, 0)
        for rel in ("a.dat", "新しい/深い/b.dat"):
            st = os.stat(os.path.join(self.game, rel))  # before reading moves the access time
            self.assertEqual(st.st_atime_ns, pt.ns_from_filetime(times[1]), rel)
            self.assertEqual(st.st_mtime_ns, pt.ns_from_filetime(times[2]), rel)
        # Read the times back through Wine itself. On a Linux file system Wine
        # has nowhere to keep a creation time and reports the last write.
        os.rename(self.game, os.path.join(self.studio, "src"))
        _, entries = pt.parse_package(self.read(self.build_under_wine()))
        readback = {e.name: e for e in entries}
        self.assertEqual(readback[".\\a.dat"].times, (times[2], times[1], times[2]))
        self.assertEqual(readback[".\\a.dat"].content, b"alpha" * 300)

    def test_answer_no_changes_nothing(self):
        exe = self.exe_with(pt.encode_package([(".\\a.dat", (1, 2, 3), b"a")]))
        before = snapshot(self.game)
        self.assertEqual(self.apply(exe, "n"), [(CAPTION, QUESTION)])
        self.assertEqual(snapshot(self.game), before)

    def test_not_installed_changes_nothing(self):
        os.remove(os.path.join(self.game, "tavro.exe"))
        exe = self.exe_with(pt.encode_package([(".\\a.dat", (1, 2, 3), b"a")]))
        before = snapshot(self.game)
        self.assertEqual(self.apply(exe), [(CAPTION, NOT_INSTALLED)])
        self.assertEqual(session.returncode, 1)
        self.assertEqual(snapshot(self.game), before)

    def test_corrupt_package_shows_the_failure_box(self):
        package = bytearray(pt.encode_package([(".\\a.dat", (1, 2, 3), os.urandom(2000))]))
        package[60] ^= 0xFF
        self.assertEqual(self.apply(self.exe_with(bytes(package))),
                         [(CAPTION, QUESTION), (CAPTION, FAILED)])
        self.assertEqual(session.returncode, 1)

    def test_empty_package_completes_without_change(self):
        before = snapshot(self.game)
        self.assertEqual(self.apply(self.exe_with(b"feof\0\0\0\0")),
                         [(CAPTION, QUESTION), (CAPTION, COMPLETED)])
        self.assertEqual(snapshot(self.game), before)

    def test_hostile_or_busy_target_changes_nothing(self):
        outside = os.path.join(self.tmp, "outside.txt")
        self.write(outside, b"keep")
        os.symlink(self.tmp, os.path.join(self.game, "link"))
        first = (".\\fine.dat", (1, 2, 3), b"fine")
        # The running update's own file stands for a file the game holds open;
        # "link" is a symbolic link that leads out of the game folder.
        for second in ("..\\outside.txt", ".\\CON", ".\\update.exe", ".\\link\\outside.txt"):
            with self.subTest(second):
                package = pt.encode_package([first, (second, (1, 2, 3), b"new")])
                exe = self.exe_with(package, name=os.path.join("game", "update.exe"))
                before = snapshot(self.game)
                self.assertEqual(self.apply(exe), [(CAPTION, QUESTION), (CAPTION, FAILED)])
                self.assertEqual(snapshot(self.game), before)
                self.assertEqual(self.read(outside), b"keep")

    def test_output_that_cannot_be_opened(self):
        boxes = session.run(UPDATER_EXE, ["-l", "missing\\out.exe"], cwd=self.studio)
        self.assertEqual(boxes, [("ERROR", OUTPUT_ERROR)])
        self.assertEqual(session.returncode, 1)


class StudioPipelineTest(WineTest):
    def test_signed_update_applies(self):
        key, cert = os.path.join(self.tmp, "key.pem"), os.path.join(self.tmp, "cert.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                        key, "-out", cert, "-days", "2", "-subj", "/CN=Test Studio"],
                       check=True, capture_output=True)
        unsigned = self.exe_with(pt.encode_package([(".\\a.dat", (1, 2, 3), b"signed")]))
        signed = os.path.join(self.tmp, "signed.exe")
        subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-in", unsigned,
                        "-out", signed], check=True, capture_output=True)
        self.assertEqual(self.apply(signed), [(CAPTION, QUESTION), (CAPTION, COMPLETED)])
        self.assertEqual(session.returncode, 0)
        self.assertEqual(self.read(os.path.join(self.game, "a.dat")), b"signed")

    def test_updatepkg_exe_lists_an_update(self):
        exe = self.exe_with(pt.encode_package([(".\\a.dat", (1, 2, 3), b"listed")]))
        result = subprocess.run(["wine", UPDATEPKG_EXE, "list", exe], env=session.env,
                                capture_output=True, timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(b".\\a.dat", result.stdout)


class CrossPlatformTest(WineTest):
    def test_linux_package_applies_under_wine(self):
        files = self.make_source()
        native_out = os.path.join(self.studio, "native.bin")
        shutil.copyfile(UPDATER, native_out)
        subprocess.run([UPDATER, "-l", native_out], cwd=self.studio, check=True,
                       capture_output=True, timeout=60)
        data = self.read(native_out)
        start, _ = pt.parse_package(data)
        boxes = self.apply(self.exe_with(data[start:]))
        self.assertEqual(boxes, [(CAPTION, QUESTION), (CAPTION, COMPLETED)])
        for rel, content in files.items():
            self.assertEqual(self.read(os.path.join(self.game, rel)), content, rel)

    def test_same_tree_gives_the_same_package_on_both(self):
        # Made in reverse order, so the file system lists them out of sorted order.
        for name in ("zeta.dat", "sub/b.dat", "sub/A.dat", "Beta.dat", "alpha.dat", "_.dat"):
            self.write(os.path.join(self.studio, "src", name), name.encode() * 100)
        native_out = os.path.join(self.studio, "native.bin")
        shutil.copyfile(UPDATER, native_out)
        subprocess.run([UPDATER, "-l", native_out], cwd=self.studio, check=True,
                       capture_output=True, timeout=60)
        _, native = pt.parse_package(self.read(native_out))
        _, wine = pt.parse_package(self.read(self.build_under_wine()))
        # Wine has no creation time on a Linux file system: compare all but that.
        self.assertEqual([(e.name, e.times[1:], e.stream) for e in wine],
                         [(e.name, e.times[1:], e.stream) for e in native])

    def test_wine_package_applies_on_linux(self):
        files = self.make_source()
        data = self.read(self.build_under_wine())
        start, _ = pt.parse_package(data)
        exe = self.exe_with(data[start:], program=UPDATER, name="update.bin")
        result = subprocess.run([exe], cwd=self.game, input=b"y\n", capture_output=True,
                                timeout=60)
        self.assertIn(COMPLETED, result.stderr.decode())
        for rel, content in files.items():
            self.assertEqual(self.read(os.path.join(self.game, rel)), content, rel)


if __name__ == "__main__":
    unittest.main()
