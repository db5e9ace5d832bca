"""One update at the 32-bit program's limits: a file past 4 GiB (its size,
offsets and parts past 2^32), a solid block that needs the whole 64 MiB
window of `--level max`, and a patch of that level, built by the 64-bit
updatepkg (as studios do) and installed by the program under test. Prints
the install's peak memory, which docs/safety.md states for the 32-bit
program; asserts no memory or time."""
import os
import random
import shutil
import subprocess
import tempfile
import unittest

from harness import COMPLETED, UPDATER

BUILDER = os.environ.get("BUILDER", os.path.join(os.path.dirname(UPDATER), "updatepkg"))
GiB, MiB = 1 << 30, 1 << 20
BIG = 4 * GiB + 3 * MiB
NEEDED = 3 * BIG  # staged, placed, and room to spare


class LargeUpdate(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="updater-large-")
        self.addCleanup(shutil.rmtree, self.tmp, ignore_errors=True)
        if shutil.disk_usage(self.tmp).free < NEEDED:
            self.skipTest(f"needs {NEEDED >> 30} GiB free in {tempfile.gettempdir()}")

    def tree(self, name, files):
        for path, write in files.items():
            full = os.path.join(self.tmp, name, path)
            os.makedirs(os.path.dirname(full), exist_ok=True)
            with open(full, "wb") as f:
                write(f)
        return os.path.join(self.tmp, name)

    def test_a_file_past_4_gib_the_largest_window_and_a_max_patch_install(self):
        rng = random.Random(54)
        # Random bytes either side of 2^32 and at the end; zeros (sparse) between.
        marks = {0: rng.randbytes(MiB), 4 * GiB - MiB // 2: rng.randbytes(MiB),
                 BIG - MiB: rng.randbytes(MiB)}
        half = rng.randbytes(34 * MiB)  # repeated 34 MiB later: only a 64 MiB window finds it
        program = rng.randbytes(12 * MiB)
        edited = bytearray(program)
        for at in range(0, len(edited), 40_000):
            edited[at:at + 8] = rng.randbytes(8)
        edited[6 * MiB:6 * MiB] = rng.randbytes(300_000)

        def big(f):
            f.truncate(BIG)
            for at, data in marks.items():
                f.seek(at)
                f.write(data)
        old = self.tree("old", {"tavro.exe": lambda f: f.write(b"engine"),
                                "prog.bin": lambda f: f.write(program)})
        new = self.tree("new", {"tavro.exe": lambda f: f.write(b"engine"),
                                "prog.bin": lambda f: f.write(edited),
                                "data/big.bin": big, "data/window.bin": lambda f: f.write(half * 2)})
        update = os.path.join(self.tmp, "update")
        subprocess.run([BUILDER, "build", new, "-o", update, "--level", "max", "--delta-from", old,
                        "--stub", UPDATER], check=True, capture_output=True)
        # The repeat was coded as matches (71 MiB else).
        self.assertLess(os.path.getsize(update) - os.path.getsize(UPDATER), 50 * MiB)
        game = shutil.copytree(old, os.path.join(self.tmp, "game"))
        peak = os.path.join(self.tmp, "peak")
        result = subprocess.run(["/usr/bin/time", "-o", peak, "-f", "%M", update], cwd=game,
                                input=b"y\n", capture_output=True, timeout=1500)
        self.assertEqual(result.returncode, 0, result.stderr[-2000:])
        self.assertIn(COMPLETED, result.stderr.decode())
        with open(peak) as f:
            print(f"peak memory of the install: {int(f.read().split()[-1]) // 1024} MiB")
        for path in ("tavro.exe", "prog.bin", "data/window.bin", "data/big.bin"):
            self.assert_same(os.path.join(new, path), os.path.join(game, path))

    def assert_same(self, expected, got):
        self.assertEqual(os.path.getsize(got), os.path.getsize(expected), got)
        with open(expected, "rb") as a, open(got, "rb") as b:
            while chunk := a.read(16 * MiB):
                self.assertEqual(b.read(len(chunk)), chunk, got)


if __name__ == "__main__":
    unittest.main()
