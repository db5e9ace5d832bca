"""Another game's updater, built from its own product file: its boxes, its
engine program, and (configured for Windows) its manifest and icon."""
import os
import shutil
import subprocess
import tempfile
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
PRODUCT = "tests/product/other.cmake"  # relative: from the source folder
BUILD = os.environ.get("PRODUCT_BUILD", os.path.join(ROOT, "out", "other-product"))


def configure(build, *extra):
    subprocess.run(["cmake", "-S", ROOT, "-B", build, "-G", "Ninja", "-DUPDATER_TESTS=OFF",
                    f"-DUPDATER_PRODUCT={PRODUCT}", *extra], check=True, capture_output=True)


class ProductFileTest(unittest.TestCase):
    def test_another_games_product_file_builds_its_updater(self):
        configure(BUILD, "-DCMAKE_BUILD_TYPE=Release")
        subprocess.run(["cmake", "--build", BUILD, "--target", "updater"], check=True,
                       capture_output=True)
        game = tempfile.mkdtemp(prefix="updater-product-")
        self.addCleanup(shutil.rmtree, game)
        updater = os.path.join(BUILD, "updater")

        def boxes():
            run = subprocess.run([updater], cwd=game, input=b"n\n", capture_output=True)
            return run.stdout.decode() + run.stderr.decode()

        with open(os.path.join(game, "tavro.exe"), "wb") as f:  # the other game's program
            f.write(b"engine")
        self.assertIn("[『Ashgrove 製品版』更新プログラム] 『Ashgrove 製品版』がインストールされていません。",
                      boxes())
        os.rename(os.path.join(game, "tavro.exe"), os.path.join(game, "ashgrove.exe"))
        self.assertIn("『Ashgrove 製品版(2.3)』への更新を行いますか？", boxes())
        # The Windows program's manifest and icon, as configured for it.
        if shutil.which("i686-w64-mingw32-g++"):
            windows = BUILD + "-windows"
            configure(windows, "-DCMAKE_BUILD_TYPE=MinSizeRel",
                      f"-DCMAKE_TOOLCHAIN_FILE={ROOT}/cmake/mingw-i686.cmake")
            with open(os.path.join(windows, "updater.manifest"), encoding="utf-8") as f:
                manifest = f.read()
            for value in ('name="Example.Ashgrove.Updater"', 'version="2.3.0.0"',
                          "<description>Ashgrove update program</description>"):
                self.assertIn(value, manifest)
            with open(os.path.join(windows, "updater.rc"), encoding="utf-8") as f:
                self.assertIn(f'"{ROOT}/resources/updater.ico"', f.read())


if __name__ == "__main__":
    unittest.main()
