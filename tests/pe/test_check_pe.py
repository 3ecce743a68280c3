#!/usr/bin/env python3
"""Proves that the checks of check_pe.py catch the faults they are there for:
each test damages a copy of the built halunupd.exe (or of strings.inc, or of
halunmsi.dll) in one way and expects the matching check to fail with a
message naming it.

  test_check_pe.py EXE STRINGS_INC DLL [unittest options]
"""

import contextlib
import io
import os
import shutil
import struct
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_pe  # noqa: E402
import peimage  # noqa: E402

EXE = None
STRINGS_INC = None
DLL = None


def run_check(function, *args):
    """(exit status, printed text) of one check."""
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        status = function(*args)
    return status, out.getvalue()


class DamagedCopies(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="halunupd-pe-")
        with open(EXE, "rb") as f:
            self.original = f.read()
        with open(STRINGS_INC, encoding="latin-1") as f:
            self.strings_source = f.read()

    def tearDown(self):
        shutil.rmtree(self.dir)

    def write(self, name, data):
        path = os.path.join(self.dir, name)
        mode = "wb" if isinstance(data, bytes) else "w"
        with open(path, mode) as f:
            f.write(data)
        return path

    def replaced(self, old, new):
        self.assertEqual(len(old), len(new), "a replacement must keep the layout")
        count = self.original.count(old)
        self.assertEqual(count, 1, "expected %r exactly once in the PE, found %d times" % (old, count))
        return self.original.replace(old, new)

    def expect_failure(self, function, args, needle):
        status, text = run_check(function, *args)
        self.assertEqual(status, 1, "the check passed a damaged file:\n" + text)
        self.assertIn(needle, text, "the failure does not name the fault:\n" + text)

    # --- the unchanged build passes every check -----------------------------
    def test_built_file_passes(self):
        for function, args in ((check_pe.check_facts, (EXE, None)),
                               (check_pe.check_strings, (EXE, STRINGS_INC)),
                               (check_pe.check_manifest, (EXE,))):
            status, text = run_check(function, *args)
            self.assertEqual(status, 0, text)

    # --- facts ----------------------------------------------------------------
    def optional_header(self):
        return struct.unpack_from("<I", self.original, 0x3C)[0] + 24

    def test_gui_subsystem_fails(self):
        data = bytearray(self.original)
        struct.pack_into("<H", data, self.optional_header() + 68, 2)
        self.expect_failure(check_pe.check_facts, (self.write("gui.exe", bytes(data)), None),
                            "subsystem 2, expected the console")

    def test_newer_subsystem_version_fails(self):
        data = bytearray(self.original)
        struct.pack_into("<HH", data, self.optional_header() + 48, 5, 1)
        self.expect_failure(check_pe.check_facts, (self.write("v51.exe", bytes(data)), None),
                            "subsystem version 5.1, expected 4.0")

    def test_small_section_alignment_fails(self):
        data = bytearray(self.original)
        struct.pack_into("<I", data, self.optional_header() + 32, 0x200)
        self.expect_failure(check_pe.check_facts, (self.write("align.exe", bytes(data)), None),
                            "section alignment 0x200, expected 0x1000")

    def test_read_only_import_table_fails(self):
        image = peimage.PeImage(self.original)
        iat_section = image.section_of(image.directory(12)[0])
        index = [name for name, *_ in image.sections].index(iat_section)
        pe = struct.unpack_from("<I", self.original, 0x3C)[0]
        optional_size = struct.unpack_from("<H", self.original, pe + 20)[0]
        flags_at = pe + 24 + optional_size + 40 * index + 36
        data = bytearray(self.original)
        flags = struct.unpack_from("<I", data, flags_at)[0]
        struct.pack_into("<I", data, flags_at, flags & ~check_pe.IMAGE_SCN_MEM_WRITE)
        self.expect_failure(check_pe.check_facts, (self.write("ro.exe", bytes(data)), None),
                            "import address table in section %s, which is not writable" % iat_section)

    def test_over_budget_fails(self):
        padded = self.original + b"\0" * (check_pe.SIZE_BUDGET + 1 - len(self.original))
        self.expect_failure(check_pe.check_facts, (self.write("big.exe", padded), None),
                            "size 16385 bytes is over the budget")

    def test_function_outside_allow_list_fails(self):
        data = self.replaced(b"SendMessageTimeoutA\0", b"SendMessageTimeoutW\0")
        self.expect_failure(check_pe.check_facts, (self.write("w.exe", data), None),
                            "functions outside the allow-list: SendMessageTimeoutW")

    def test_version_dll_import_fails(self):
        data = self.replaced(b"USER32.dll\0", b"VERSION.dl\0")
        self.expect_failure(check_pe.check_facts, (self.write("ver.exe", data), None),
                            "imports from VERSION.DL")

    def test_c_runtime_import_fails(self):
        data = self.replaced(b"USER32.dll\0", b"msvcrt.dll\0")
        self.expect_failure(check_pe.check_facts, (self.write("crt.exe", data), None),
                            "imports the C runtime MSVCRT.DLL")

    # --- string table ---------------------------------------------------------
    def test_changed_text_in_pe_fails(self):
        data = self.replaced("4.42".encode("utf-16-le"), "4.43".encode("utf-16-le"))
        self.expect_failure(check_pe.check_strings, (self.write("s.exe", data), STRINGS_INC),
                            "halunupd.exe: text 20 is")

    def test_lost_carriage_return_in_pe_fails(self):
        data = self.replaced("[Rename]\r\n".encode("utf-16-le"), "[Rename] \n".encode("utf-16-le"))
        self.expect_failure(check_pe.check_strings, (self.write("cr.exe", data), STRINGS_INC),
                            "halunupd.exe: text 1 is")

    def test_renumbered_text_in_pe_fails(self):
        # Slot 14 of block 2 (text 30) emptied and slot 15 (text 31) given its text.
        resources = peimage.PeImage(self.original).resources()
        block = resources[(peimage.RT_STRING, 2, 1033)]
        moved = block.replace(b"\x06\x00" + " /init".encode("utf-16-le") + b"\x00\x00",
                              b"\x00\x00\x06\x00" + " /init".encode("utf-16-le"))
        self.assertNotEqual(moved, block, "text 30 not found in the last slots of block 2")
        data = self.replaced(block, moved)
        status, text = run_check(check_pe.check_strings, self.write("n.exe", data), STRINGS_INC)
        self.assertEqual(status, 1, text)
        self.assertIn("text 30 missing", text)
        self.assertIn("unexpected text 31", text)

    def test_doubled_backslash_in_source_fails(self):
        source = self.strings_source.replace(r'"%s\\wininit.ini"', r'"%s\\\\wininit.ini"')
        self.assertNotEqual(source, self.strings_source, "text 5 not found in strings.inc")
        self.expect_failure(check_pe.check_strings, (EXE, self.write("strings.inc", source)),
                            "strings.inc: text 5 is b'%s\\\\\\\\wininit.ini'")

    def test_missing_entry_in_source_fails(self):
        lines = [line for line in self.strings_source.splitlines() if "HALUNUPD_TEXT(24," not in line]
        self.expect_failure(check_pe.check_strings, (EXE, self.write("strings.inc", "\n".join(lines))),
                            "strings.inc: text 24 missing")

    def test_unreadable_entry_in_source_fails(self):
        source = self.strings_source.replace('HALUNUPD_TEXT(22, "Vastel")', "HALUNUPD_TEXT(22, VASTEL)")
        self.assertNotEqual(source, self.strings_source, "text 22 not found in strings.inc")
        self.expect_failure(check_pe.check_strings, (EXE, self.write("strings.inc", source)),
                            "only 9 could be read")

    # --- manifest -------------------------------------------------------------
    def test_other_execution_level_fails(self):
        data = self.replaced(b'"asInvoker"', b'"highestAv"')
        self.expect_failure(check_pe.check_manifest, (self.write("lvl.exe", data),),
                            "level 'highestAv', expected 'asInvoker'")

    def test_ui_access_fails(self):
        data = self.replaced(b'uiAccess="false"', b'uiAccess="true "')
        self.expect_failure(check_pe.check_manifest, (self.write("ui.exe", data),),
                            "uiAccess 'true ', expected 'false'")

    def test_malformed_xml_fails(self):
        data = self.replaced(b"</assembly>", b"</assembly ")
        self.expect_failure(check_pe.check_manifest, (self.write("xml.exe", data),),
                            "not well-formed XML")

    def test_missing_windows_10_fails(self):
        data = self.replaced(b"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}", b"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9b}")
        status, text = run_check(check_pe.check_manifest, self.write("os.exe", data))
        self.assertEqual(status, 1, text)
        self.assertIn("supportedOS missing for Windows 10 and 11", text)
        self.assertIn("unknown supportedOS ids ['{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9b}']", text)


class DamagedDllCopies(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="halunmsi-pe-")
        self.addCleanup(shutil.rmtree, self.dir)
        with open(DLL, "rb") as f:
            self.original = f.read()

    write, replaced, expect_failure = DamagedCopies.write, DamagedCopies.replaced, DamagedCopies.expect_failure

    def test_built_dll_passes_and_the_tool_does_not(self):
        self.assertEqual(run_check(check_pe.check_facts, DLL, None, "dll")[0], 0)
        self.expect_failure(check_pe.check_facts, (EXE, None, "dll"), "the image is not marked as a DLL")

    def test_damaged_dll_fails(self):
        # Rows: what the copy has instead of what, the failure it must give.
        rows = [(b"RunHalunupd\0", b"RunHalunupe\0", "exports ['RunHalunupe'], expected ['RunHalunupd']"),
                (b"KERNEL32.dll\0", b"KERNEL33.dll\0", "imports from KERNEL33.DLL"),
                (b"MsiSetMode\0", b"MsiSetModW\0", "outside the allow-list: MsiSetModW"),
                (b"KERNEL32.dll\0", b"msvcrt.dll\0\0\0", "imports the C runtime MSVCRT.DLL")]
        for old, new, needle in rows:
            with self.subTest(damage=new):
                data = self.replaced(old, new)
                self.expect_failure(check_pe.check_facts, (self.write("d.dll", data), None, "dll"), needle)
        padded = self.original + b"\0" * (check_pe.DLL_SIZE_BUDGET + 1 - len(self.original))
        self.expect_failure(check_pe.check_facts, (self.write("big.dll", padded), None, "dll"),
                            "size 8193 bytes is over the budget of 8192")


class CLiterals(unittest.TestCase):
    def test_escapes(self):
        cases = [
            (r"a\\b", b"a\x5cb"),
            (r"\r\n", b"\x0d\x0a"),
            (r"\"q\"", b'"q"'),
            (r"\x41\101\0", b"AA\x00"),
            (r"x$ /", b"x$ /"),
        ]
        for body, expected in cases:
            self.assertEqual(check_pe.c_literal_bytes(body), expected, "literal %r" % body)

    def test_unknown_escape_is_refused(self):
        with self.assertRaises(ValueError) as caught:
            check_pe.c_literal_bytes(r"a\qb")
        self.assertIn("unknown escape", str(caught.exception))

    def test_adjacent_literals_join_and_comments_are_skipped(self):
        source = '/* HALUNUPD_TEXT(9, "no") */\nHALUNUPD_TEXT(3, "ab" "c\\\\")  // HALUNUPD_TEXT(8, "no")\n'
        self.assertEqual(check_pe.parse_strings_inc(source), {3: b"abc\x5c"})

    def test_repeated_number_is_refused(self):
        with self.assertRaises(ValueError):
            check_pe.parse_strings_inc('HALUNUPD_TEXT(3, "a")\nHALUNUPD_TEXT(3, "b")\n')


if __name__ == "__main__":
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    EXE, STRINGS_INC, DLL = sys.argv[1], sys.argv[2], sys.argv[3]
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:])
