"""Properties of the Windows executable: a GUI program (PE32 shipped, PE32+
for the 64-bit test build), imports only from system DLLs, the manifest and
icon resources, and the shipped program's size."""
import os
import re
import struct
import subprocess
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
UPDATER_EXE = os.environ.get("UPDATER_EXE",
                             os.path.join(HERE, "..", "..", "out", "windows", "updater.exe"))
OBJDUMP = os.environ.get("OBJDUMP", "i686-w64-mingw32-objdump")

ALLOWED_DLLS = {"kernel32.dll", "user32.dll", "shell32.dll", "shlwapi.dll", "msvcrt.dll",
                "advapi32.dll"}
MAX_SIZE = 150 * 1024
WIDE = os.environ.get("WINE_ARCH") == "win64"
RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24


class PeImage:
    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        assert data[pe:pe + 4] == b"PE\0\0"
        sections, opt_size = struct.unpack_from("<H12xH", data, pe + 6)
        self.optional = pe + 24
        self.magic, = struct.unpack_from("<H", data, self.optional)
        self.subsystem, = struct.unpack_from("<H", data, self.optional + 68)
        self.sections = []
        for i in range(sections):
            base = self.optional + opt_size + 40 * i
            name = data[base:base + 8].rstrip(b"\0").decode()
            vsize, vaddr, rawsize, rawptr = struct.unpack_from("<IIII", data, base + 8)
            self.sections.append((name, vaddr, vsize, rawptr))

    def _rsrc(self):
        return next(s for s in self.sections if s[0] == ".rsrc")

    def _directory(self, offset):
        """Entries (id, is_directory, offset) of the resource directory at offset."""
        _, vaddr, _, rawptr = self._rsrc()
        named, ids = struct.unpack_from("<HH", self.data, rawptr + offset + 12)
        out = []
        for i in range(named + ids):
            ident, target = struct.unpack_from("<II", self.data, rawptr + offset + 16 + 8 * i)
            out.append((ident, bool(target & 0x80000000), target & 0x7FFFFFFF))
        return out

    def resources(self):
        """{type: [bytes of each resource of that type]}"""
        _, vaddr, _, rawptr = self._rsrc()
        out = {}
        for rtype, _, names in self._directory(0):
            for _, _, langs in self._directory(names):
                for _, _, leaf in self._directory(langs):
                    rva, size = struct.unpack_from("<II", self.data, rawptr + leaf)
                    start = rawptr + rva - vaddr
                    out.setdefault(rtype, []).append(self.data[start:start + size])
        return out


class WindowsExecutableTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(UPDATER_EXE, "rb") as f:
            cls.data = f.read()
        cls.pe = PeImage(cls.data)

    def test_is_a_gui_program_of_its_width(self):
        self.assertEqual(self.pe.magic, 0x20B if WIDE else 0x10B)  # PE32+ or PE32
        self.assertEqual(self.pe.subsystem, 2)  # Windows GUI

    def test_imports_only_system_dlls(self):
        dump = subprocess.run([OBJDUMP, "-p", UPDATER_EXE], capture_output=True, text=True,
                              check=True).stdout
        dlls = {name.lower() for name in re.findall(r"DLL Name: (\S+)", dump)}
        self.assertTrue(dlls)
        self.assertLessEqual(dlls, ALLOWED_DLLS)

    def test_size(self):
        print(f"\nupdater.exe: {len(self.data)} bytes")
        self.assertTrue(WIDE or len(self.data) <= MAX_SIZE)  # the shipped 32-bit one

    def test_resources(self):
        res = self.pe.resources()
        self.assertNotIn(RT_VERSION, res)
        self.assertEqual(set(res), {RT_ICON, RT_GROUP_ICON, RT_MANIFEST})
        manifest = res[RT_MANIFEST][0].decode()
        arch = "amd64" if WIDE else "x86"
        for needed in (f'processorArchitecture="{arch}"', 'version="1.0.0.0"', 'type="win32"',
                       "<description>", 'level="highestAvailable"', 'uiAccess="false"'):
            self.assertIn(needed, manifest)
        self.assertNotIn("<dependency", manifest)
        group = res[RT_GROUP_ICON][0]
        count, = struct.unpack_from("<H", group, 4)
        sizes = sorted(group[6 + 14 * i] or 256 for i in range(count))
        self.assertEqual(sizes, [16, 32, 48, 256])


if __name__ == "__main__":
    unittest.main()
