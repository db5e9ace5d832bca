"""Properties of the Windows executable, read from `objdump -p` and its bytes:
a GUI program (PE32 shipped, PE32+ for the 64-bit test build), imports only
from system DLLs, the manifest and icon resources, and the shipped program's
size."""
import os
import re
import subprocess
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
UPDATER_EXE = os.environ.get("UPDATER_EXE",
                             os.path.join(HERE, "..", "..", "out", "windows", "updater.exe"))
UPDATEPKG_EXE = os.environ.get("UPDATEPKG_EXE",
                               os.path.join(HERE, "..", "..", "out", "windows", "updatepkg.exe"))
OBJDUMP = os.environ.get("OBJDUMP", "i686-w64-mingw32-objdump")

ALLOWED_DLLS = {"kernel32.dll", "user32.dll", "shell32.dll", "shlwapi.dll", "msvcrt.dll",
                "advapi32.dll"}
MAX_SIZE = 160 * 1024
WIDE = os.environ.get("WINE_ARCH") == "win64"
RT_ICON, RT_GROUP_ICON, RT_MANIFEST = 3, 14, 24


class WindowsExecutableTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(UPDATER_EXE, "rb") as f:
            cls.data = f.read()
        cls.dump = subprocess.run([OBJDUMP, "-p", UPDATER_EXE], capture_output=True, text=True,
                                  check=True).stdout

    def test_is_a_gui_program_of_its_width_importing_only_system_dlls(self):
        self.assertRegex(self.dump, r"\nMagic\s+020b" if WIDE else r"\nMagic\s+010b")
        self.assertRegex(self.dump, r"\nSubsystem\s+00000002\s+\(Windows GUI\)")
        dlls = {name.lower() for name in re.findall(r"DLL Name: (\S+)", self.dump)}
        self.assertTrue(dlls)
        self.assertLessEqual(dlls, ALLOWED_DLLS)
        tool = subprocess.run([OBJDUMP, "-p", UPDATEPKG_EXE], capture_output=True, text=True,
                              check=True).stdout
        self.assertTrue(WIDE or "large address aware" in tool)  # a 768 MiB coder fits

    def test_no_link_time_so_that_builds_repeat_their_bytes(self):
        for path in (UPDATER_EXE, UPDATEPKG_EXE):
            with open(path, "rb") as f:
                head = f.read(4096)
            pe = int.from_bytes(head[0x3C:0x40], "little")
            self.assertEqual(head[pe:pe + 4], b"PE\0\0")
            self.assertEqual(head[pe + 8:pe + 12], bytes(4), path)  # TimeDateStamp

    def test_size(self):
        print(f"\nupdater.exe: {len(self.data)} bytes")
        self.assertTrue(WIDE or len(self.data) <= MAX_SIZE)  # the shipped 32-bit one

    def test_resources(self):
        # The resource types are the first level of the .rsrc directory tree.
        types = {int(t, 16) for t in re.findall(r"\n\w+   Entry: ID: 0x(\w+)", self.dump)}
        self.assertEqual(types, {RT_ICON, RT_GROUP_ICON, RT_MANIFEST})  # no version resource
        manifest = self.data[self.data.index(b"<assembly"):self.data.index(b"</assembly>")]
        arch = "amd64" if WIDE else "x86"
        for needed in (f'processorArchitecture="{arch}"', 'version="1.0.0.0"', 'type="win32"',
                       "<description>", 'level="highestAvailable"', 'uiAccess="false"'):
            self.assertIn(needed.encode(), manifest)
        self.assertNotIn(b"<dependency", manifest)
        group = self.data.index(b"\0\0\1\0\4\0")  # the icon group: reserved, type 1, 4 images
        sizes = sorted(self.data[group + 6 + 14 * i] or 256 for i in range(4))
        self.assertEqual(sizes, [16, 32, 48, 256])


if __name__ == "__main__":
    unittest.main()
