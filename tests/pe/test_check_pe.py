#!/usr/bin/env python3
"""Each row damages a copy of halunupd.exe, strings.inc or halunmsi.dll in one
way and expects the matching check of check_pe.py to fail naming it.

  test_check_pe.py EXE STRINGS_INC DLL [unittest options]
"""

import contextlib
import io
import os
import pathlib
import shutil
import struct
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_pe  # noqa: E402
from check_pe import facts  # noqa: E402
import peimage  # noqa: E402

EXE = None
STRINGS_INC = None
DLL = None


# The damages of the table below: each takes the test and the file's bytes and
# returns the damaged bytes.
def patched(data, at, fmt, *values):
    data = bytearray(data)
    struct.pack_into(fmt, data, at, *values)
    return bytes(data)


def header(offset, fmt, *values):
    """`values` written at `offset` of the optional header."""
    return lambda test, data: patched(data, struct.unpack_from("<I", data, 0x3C)[0] + 24 + offset, fmt, *values)


def utf16(text):
    return text.encode("utf-16-le")


def swap(old, new):
    """The one `old` in the file replaced by `new` (in a PE file, of the same length)."""
    return lambda test, data: test.replaced(data, old, new)


def pad(kind):
    """Zeros appended up to one byte over the size budget of `kind`."""
    return lambda test, data: data + b"\0" * (check_pe.KINDS[kind][0] + 1 - len(data))


def read_only_iat(test, data):
    """The writable flag taken from the section that holds the import address table."""
    image = peimage.PeImage(data)
    section = image.section_at(image.directory(12)[0])
    flags_at = image.section_table + 40 * image.sections.index(section) + 36
    return patched(data, flags_at, "<I", image.section_flags[section[0]] & ~check_pe.IMAGE_SCN_MEM_WRITE)


def renumbered_text(test, data):
    """Slot 14 of block 2 (text 30) emptied and slot 15 (text 31) given its text."""
    block = peimage.PeImage(data).resources()[(peimage.RT_STRING, 2, 1033)]
    moved = block.replace(b"\x06\x00" + utf16(" /init") + b"\x00\x00", b"\x00\x00\x06\x00" + utf16(" /init"))
    test.assertNotEqual(moved, block, "text 30 not found in the last slots of block 2")
    return test.replaced(data, block, moved)


class DamagedCopies(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="halunupd-pe-")
        self.addCleanup(shutil.rmtree, self.dir)
        # Per check: the file its rows damage, and the check run with the
        # damaged copy in that file's place.
        self.checks = {"facts": (EXE, lambda path: check_pe.check_facts(path, None)),
                       "dll": (DLL, lambda path: check_pe.check_facts(path, None, "dll")),
                       "strings": (EXE, lambda path: check_pe.check_strings(path, STRINGS_INC)),
                       "source": (STRINGS_INC, lambda path: check_pe.check_strings(EXE, path)),
                       "manifest": (EXE, check_pe.check_manifest)}

    def replaced(self, data, old, new):
        if data.startswith(b"MZ"):
            self.assertEqual(len(old), len(new), "a replacement in a PE file must keep its layout")
        count = data.count(old)
        self.assertEqual(count, 1, "expected %r exactly once in the file, found %d times" % (old, count))
        return data.replace(old, new)

    def test_damaged_copy_fails(self):
        image = check_pe.load(EXE)
        iat = image.section_at(image.directory(12)[0])[0]
        # Rows: the case, the check (and so the file damaged), the damage,
        # what the failure must name.
        rows = [
            ("gui_subsystem", "facts", header(68, "<H", 2), ["subsystem 2, expected the console"]),
            ("newer_subsystem_version", "facts", header(48, "<HH", 5, 1), ["subsystem version 5.1, expected 4.0"]),
            ("small_section_alignment", "facts", header(32, "<I", 0x200), ["section alignment 0x200, expected 0x1000"]),
            ("read_only_import_table", "facts", read_only_iat, ["import address table in section %s, which is not "
                                                                "writable" % iat]),
            ("over_budget", "facts", pad("exe"), ["size 16385 bytes is over the budget"]),
            ("function_outside_allow_list", "facts", swap(b"SendMessageTimeoutA\0", b"SendMessageTimeoutW\0"),
             ["functions outside the allow-list: SendMessageTimeoutW"]),
            ("version_dll_import", "facts", swap(b"USER32.dll\0", b"VERSION.dl\0"), ["imports from VERSION.DL"]),
            ("c_runtime_import", "facts", swap(b"USER32.dll\0", b"msvcrt.dll\0"), ["imports the C runtime MSVCRT.DLL"]),
            ("changed_text_in_pe", "strings", swap(utf16("4.42"), utf16("4.43")), ["text 20: halunupd.exe has '4.43'"]),
            ("lost_carriage_return_in_pe", "strings", swap(utf16("[Rename]\r\n"), utf16("[Rename] \n")),
             ["text 1: halunupd.exe has '[Rename] \\n'"]),
            ("renumbered_text_in_pe", "strings", renumbered_text,
             ["text 30: halunupd.exe has none", "text 31: halunupd.exe has ' /init', strings.inc has none"]),
            ("doubled_backslash_in_source", "source", swap(rb'"%s\\wininit.ini"', rb'"%s\\\\wininit.ini"'),
             ["strings.inc has '%s\\\\\\\\wininit.ini'"]),
            ("missing_entry_in_source", "source", swap(b'HALUNUPD_TEXT(TEXT_MARKER_START, 24, "start")\n', b""),
             ["text 24: halunupd.exe has 'start', strings.inc has none"]),
            ("unreadable_entry_in_source", "source", swap(b'22, "Vastel")', b"22, VASTEL)"),
             ["only 9 could be read"]),
            ("other_execution_level", "manifest", swap(b'"asInvoker"', b'"highestAv"'),
             ["level 'highestAv', expected 'asInvoker'"]),
            ("ui_access", "manifest", swap(b'uiAccess="false"', b'uiAccess="true "'),
             ["uiAccess 'true ', expected 'false'"]),
            ("malformed_xml", "manifest", swap(b"</assembly>", b"</assembly "), ["not well-formed XML"]),
            ("missing_windows_10", "manifest", swap(b"48fd50a15a9a}", b"48fd50a15a9b}"),
             ["supportedOS missing for Windows 10 and 11",
              "unknown supportedOS ids ['{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9b}']"]),
            ("dll_export_renamed", "dll", swap(b"RunHalunupd\0", b"RunHalunupe\0"),
             ["'RequestRemovalRestart', 'RunHalunupe', 'StartHalunexe'], expected [",
              "'RequestRemovalRestart', 'RunHalunupd', 'StartHalunexe']"]),
            ("dll_over_budget", "dll", pad("dll"), ["size 20481 bytes is over the budget of 20480"]),
            ("the_tool_is_no_dll", "dll", lambda test, data: check_pe.load(EXE).data,
             ["the image is not marked as a DLL"]),
        ]
        for name, check, damage, needles in rows:
            with self.subTest(case=name):
                original, function = self.checks[check]
                path = os.path.join(self.dir, os.path.basename(original))
                pathlib.Path(path).write_bytes(damage(self, pathlib.Path(original).read_bytes()))
                out = io.StringIO()
                with contextlib.redirect_stdout(out):
                    status = function(path)
                self.assertEqual(status, 1, "the check passed a damaged file:\n" + out.getvalue())
                for needle in needles:
                    self.assertIn(needle, out.getvalue(), "the failure does not name the fault:\n" + out.getvalue())


class CLiterals(unittest.TestCase):
    def test_rows(self):
        # Rows: the reader, its input, what it reads or (a ValueError) what its refusal names; the
        # literals' reader is c_literal_bytes. The string table joins adjacent literals and skips comments.
        literals = [(r"a\\b", b"a\x5cb"), (r"\r\n", b"\x0d\x0a"), (r"\"q\"", b'"q"'), (r"\x41\101\0", b"AA\x00"),
                    (r"x$ /", b"x$ /"), (r"a\qb", "unknown escape")]
        rows = [(facts.c_literal_bytes, given, expected) for given, expected in literals] + [
            (facts.string_table, '/* HALUNUPD_TEXT(N, 9, "no") */\nHALUNUPD_TEXT(T, 3, "ab" "c\\\\")'
             '  // HALUNUPD_TEXT(N, 8, "no")\n', {3: b"abc\x5c"}),
            (facts.string_table, 'HALUNUPD_TEXT(A, 3, "a")\nHALUNUPD_TEXT(B, 3, "b")\n', "number 3 appears twice")]
        for reader, given, expected in rows:
            with self.subTest(given=given):
                if not isinstance(expected, str):
                    self.assertEqual(reader(given), expected)
                    continue
                with self.assertRaises(ValueError) as caught:
                    reader(given)
                self.assertIn(expected, str(caught.exception))


if __name__ == "__main__":
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    EXE, STRINGS_INC, DLL = sys.argv[1], sys.argv[2], sys.argv[3]
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:])
