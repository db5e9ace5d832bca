"""The end-to-end harness: scratch game folders, packages and snapshots, and
the two ways to run the real updater, natively (boxes printed to stderr,
answered on stdin) or the Windows program under Wine (real boxes answered
with the keyboard). Each run returns the boxes shown and the exit code."""
import os
import shutil
import stat
import subprocess
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "..", "..", "out")
UPDATER = os.environ.get("UPDATER", os.path.join(OUT, "native", "updater"))
WINDOWS_OUT = os.path.join(OUT, "windows64" if os.environ.get("WINE_ARCH") == "win64" else "windows")
UPDATER_EXE = os.environ.get("UPDATER_EXE", os.path.join(WINDOWS_OUT, "updater.exe"))
UPDATEPKG_EXE = os.environ.get("UPDATEPKG_EXE", os.path.join(WINDOWS_OUT, "updatepkg.exe"))

CAPTION = "『Tessaran 体験版』更新プログラム"
NOT_INSTALLED = "『Tessaran 体験版』がインストールされていません。"
PLAIN_QUESTION = "『Tessaran 体験版』を更新しますか？"
LABEL = "(1.0.1.0)"  # the program's own version label


def versioned(label):
    """The question, failure and completion texts of an update that installs `label`."""
    return ((f"『Tessaran 体験版{label}』への更新を行いますか？" if label else PLAIN_QUESTION),
            f"『Tessaran 体験版{label}』の更新が失敗しました。", f"『Tessaran{label}』の更新が完了しました。")


QUESTION, FAILED, COMPLETED = versioned(LABEL)


def is_question(text):
    return text == PLAIN_QUESTION or text.endswith("』への更新を行いますか？")
OUTPUT_ERROR = "出力ファイルが開けません。"
UNREADABLE = "ファイルを読み込めません。"
BAD_NAME = "ファイル名が使えません。"
TOO_LONG = "パスが長すぎます。"
NOT_A_FILE = "通常のファイルではありません。"
BAD_TIME = "ファイルの日時が範囲外です。"


def runs_emulated(program):
    """True where the kernel hands the 32-bit Linux program to qemu-i386
    (scripts/register-qemu-i386): the kernel then does not know the program
    runs, and its file is not busy."""
    with open(program, "rb") as f:
        elf32 = f.read(5) == b"\x7fELF\x01"
    return elf32 and os.path.exists("/proc/sys/fs/binfmt_misc/qemu-i386")


def snapshot(root):
    """Every item below root with its bytes, last-write time and mode."""
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


def expected_exit_code(boxes, answer):
    """1 for the ERROR, not-installed and failure boxes and for a copy with no
    package (Yes, then nothing); 3 for No; 0 otherwise."""
    texts = [text for _, text in boxes]
    failed = any(t.endswith("』の更新が失敗しました。") for t in texts)
    if any(c == "ERROR" for c, _ in boxes) or failed or NOT_INSTALLED in texts:
        return 1
    asked = any(is_question(t) for t in texts)
    if asked and answer != "y":
        return 3
    return 1 if asked and not any(t.endswith("』の更新が完了しました。") for t in texts) else 0


class NativeRunner:
    program = UPDATER
    log = ""  # what the last run sent to stderr: boxes and the debug channel

    def command(self, exe, *args):
        """The command line and environment that run a console program."""
        return [exe, *args], None

    def run(self, exe, args, cwd, answer="y"):
        result = subprocess.run([exe, *args], cwd=cwd, input=f"{answer}\n".encode(),
                                capture_output=True, timeout=300)
        assert result.stdout == b""
        boxes = []
        self.log = result.stderr.decode("utf-8", "replace")
        for line in self.log.splitlines():
            if line.startswith("[") and "] " in line:
                caption, text = line[1:].split("] ", 1)
                boxes.append((caption, text.split(" [y/n]")[0]))
            elif boxes and boxes[-1][0] == "ERROR":  # the path named on the next line
                boxes[-1] = ("ERROR", boxes[-1][1] + "\n" + line)
        return boxes, result.returncode


class WineRunner:
    program = UPDATER_EXE
    session = None
    log = None  # Wine's debug channel is not read

    @classmethod
    def start(cls):
        if cls.session is None:
            from wine_session import WineSession
            cls.session = WineSession(os.path.join(WINDOWS_OUT, "wine"))
        return cls.session

    def command(self, exe, *args):
        session = self.start()
        return [session.loader, exe, *args], session.env

    def run(self, exe, args, cwd, answer="y"):
        boxes = self.start().run(exe, args, cwd=cwd,
                                 answer=lambda c, text: answer if is_question(text) else "Return")
        return boxes, self.session.returncode


class OnWine:
    """Runs a test class against the Windows programs under Wine."""
    runner = WineRunner()

    @classmethod
    def setUpClass(cls):
        from wine_session import ARCH, wine_can_run
        if ARCH == "win32" and not wine_can_run():
            raise unittest.SkipTest("this machine cannot run 32-bit programs, so 32-bit Wine "
                                    "cannot start")

    @classmethod
    def tearDownClass(cls):
        if WineRunner.session:
            WineRunner.session.close()
            WineRunner.session = None


class GameFolder(unittest.TestCase):
    """A scratch folder holding an installed game, a studio with src/ and a
    folder outside the game that nothing may touch."""
    runner = NativeRunner()

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="updater-e2e-")
        self.game, self.studio, self.outside = (
            os.path.join(self.tmp, n) for n in ("game", "studio", "outside"))
        self.write(os.path.join(self.game, "tavro.exe"), b"engine")
        self.write(os.path.join(self.game, "a.dat"), b"old a")
        self.write(os.path.join(self.outside, "keep.txt"), b"keep")
        os.makedirs(os.path.join(self.studio, "src"))

    def tearDown(self):
        subprocess.run(["chmod", "-R", "u+rwx", self.tmp], capture_output=True)
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

    def update_exe(self, package=b"", name="update.exe", program=None):
        """A copy of the program with `package` appended."""
        exe = os.path.join(self.tmp, name)
        shutil.copyfile(program or self.runner.program, exe)
        os.chmod(exe, 0o755)
        with open(exe, "ab") as f:
            f.write(package)
        return exe

    def run_updater(self, exe, args, cwd, answer="y"):
        boxes, code = self.runner.run(exe, args, cwd, answer)
        self.assertEqual(code, expected_exit_code(boxes, answer), boxes)
        return boxes

    def apply(self, exe, answer="y"):
        return self.run_updater(exe, [], self.game, answer)

    def build(self, output=None, option="-l", cwd=None):
        """Runs build mode in the studio; the output is named relative to it."""
        output = output or self.update_exe(name=os.path.join("studio", "built.exe"))
        cwd = cwd or self.studio
        name = os.path.relpath(output, cwd) if os.path.isabs(output) else output
        return output, self.run_updater(self.runner.program, [option, name], cwd)

    def assert_applies_nothing(self, exe, last_box, answer="y", cause=None):
        """Applying shows `last_box` last (or, a list, exactly those boxes) and
        changes nothing in or out of the game; the debug channel names `cause`
        (where it is read: natively)."""
        before = snapshot(self.game), snapshot(self.outside)
        boxes = self.apply(exe, answer)
        if isinstance(last_box, list):
            self.assertEqual(boxes, last_box)
        else:
            self.assertEqual(boxes[-1:], [last_box] if last_box else [])
        if cause and self.runner.log is not None:
            self.assertIn(cause, self.runner.log)
        self.assertEqual((snapshot(self.game), snapshot(self.outside)), before)
        self.assertFalse(os.path.exists(os.path.join(self.game, ".update-staging")))

    def assert_build_fails(self, text, named, output=None, cwd=None):
        """The build shows `text` naming `named`; the output is as it was, or
        gone when the build made it."""
        output = output or self.update_exe(name="built.exe")
        path = os.path.join(cwd or self.studio, output)
        before = self.read(path) if os.path.isfile(path) else None
        existed = os.path.exists(path)
        _, boxes = self.build(output, cwd=cwd)
        self.assertEqual(len(boxes), 1)
        self.assertEqual(boxes[0][0], "ERROR")
        self.assertTrue(boxes[0][1].startswith(text) and named in boxes[0][1], boxes)
        if before is not None:
            self.assertEqual(self.read(path), before)
        self.assertEqual(os.path.exists(path), existed)
