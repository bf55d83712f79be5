#!/usr/bin/env python3
"""Reads built programs' PE headers, imports and resources as Windows reads
them before the program runs, without running it: no Wine needed.

    headers_test.py MACHINE:PATH... [unittest options]

MACHINE is x86 or x86_64.
"""
import os
import re
import struct
import sys
import unittest

import pefile

MACHINES = {"x86": (pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"], 0x10B),
            "x86_64": (pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"], 0x20B)}
PROGRAMS = []

RT_ICON, RT_RCDATA, RT_GROUP_ICON, RT_MANIFEST = 3, 10, 14, 24
ICON_GROUP_ID, OK_PICTURE_ID, MANIFEST_ID = 1, 101, 1

# All KnownDLLs, which Windows never looks for beside the program; anything
# else, such as the signature checker, is loaded from System32 at run time.
KNOWN_DLLS = {"advapi32.dll", "gdi32.dll", "kernel32.dll", "msvcrt.dll", "ole32.dll",
              "shlwapi.dll", "user32.dll"}
# Imports a KnownDLL has that would still load a DLL someone else chose: those
# Windows forwards to a DLL outside them, which the loader then looks for beside
# the program first, and COM's activation by class, which also reads the user's
# own registrations (HKCU\Software\Classes) when the program runs elevated.
REFUSED = (
    ("advapi32.dll", r"SystemFunction0(36|40|41)", "forwarded to CRYPTBASE.dll"),
    ("advapi32.dll", r"SystemFunction\d+", "forwarded to CRYPTSP.dll"),
    ("advapi32.dll", r"Crypt\w+", "a CryptoAPI provider function, forwarded to CRYPTSP.dll"),
    ("ole32.dll", r"Co(CreateInstance(Ex)?|GetClassObject)",
     "finds its server through the class registry, the user's own included"),
)
LOAD_CONFIG = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG"]
GUARD_FLAGS_END = {"x86": 0x5C, "x86_64": 0x94}
LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x800


def segments(jpeg):
    """The markers up to the start of scan, and the baseline frame's (precision,
    height, width, components); the compressed data is not read."""
    markers, frame, position = [], None, 2
    while position + 4 <= len(jpeg):
        if jpeg[position] != 0xFF:
            raise ValueError(f"no marker at {position}")
        marker = jpeg[position + 1]
        if marker == 0xFF:
            position += 1
            continue
        markers.append(marker)
        if marker == 0xDA:
            return markers, frame
        (length,) = struct.unpack_from(">H", jpeg, position + 2)
        if length < 2 or position + 2 + length > len(jpeg):
            raise ValueError(f"segment {marker:02X} overruns the picture")
        if marker == 0xC0 and length >= 8:
            frame = struct.unpack_from(">BHHB", jpeg, position + 4)
        position += 2 + length
    raise ValueError("no start of scan")


class ProgramTest:
    """Every program's checks; machine and path come from load_tests."""

    @classmethod
    def setUpClass(cls):
        cls.pe = pefile.PE(cls.path)
        cls.header = cls.pe.OPTIONAL_HEADER

    def resource(self, kind, ident):
        for entry in self.pe.DIRECTORY_ENTRY_RESOURCE.entries:
            found = [named for named in entry.directory.entries if named.id == ident]
            if entry.id == kind and found:
                data = found[0].directory.entries[0].data.struct
                return self.pe.get_data(data.OffsetToData, data.Size)
        self.fail(f"resource {kind}/{ident} missing")

    def icon(self):
        group = self.resource(RT_GROUP_ICON, ICON_GROUP_ID)
        return group, self.resource(RT_ICON, struct.unpack_from("<12xH", group, 6)[0])

    def test_version_strings_name_the_product_and_its_version(self):
        tables = [table for info in self.pe.FileInfo[0] if info.Key == b"StringFileInfo"
                  for table in info.StringTable if table.LangID.upper() == b"040904B0"]
        self.assertEqual(len(tables), 1, "no 040904B0 string table")
        expected = {"ProductName": "Update", "FileDescription": "Zimlex Update",
                    "FileVersion": "1.00", "ProductVersion": "1.00",
                    "InternalName": "ZimlexUpdate", "OriginalFilename": "ZimlexUpdate.exe"}
        entries = {key.decode(): value.decode() for key, value in tables[0].entries.items()}
        self.assertEqual({key: entries.get(key) for key in expected}, expected)

    def test_fixed_info_says_version_one_of_a_windows_application(self):
        fixed = self.pe.VS_FIXEDFILEINFO[0]
        self.assertEqual((fixed.Signature, fixed.FileVersionMS, fixed.FileVersionLS,
                          fixed.ProductVersionMS, fixed.ProductVersionLS, fixed.FileType),
                         (0xFEEF04BD, 0x00010000, 0, 0x00010000, 0, 1))  # VFT_APP
        self.assertTrue(fixed.FileOS & 0x4, "not VOS__WINDOWS32")

    def test_translation_is_us_english_unicode(self):
        found = [(var.ValueLength, var.entry) for info in self.pe.FileInfo[0]
                 if info.Key == b"VarFileInfo" for var in info.Var]
        self.assertEqual(found, [(4, {b"Translation": "0x0409 0x04b0"})])

    def test_icon_group_holds_one_sixteen_colour_image(self):
        group, image = self.icon()
        kind, count = struct.unpack_from("<2xHH", group)
        width, height, colours, planes, bits, size = struct.unpack_from("<BBBxHHI", group, 6)
        self.assertEqual((kind, count), (1, 1))
        self.assertEqual((width, height, colours, planes, bits), (32, 32, 16, 1, 4))
        self.assertEqual(len(image), size)

    def test_icon_is_a_four_bit_dib_with_mask_showing_a_cube_on_clear(self):
        _, dib = self.icon()
        # Colour rows and mask rows together make the height twice the width.
        self.assertEqual(struct.unpack_from("<IiiHHI", dib), (40, 32, 64, 1, 4, 0))  # BI_RGB
        colours, mask = 40 + 16 * 4, 40 + 16 * 4 + 16 * 32
        self.assertEqual(len(dib), mask + 4 * 32)

        def clear(x, y):
            return dib[mask + (31 - y) * 4 + x // 8] >> (7 - x % 8) & 1

        def colour(x, y):
            pair = dib[colours + (31 - y) * 16 + x // 2]
            blue, green, red = dib[40 + 4 * (pair >> 4 if x % 2 == 0 else pair & 15):][:3]
            return {"red": red, "green": green, "blue": blue}

        for corner in ((0, 0), (31, 0), (0, 31), (31, 31)):
            self.assertTrue(clear(*corner), f"corner {corner} is not clear")
        for point, face in (((16, 8), "green"), ((8, 18), "red"), ((24, 18), "blue")):
            self.assertFalse(clear(*point), f"face at {point} is clear")
            channels = colour(*point)
            brightest = max(channels, key=channels.get)
            self.assertEqual(brightest, face, f"face at {point}: {channels}")
            self.assertEqual(list(channels.values()).count(channels[face]), 1, channels)

    def test_ok_picture_is_a_small_complete_baseline_jfif_without_metadata(self):
        jpeg = self.resource(RT_RCDATA, OK_PICTURE_ID)
        self.assertEqual(jpeg[:4], b"\xFF\xD8\xFF\xE0")
        self.assertEqual(jpeg[6:13], b"JFIF\0\x01\x01", "not JFIF 1.01")
        self.assertEqual(jpeg[-2:], b"\xFF\xD9", "no end-of-image marker")
        self.assertTrue(900 <= len(jpeg) <= 1600, f"{len(jpeg)} bytes")
        markers, frame = segments(jpeg)
        self.assertNotIn(0xC2, markers, "progressive frame present")
        self.assertEqual(frame, (8, 42, 87, 3), "baseline precision, height, width, components")
        for marker, what in ((0xE1, "EXIF or XMP"), (0xE2, "ICC profile"), (0xFE, "comment")):
            self.assertNotIn(marker, markers, f"{what} present")
        self.assertEqual(markers.count(0xE0), 1, "thumbnail or second JFIF segment present")

    def test_manifest_asks_for_administrator_and_dpi_awareness(self):
        manifest = self.resource(RT_MANIFEST, MANIFEST_ID).decode("utf-8")
        self.assertIn('level="requireAdministrator"', manifest)
        self.assertIn(">true</dpiAware>", manifest)
        self.assertNotIn("Microsoft.Windows.Common-Controls", manifest, "uses no common controls")

    def test_headers_describe_a_gui_program_for_its_target_with_aslr_and_dep(self):
        self.assertEqual((self.pe.FILE_HEADER.Machine, self.header.Magic), MACHINES[self.machine])
        self.assertEqual(self.header.Subsystem, 2)  # IMAGE_SUBSYSTEM_WINDOWS_GUI
        self.assertTrue(self.header.IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE, "no ASLR")
        self.assertTrue(self.header.IMAGE_DLLCHARACTERISTICS_NX_COMPAT, "no DEP")

    # One use of a throwing library function brings the runtime's exceptions, its
    # unwinder and its demangler along: some 240 KB beside a program of some 65.
    def test_carries_no_exception_runtime(self):
        self.assertLess(os.path.getsize(self.path), 96 * 1024)
        frames = [s for s in self.pe.sections if s.Name.rstrip(b"\0") == b".eh_fram"]
        self.assertLess(sum(s.Misc_VirtualSize for s in frames), 8 * 1024, "unwind tables")

    # Windows treats a program for subsystem 4.0 as a legacy one, and one that is
    # not Terminal-Server aware gets the compatibility shims of old programs.
    def test_headers_describe_a_program_for_windows_7_and_later(self):
        h = self.header
        self.assertEqual((h.MajorSubsystemVersion, h.MinorSubsystemVersion,
                          h.MajorOperatingSystemVersion, h.MinorOperatingSystemVersion),
                         (6, 1, 6, 1))
        self.assertTrue(h.IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE)

    def test_imports_only_known_dlls_and_none_of_their_refused_functions(self):
        imports = {entry.dll.decode().lower(): [i.name.decode() if i.name else f"#{i.ordinal}"
                                                for i in entry.imports]
                   for entry in self.pe.DIRECTORY_ENTRY_IMPORT}
        listing = "\n".join(f"  {dll}: {' '.join(names)}" for dll, names in imports.items())
        self.assertEqual(set(imports), KNOWN_DLLS, f"imports:\n{listing}")
        refused = [next((f"  {dll} {name}: {reason}" for owner, pattern, reason in REFUSED
                         if owner == dll and re.fullmatch(pattern, name)), None)
                   for dll, names in imports.items() for name in names]
        refused = [line for line in refused if line]
        if refused:
            self.fail("refused imports:\n" + "\n".join(refused)
                      + f"\nimports:\n{listing}")

    # Without these flags the loader looks for the DLLs a system DLL loads
    # later beside the program first, where anyone who can write there wins.
    def test_load_configuration_limits_dependent_loads_to_system32(self):
        directory = self.header.DATA_DIRECTORY[LOAD_CONFIG]
        self.assertTrue(directory.VirtualAddress and directory.Size, "no load configuration")
        config = self.pe.DIRECTORY_ENTRY_LOAD_CONFIG.struct
        self.assertEqual(directory.Size, config.Size, "directory size differs from the structure's")
        # The loader reads the flags only from a structure that reaches GuardFlags.
        self.assertEqual(config.Size, GUARD_FLAGS_END[self.machine], "load configuration's size")
        self.assertEqual(getattr(config, "GuardFlags", None), 0, "GuardFlags")
        # pefile's older name for the field is Reserved1.
        flags = getattr(config, "DependentLoadFlags", getattr(config, "Reserved1", None))
        self.assertEqual(flags, LOAD_LIBRARY_SEARCH_SYSTEM32, "DependentLoadFlags")


class X86ProgramTest:
    """What only a 32-bit program has: 64-bit unwinding is table-based and has
    no handler list to declare."""

    def test_declares_no_exception_handlers(self):
        self.assertTrue(self.header.IMAGE_DLLCHARACTERISTICS_NO_SEH, "NO_SEH not set")
        config = getattr(self.pe, "DIRECTORY_ENTRY_LOAD_CONFIG", None)
        self.assertIsNotNone(config, "no load configuration")
        self.assertEqual(getattr(config.struct, "SEHandlerCount", 0), 0, "SafeSEH handlers")


def load_tests(loader, tests, pattern):
    suite = unittest.TestSuite()
    for machine, path in PROGRAMS:
        bases = (X86ProgramTest,) if machine == "x86" else ()
        case = type(machine, (*bases, ProgramTest, unittest.TestCase),
                    {"machine": machine, "path": path})
        suite.addTests(loader.loadTestsFromTestCase(case))
    return suite


def main():
    named = [arg for arg in sys.argv[1:] if re.match(r"\w+:", arg)]
    rest = [arg for arg in sys.argv[1:] if arg not in named]
    for setting in named or [""]:
        machine, _, path = setting.partition(":")
        if machine not in MACHINES or not path:
            raise SystemExit(f"name the program as MACHINE:PATH, MACHINE one of "
                             f"{', '.join(MACHINES)}; not {setting!r}")
        PROGRAMS.append((machine, path))
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
