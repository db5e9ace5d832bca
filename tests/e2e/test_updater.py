"""End-to-end tests: the real updater builds packages and applies them in
temporary game folders, answering its questions on standard input."""
import os
import shutil
import stat
import struct
import subprocess
import tempfile
import unittest
import zlib

import package_tool as pt

UPDATER = os.environ.get("UPDATER", os.path.join(
    os.path.dirname(__file__), "..", "..", "out", "native", "updater"))

CAPTION = "『Tessaran 体験版』更新プログラム"
NOT_INSTALLED = "『Tessaran 体験版』がインストールされていません。"
QUESTION = "『Tessaran 体験版(1.0.1.0)』への更新を行いますか？"
FAILED = "『Tessaran 体験版(1.0.1.0)』の更新が失敗しました。"
COMPLETED = "『Tessaran(1.0.1.0)』の更新が完了しました。"
OUTPUT_ERROR = "出力ファイルが開けません。"


def box(text, caption=CAPTION):
    return f"[{caption}] {text}"


def expected_exit_code(log):
    """0 when the build finished, the update completed or the player said No;
    1 for the ERROR, not-installed and failure boxes and a copy with no package."""
    boxes = [line for line in log.splitlines() if line.startswith("[")]
    if any(line.startswith("[ERROR]") or FAILED in line or NOT_INSTALLED in line
           for line in boxes):
        return 1
    said_yes = any(QUESTION in line and line.rstrip().endswith(("y", "yes")) for line in boxes)
    return 1 if said_yes and not any(COMPLETED in line for line in boxes) else 0


def snapshot(root):
    """Every file below root with its bytes and times, for nothing-changed checks."""
    out = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            path = os.path.join(dirpath, name)
            st = os.lstat(path)
            data = None
            if stat.S_ISREG(st.st_mode):
                with open(path, "rb") as f:
                    data = f.read()
            out[os.path.relpath(path, root)] = (data, st.st_mtime_ns, st.st_mode)
    return out


class GameFolderTest(unittest.TestCase):
    """A scratch folder holding an installed game and a studio with src/."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="updater-e2e-")
        self.game = os.path.join(self.tmp, "game")
        self.studio = os.path.join(self.tmp, "studio")
        os.makedirs(self.game)
        os.makedirs(os.path.join(self.studio, "src"))
        self.write(os.path.join(self.game, "tavro.exe"), b"engine")

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    @staticmethod
    def write(path, data, ns=None):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        if ns is not None:
            os.utime(path, ns=ns)

    @staticmethod
    def read(path):
        with open(path, "rb") as f:
            return f.read()


class UpdaterTest(GameFolderTest):
    def run_updater(self, args, cwd, answer="", exe=UPDATER, argv0=None):
        result = subprocess.run([argv0 or exe] + args, executable=exe, cwd=cwd,
                                input=answer.encode(), capture_output=True, timeout=120)
        log = result.stderr.decode("utf-8")
        self.assertEqual(result.returncode, expected_exit_code(log), log)
        self.assertEqual(result.stdout, b"")
        return log

    def update_exe(self, package=None):
        """A copy of the program, with `package` appended when given."""
        exe = os.path.join(self.tmp, "update.bin")
        shutil.copyfile(UPDATER, exe)
        os.chmod(exe, 0o755)
        if package is not None:
            with open(exe, "ab") as f:
                f.write(package)
        return exe

    def build(self, output=None):
        output = output or self.update_exe()
        log = self.run_updater(["-l", output], cwd=self.studio)
        return output, log

    def apply(self, exe, answer="y\n"):
        return self.run_updater([], cwd=self.game, answer=answer, exe=exe)


class BuildAndApplyTest(UpdaterTest):
    def make_source(self):
        files = {
            "data2.dat": b"top level file",
            "tavro.exe": b"new engine",
            "empty.dat": b"",
            "sub/table.dat": os.urandom(4096),
            "sub/deeper/large.bin": os.urandom(100_000) + b"x" * 200_000,
            "音声/台詞 01.ogg": os.urandom(1024),
            "B-upper.txt": b"ordinal order puts upper case first",
        }
        times = {}
        for i, (name, data) in enumerate(files.items()):
            ns = (1_600_000_000 + i * 1000) * 10**9 + 1234500 + i * 100
            times[name] = (ns, ns + 7 * 10**9 + 300)
            self.write(os.path.join(self.studio, "src", name), data, ns=times[name])
        return files, times

    def test_built_package_is_exact_and_applies_with_times(self):
        files, times = self.make_source()
        original = self.read(UPDATER)
        exe, log = self.build()
        data = self.read(exe)
        self.assertEqual(data[:len(original)], original)
        start, entries = pt.parse_package(data)
        self.assertEqual(start, len(original))
        names = [e.name for e in entries]
        self.assertEqual(names, [
            ".\\B-upper.txt", ".\\data2.dat", ".\\empty.dat", ".\\sub\\deeper\\large.bin",
            ".\\sub\\table.dat", ".\\tavro.exe", ".\\音声\\台詞 01.ogg"])
        for e in entries:
            rel = e.name[2:].replace("\\", "/")
            self.assertEqual(e.content, files[rel])
            self.assertEqual(e.stream[:2], b"\x78\x9c")
            self.assertEqual(e.stream, zlib.compress(files[rel], -1))
            atime, mtime = times[rel]
            self.assertEqual(e.times[1], pt.filetime_from_ns(atime))
            self.assertEqual(e.times[2], pt.filetime_from_ns(mtime))
        self.assertEqual(next(e for e in entries if e.name == ".\\empty.dat").stream,
                         bytes.fromhex("789c030000000001"))
        self.assertIn("<" + os.path.join(self.studio, "src", "sub").replace("/", "\\") + ">",
                      log)

        log = self.apply(exe)
        self.assertEqual([line for line in log.splitlines() if line.startswith("[")],
                         [box(QUESTION) + " [y/n] y", box(COMPLETED)])
        self.assertIn(box(COMPLETED), log)
        for rel, content in files.items():
            path = os.path.join(self.game, rel)
            st = os.stat(path)  # before reading, which may move the access time
            self.assertEqual((st.st_atime_ns, st.st_mtime_ns), times[rel], rel)
            self.assertEqual(self.read(path), content, rel)

    def test_package_from_another_writer_applies_exactly(self):
        ft = (133000000001234567, 133000000101234568, 132000000000000009)
        package = pt.encode_package([
            (".\\a.dat", ft, b"alpha" * 1000),
            (".\\new\\dir\\b.dat", ft, os.urandom(3000)),
            ("plain.dat", ft, b""),
            (".\\z\x00ero.dat", ft, b"zero units are dropped"),
        ])
        exe = self.update_exe(package)
        log = self.apply(exe)
        self.assertIn(box(COMPLETED), log)
        self.assertEqual(self.read(os.path.join(self.game, "a.dat")), b"alpha" * 1000)
        self.assertEqual(self.read(os.path.join(self.game, "plain.dat")), b"")
        self.assertEqual(self.read(os.path.join(self.game, "zero.dat")), b"zero units are dropped")
        st = os.stat(os.path.join(self.game, "new", "dir", "b.dat"))
        self.assertEqual(st.st_atime_ns, pt.ns_from_filetime(ft[1]))
        self.assertEqual(st.st_mtime_ns, pt.ns_from_filetime(ft[2]))

    def test_second_package_appended_is_the_one_applied(self):
        self.write(os.path.join(self.studio, "src", "v.dat"), b"first")
        exe, _ = self.build()
        self.write(os.path.join(self.studio, "src", "v.dat"), b"second")
        self.build(exe)
        self.apply(exe)
        self.assertEqual(self.read(os.path.join(self.game, "v.dat")), b"second")

    def test_missing_source_gives_an_empty_package(self):
        os.rmdir(os.path.join(self.studio, "src"))
        exe, _ = self.build()
        self.assertEqual(self.read(exe)[-8:], b"feof\0\0\0\0")
        before = snapshot(self.game)
        log = self.apply(exe)
        self.assertIn(box(QUESTION), log)
        self.assertIn(box(COMPLETED), log)
        self.assertEqual(snapshot(self.game), before)

    def test_output_inside_src_is_not_packed_into_itself(self):
        self.write(os.path.join(self.studio, "src", "a.dat"), b"a")
        output = os.path.join(self.studio, "src", "update.bin")
        shutil.copyfile(UPDATER, output)
        self.build(output)
        _, entries = pt.parse_package(self.read(output))
        self.assertEqual([e.name for e in entries], [".\\a.dat"])

    def test_program_named_without_its_path_finds_its_package(self):
        exe = self.update_exe(pt.encode_package([(".\\n.dat", (0, 0, 0), b"n")]))
        log = self.run_updater([], cwd=self.game, answer="y\n", exe=exe, argv0="update")
        self.assertIn(box(COMPLETED), log)
        self.assertEqual(self.read(os.path.join(self.game, "n.dat")), b"n")


class ApplyRefusalTest(UpdaterTest):
    def setUp(self):
        super().setUp()
        self.package = pt.encode_package([(".\\a.dat", (1, 2, 3), b"new"),
                                          (".\\sub\\b.dat", (1, 2, 3), b"new b")])
        self.write(os.path.join(self.game, "a.dat"), b"old")

    def assert_unchanged_after(self, exe, answer, expected_boxes):
        before = snapshot(self.game)
        log = self.apply(exe, answer)
        self.assertEqual(snapshot(self.game), before)
        self.assertEqual([line for line in log.splitlines() if line.startswith("[")],
                         expected_boxes)

    def test_answer_no_changes_nothing(self):
        self.assert_unchanged_after(self.update_exe(self.package), "n\n",
                                    [box(QUESTION) + " [y/n] n"])

    def test_end_of_input_is_no(self):
        self.assert_unchanged_after(self.update_exe(self.package), "", [box(QUESTION) + " [y/n] "])

    def test_unclear_answer_asks_again(self):
        log = self.apply(self.update_exe(self.package), "maybe\nyes\n")
        self.assertEqual(log.count("[y/n]"), 2)
        self.assertIn(box(COMPLETED), log)

    def test_game_not_installed_changes_nothing(self):
        os.remove(os.path.join(self.game, "tavro.exe"))
        self.assert_unchanged_after(self.update_exe(self.package), "y\n", [box(NOT_INSTALLED)])

    def test_copy_without_package_ends_silently(self):
        self.assert_unchanged_after(self.update_exe(), "y\n", [box(QUESTION) + " [y/n] y"])

    def test_other_command_lines_run_apply_mode(self):
        os.remove(os.path.join(self.game, "tavro.exe"))
        for args in (["-l", "out", "extra"], ["/l", "out"], ["-l"], ["-x", "out"]):
            log = self.run_updater(args, cwd=self.game, answer="y\n")
            self.assertIn(box(NOT_INSTALLED), log)
            self.assertFalse(os.path.exists(os.path.join(self.game, "out")))

    def damaged(self, mutate):
        data = bytearray(self.package)
        mutate(data)
        return self.update_exe(bytes(data))

    def test_damaged_packages_show_the_failure_box(self):
        stream = self.package.index(b"\x78\x9c")
        cases = {
            "flipped stream byte": lambda d: d.__setitem__(stream + 5, d[stream + 5] ^ 0xFF),
            "flipped adler byte": lambda d: d.__setitem__(stream + 12, d[stream + 12] ^ 0x01),
            "parent name": lambda d: d.__setitem__(slice(6, 12), ".\0.\0\\\0".encode()),
        }
        for what, mutate in cases.items():
            with self.subTest(what):
                log = self.apply(self.damaged(mutate))
                self.assertIn(box(FAILED), log)
                self.assertNotIn(COMPLETED, log)

    def test_stream_cut_short_is_a_failure(self):
        record = pt.encode_record(".\\cut.dat", (1, 2, 3), os.urandom(5000))
        cut = record[:-100]
        exe = self.update_exe(cut + b"feof" + struct.pack("<I", len(cut)))
        log = self.apply(exe)
        self.assertIn(box(FAILED), log)
        self.assertNotIn(COMPLETED, log)


class BuildFailureTest(UpdaterTest):
    def assert_build_fails(self, output, text):
        before = self.read(output) if os.path.isfile(output) else None
        log = self.run_updater(["-l", output], cwd=self.studio)
        self.assertIn(box(text, "ERROR"), log)
        if before is not None:
            self.assertEqual(self.read(output), before)

    def test_output_that_cannot_be_opened(self):
        self.assert_build_fails(os.path.join(self.tmp, "missing", "out.bin"), OUTPUT_ERROR)
        self.assert_build_fails(self.tmp, OUTPUT_ERROR)
        self.assert_build_fails("x" * 300, OUTPUT_ERROR)

    def test_full_disk(self):
        self.write(os.path.join(self.studio, "src", "a.dat"), os.urandom(100_000))
        self.assert_build_fails("/dev/full", OUTPUT_ERROR)

    def test_unreadable_source_names_the_file_and_restores_the_output(self):
        self.write(os.path.join(self.studio, "src", "a.dat"), b"fine")
        os.symlink("/proc/self/mem", os.path.join(self.studio, "src", "b.dat"))
        output = self.update_exe()
        before = self.read(output)
        log = self.run_updater(["-l", output], cwd=self.studio)
        self.assertIn("[ERROR] ファイルを読み込めません。", log)
        self.assertIn("b.dat", log)
        self.assertEqual(self.read(output), before)

    def test_path_too_long_names_the_file(self):
        deep = os.path.join(self.studio, "src", *(["d" * 50] * 5), "f.dat")
        self.write(deep, b"deep")
        output = self.update_exe()
        before = self.read(output)
        log = self.run_updater(["-l", output], cwd=self.studio)
        self.assertIn("[ERROR] パスが長すぎます。", log)
        self.assertEqual(self.read(output), before)


if __name__ == "__main__":
    unittest.main()
