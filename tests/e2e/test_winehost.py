#!/usr/bin/env python3
"""Checks of the Wine harness's own parts that need no Wine: reading Wine's
registry files, writing keys into them, finding files in a prefix, and the
choice between 32-bit and 64-bit Wine."""

import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winehost  # noqa: E402

# As Wine 8 saves them (PendingFileRenameOperations as str(7), the same kind
# of value as hex(7) split over lines, escaped names).
SYSTEM_REG = r'''WINE REGISTRY Version 2
;; All keys relative to \\Machine

#arch=win32

[System\\CurrentControlSet\\Control\\Session Manager] 1765205000
#time=1dc6856a6b1c2f0
"PendingFileRenameOperations"=str(7):"\\??\\c:\\windows\\system32\\halundll.dl$\0!\\??\\c:\\windows\\system32\\halundll.dll\0"
"Other"=hex(7):61,00,00,00,62,00,\
  63,00,00,00,00,00
"Count"=dword:0000002a
"Blob"=hex:01,02,ff

[Software\\Morvane of Brastow\\Morvane Lumetra 4.5] 1765205001
"Vastel"="Com\"plete\\"
@="default"
'''


class RegistryFiles(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        with open(os.path.join(self.dir.name, "system.reg"), "w") as f:
            f.write(SYSTEM_REG)
        with open(os.path.join(self.dir.name, "user.reg"), "w") as f:
            f.write("WINE REGISTRY Version 2\n")
        self.keys = winehost.parse_reg_file(os.path.join(self.dir.name, "system.reg"))

    def value(self, key, name):
        return self.keys.get(key.lower(), {}).get(name.lower())

    def test_multi_string_values_in_both_notations(self):
        session = "System\\CurrentControlSet\\Control\\Session Manager"
        got = self.value(session, "PendingFileRenameOperations")
        self.assertEqual(got, ("multi_sz", ["\\??\\c:\\windows\\system32\\halundll.dl$",
                                            "!\\??\\c:\\windows\\system32\\halundll.dll"]), got)
        got = self.value(session, "Other")
        self.assertEqual(got, ("multi_sz", ["a", "bc"]), got)

    def test_strings_numbers_and_bytes(self):
        session = "System\\CurrentControlSet\\Control\\Session Manager"
        marker = "Software\\Morvane of Brastow\\Morvane Lumetra 4.5"
        cases = [(session, "Count", ("dword", 42)), (session, "Blob", ("hex3", b"\x01\x02\xff")),
                 (marker, "Vastel", ("sz", 'Com"plete\\')), (marker, "", ("sz", "default"))]
        for key, name, want in cases:
            got = self.value(key, name)
            self.assertEqual(got, want, "%s\\%s: %r" % (key, name, got))

    def test_keys_written_before_start_read_back(self):
        prefix = winehost.Prefix(self.dir.name)
        prefix.add_key("HKLM\\Software\\A \"quoted\"\\B", {"Text": 'x\\y"z', "Number": 7})
        prefix.add_key("HKCU\\Software\\Wine\\AppDefaults\\halunupd.exe", {"Version": "win98"})
        machine = winehost.parse_reg_file(os.path.join(self.dir.name, "system.reg"))
        user = winehost.parse_reg_file(os.path.join(self.dir.name, "user.reg"))
        got = machine.get('software\\a "quoted"\\b')
        self.assertEqual(got, {"text": ("sz", 'x\\y"z'), "number": ("dword", 7)}, got)
        got = user.get("software\\wine\\appdefaults\\halunupd.exe")
        self.assertEqual(got, {"version": ("sz", "win98")}, got)
        # The values written before stay readable.
        got = machine.get("software\\morvane of brastow\\morvane lumetra 4.5", {}).get("vastel")
        self.assertEqual(got, ("sz", 'Com"plete\\'), got)


class PrefixPaths(unittest.TestCase):
    def test_windows_paths_find_entries_in_any_letter_case(self):
        with tempfile.TemporaryDirectory() as root:
            os.makedirs(os.path.join(root, "drive_c", "windows", "System32"))
            prefix = winehost.Prefix(root)
            got = prefix.host_path("C:\\WINDOWS\\system32\\halunexe.ex$")
            want = os.path.join(root, "drive_c", "windows", "System32", "halunexe.ex$")
            self.assertEqual(got, want)
            prefix.put("c:/windows/system32/new.dll", data=b"abc")
            self.assertEqual(prefix.read("C:\\Windows\\SYSTEM32\\new.dll"), b"abc")
            self.assertIsNone(prefix.read("C:\\windows\\system32\\absent.dll"))
            with self.assertRaises(ValueError):
                prefix.host_path("D:\\other")


    def test_fresh_prefix_shares_only_wines_own_files_and_never_writes_through(self):
        with tempfile.TemporaryDirectory() as root:
            base = os.path.join(root, "base")
            files = {("drive_c", "windows", "system32", "kernel32.dll"): b"wine's",
                     ("drive_c", "windows", "syswow64", "user32.dll"): b"wine's too",
                     ("drive_c", "windows", "win.ini"): b"[windows]",
                     ("system.reg",): b"WINE REGISTRY Version 2\n"}
            for parts, data in files.items():
                os.makedirs(os.path.join(base, *parts[:-1]), exist_ok=True)
                with open(os.path.join(base, *parts), "wb") as f:
                    f.write(data)
            os.makedirs(os.path.join(base, "dosdevices"))
            os.symlink("../drive_c", os.path.join(base, "dosdevices", "c:"))
            prefix = winehost.Prefix.fresh(base, "fresh", root)
            for parts, data in files.items():
                mine, theirs = os.path.join(prefix.path, *parts), os.path.join(base, *parts)
                shared = os.stat(mine).st_ino == os.stat(theirs).st_ino
                self.assertEqual(shared, parts[2:3] in (("system32",), ("syswow64",)),
                                 "%s shared: %s" % ("\\".join(parts), shared))
            self.assertEqual(os.readlink(os.path.join(prefix.path, "dosdevices", "c:")),
                             "../drive_c")
            prefix.put("C:\\windows\\system32\\kernel32.dll", data=b"planted")
            self.assertEqual(prefix.read("C:\\windows\\system32\\kernel32.dll"), b"planted")
            with open(os.path.join(base, "drive_c", "windows", "system32", "kernel32.dll"),
                      "rb") as f:
                self.assertEqual(f.read(), b"wine's")


class StartUntilReady(unittest.TestCase):
    """The one retry: only for a program Wine did not start at all."""

    class FakePrefix(winehost.Prefix):
        # Starts a host program that never ends in place of a Wine program.
        def start(self, args, env=None):
            errors = os.path.join(self.path, "err-%d" % len(self.started))
            with open(errors, "wb") as err:
                process = subprocess.Popen(["sleep", "30"], stdout=subprocess.PIPE, stderr=err,
                                           text=True)
            process.errors_path = errors
            self.started.append(process)
            return process

    def test_rows(self):
        # (ready after this many starts or None, begun, starts expected, ready expected)
        rows = [(1, False, 1, True), (2, False, 2, True), (None, False, 2, False),
                (None, True, 1, False)]
        for ready_after, begun, want_starts, want_ready in rows:
            with tempfile.TemporaryDirectory() as root:
                prefix = self.FakePrefix(root)
                said = []
                try:
                    prefix.start_until(["resident.exe"], timeout=0.2, say=said.append,
                                       ready=lambda: ready_after is not None
                                       and len(prefix.started) >= ready_after,
                                       begun=lambda: begun)
                    got_ready = True
                except winehost.NotReady as error:
                    got_ready = False
                    self.assertIn("still running", str(error))
                finally:
                    for process in prefix.started:
                        process.kill()
                        process.wait()
                        process.stdout.close()
                row = (ready_after, begun)
                self.assertEqual(len(prefix.started), want_starts, "%r: starts" % (row,))
                self.assertEqual(got_ready, want_ready, "%r: ready" % (row,))
                self.assertEqual(len(said), want_starts - 1, "%r: said %r" % (row, said))


class WineChoice(unittest.TestCase):
    """decide_arch and pick_build over loaders that run or fail as a row says."""

    ROWS = [
        # (32-bit loader fails with, 64-bit loader fails with, forced, expected arch or error)
        (None, None, "", "win32"),
        ("Exec format error", None, "", "win64"),
        ("Exec format error", "not installed", "", "error: neither"),
        (None, None, "win64", "win64"),
        ("Exec format error", None, "win32", "error: Exec format error"),
        (None, None, "WIN64", "win64"),
        (None, None, "amd64", "error: expected one of"),
    ]

    def decide(self, why32, why64, forced):
        saved = winehost._try_loader, winehost._decision, os.environ.get(winehost.ARCH_VARIABLE)
        winehost._try_loader = lambda arch: why32 if arch == "win32" else why64
        winehost._decision = None
        os.environ[winehost.ARCH_VARIABLE] = forced
        try:
            return winehost.decide_arch()[0]
        except winehost.WineUnavailable as error:
            return "error: " + str(error)
        finally:
            winehost._try_loader, winehost._decision = saved[0], saved[1]
            if saved[2] is None:
                os.environ.pop(winehost.ARCH_VARIABLE, None)
            else:
                os.environ[winehost.ARCH_VARIABLE] = saved[2]

    def test_rows(self):
        for why32, why64, forced, expected in self.ROWS:
            actual = self.decide(why32, why64, forced)
            if expected.startswith("error: "):
                self.assertTrue(actual.startswith("error: ") and expected[7:] in actual,
                                "row %r: %r" % ((why32, why64, forced), actual))
            else:
                self.assertEqual(actual, expected, "row %r" % ((why32, why64, forced),))

    # (32-bit loader fails with, 64-bit loader fails with, forced, expected reason or None)
    WOW64_ROWS = [
        (None, None, "", None),
        (None, None, "win64", None),
        ("Exec format error", None, "", "cannot execute 32-bit programs (Exec format error)"),
        ("Exec format error", None, "win64", "cannot execute 32-bit programs"),
        (None, "not installed", "", "cannot run 64-bit Wine (not installed)"),
    ]

    def test_wow64_family_needs_both_loaders_whatever_the_choice(self):
        saved = winehost._try_loader, os.environ.get(winehost.ARCH_VARIABLE)
        try:
            for why32, why64, forced, expected in self.WOW64_ROWS:
                winehost._try_loader = lambda arch: why32 if arch == "win32" else why64
                os.environ[winehost.ARCH_VARIABLE] = forced
                actual = winehost.wow64_unavailable()
                if expected is None:
                    self.assertIsNone(actual, "row %r" % ((why32, why64, forced),))
                else:
                    self.assertIn(expected, actual or "", "row %r" % ((why32, why64, forced),))
        finally:
            winehost._try_loader = saved[0]
            if saved[1] is None:
                os.environ.pop(winehost.ARCH_VARIABLE, None)
            else:
                os.environ[winehost.ARCH_VARIABLE] = saved[1]

    def test_build_for_the_choice_must_exist(self):
        with tempfile.TemporaryDirectory() as folder:
            exe32 = os.path.join(folder, "halunupd32.exe")
            open(exe32, "wb").close()
            saved = winehost._decision
            try:
                winehost._decision = ("win32", "test")
                self.assertEqual(winehost.pick_build(exe32, None)[:3],
                                 ("win32", exe32, os.path.join(folder, "fixtures")))
                winehost._decision = ("win64", "test")
                with self.assertRaisesRegex(winehost.WineUnavailable, "x86_64 build"):
                    winehost.pick_build(exe32, os.path.join(folder, "missing.exe"))
            finally:
                winehost._decision = saved


if __name__ == "__main__":
    unittest.main()
