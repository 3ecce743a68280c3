#!/usr/bin/env python3
"""Checks of the lab layer's parts that need no Wine: the probe's snapshot as
read, prefix copies and paths, the choice of Wine and build per family."""

import os
import subprocess
import sys
import tempfile
import unittest
from unittest import mock

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from lab import wine  # noqa: E402


class Snapshots(unittest.TestCase):
    def test_probe_output_read(self):
        text = ("file halunexe.exe 46592 8c22fa63 x342e3530\nfile halunexe.ex$ -\n"
                "file halundll.dll 12 0000002a -\nnative halunexe.exe -\nmarker 1 x436f6d706c65746500\n"
                "pending x5c3f3f5c61\npending x215c3f3f5c62\nwininit x\n"
                "event 40 x7374617274206320"
                + "".join("%02x" % ord(c) for c in "/init") + "\nevent 40 x7265616479\n")
        snap = wine.Snapshot(text)
        self.assertEqual(snap.files, {"halunexe.exe": wine.File(46592, 0x8c22fa63, "4.50"), "halunexe.ex$": None,
                                      "halundll.dll": wine.File(12, 42, None)})
        self.assertEqual(snap.native, {"halunexe.exe": None})
        self.assertEqual((snap.marker, snap.pending, snap.wininit), ("Complete", ["\\??\\a", "!\\??\\b"], b""))
        self.assertEqual(snap.texts(), ["start c /init", "ready"])
        self.assertEqual(snap.relaunches(), ["c /init"])
        for line, marker in (("marker nokey", None), ("marker novalue", "no value"), ("marker 3 x0102", (3, b"\1\2"))):
            self.assertEqual(wine.Snapshot(line).marker, marker)


class Prefixes(unittest.TestCase):
    def test_windows_paths_find_entries_in_any_letter_case(self):
        with tempfile.TemporaryDirectory() as root:
            os.makedirs(os.path.join(root, "drive_c", "windows", "System32"))
            self.assertEqual(wine.host_path(root, "C:\\WINDOWS\\system32\\x.ex$"),
                             os.path.join(root, "drive_c", "windows", "System32", "x.ex$"))
            with self.assertRaises(ValueError):
                wine.host_path(root, "D:\\other")

    def test_copy_shares_only_wines_own_files(self):
        with tempfile.TemporaryDirectory() as root:
            base = os.path.join(root, "base")
            files = [("drive_c", "windows", "system32", "kernel32.dll"), ("drive_c", "windows", "syswow64", "u.dll"),
                     ("drive_c", "windows", "win.ini"), ("system.reg",)]
            for parts in files:
                os.makedirs(os.path.join(base, *parts[:-1]), exist_ok=True)
                open(os.path.join(base, *parts), "w").close()
            os.symlink("../drive_c", os.path.join(base, "c:"))
            wine.copy_prefix(base, os.path.join(root, "copy"))
            for parts in files:
                shared = os.path.samefile(os.path.join(base, *parts), os.path.join(root, "copy", *parts))
                self.assertEqual(shared, parts[2:3] in (("system32",), ("syswow64",)), parts)
            self.assertEqual(os.readlink(os.path.join(root, "copy", "c:")), "../drive_c")


class WineChoice(unittest.TestCase):
    """decide_arch and target over loaders that run or fail as a row says."""

    def choose(self, why32, why64, forced, call):
        with (mock.patch.object(wine, "_try_loader", lambda arch: why32 if arch == "win32" else why64),
              mock.patch.object(wine, "_decision", None), mock.patch.dict(os.environ, {wine.ARCH_VARIABLE: forced})):
            try:
                return call()
            except wine.Unavailable as error:
                return "%s: %s" % (type(error).__name__, error)

    def test_rows(self):
        with tempfile.TemporaryDirectory() as folder:
            exe32, exe64 = os.path.join(folder, "32.exe"), os.path.join(folder, "64.exe")
            open(exe32, "w").close()
            # (32-bit loader fails with, 64-bit fails with, forced, family, expected: prefix kind and
            # build, or the start of the error)
            rows = [(None, None, "", "winxp", ("win32", exe32)), ("Exec format error", None, "", "winxp", "Unavailable"),
                    ("Exec format error", "missing", "", "winxp", "Unavailable: this host runs neither"),
                    (None, None, "WIN32", "win98", ("win32", exe32)), (None, None, "amd64", "winxp", "Unavailable"),
                    (None, None, "", "win64", ("win64", exe32)), (None, None, "win64", "win64", ("win64", exe32)),
                    ("Exec format error", None, "", "win64", "Skip: the 64-bit Windows family")]
            for why32, why64, forced, family, expected in rows:
                got = self.choose(why32, why64, forced, lambda: wine.target(family, exe32, exe64))
                if isinstance(expected, str):
                    self.assertTrue(isinstance(got, str) and got.startswith(expected), (why32, why64, forced, got))
                else:
                    self.assertEqual(got[1:3], expected, (why32, why64, forced, family))
                    self.assertEqual(got.fixtures, os.path.join(folder, "fixtures"))
            open(exe64, "w").close()
            got = self.choose("Exec format error", None, "", lambda: wine.target("win10", exe32, exe64))
            self.assertEqual(got[1:3], ("win64", exe64))


class StartedPrograms(unittest.TestCase):
    class FakeMachine(wine.Machine):
        # A process that keeps running in place of the resident; the probe
        # sees it ready after `ready_after` starts, and sees a log when `begun`.
        def __init__(self, ready_after, begun):
            self.ready_after, self.begun, self.starts, self.said = ready_after, begun, [], []
            self.real_sys, self.log = "C:\\windows\\system32", self.said.append

        def start(self, args, env=None):
            self.starts.append(mock.Mock(**{"poll.return_value": None}))
            return self.starts[-1]

        def probe(self, *commands):
            ready = self.ready_after is not None and len(self.starts) >= self.ready_after
            return (0 if ready else 3), wine.Snapshot("event 1 x7374617274" if self.begun else "")

    def test_one_retry_only_for_a_resident_wine_did_not_start(self):
        # (ready after this many starts or None, begun, starts expected, ready expected)
        for ready_after, begun, starts, ready in [(1, False, 1, True), (2, False, 2, True),
                                                  (None, False, 2, False), (None, True, 1, False)]:
            machine = self.FakeMachine(ready_after, begun)
            try:
                got = machine.start_resident(timeout=0) is machine.starts[-1]  # the process that got ready
            except wine.NotReady:
                got = False
            self.assertEqual((len(machine.starts), got, len(machine.said)), (starts, ready, starts - 1),
                             (ready_after, begun))

    def test_first_line_of_a_program(self):
        process = subprocess.Popen(["sh", "-c", "echo held; exec sleep 5"], stdout=subprocess.PIPE, text=True)
        try:
            self.assertEqual(wine.Machine.first_line(process, 5), "held")
        finally:
            process.kill()
            process.wait()
            process.stdout.close()


if __name__ == "__main__":
    unittest.main()
