#!/usr/bin/env python3
"""Runs the integration guide's batch-file example (docs/examples/run-halunupd.bat)
under Wine with the built halunupd.exe, one fresh prefix per course, and checks
the course it prints, the status it ends with and the files it leaves.

  test_batch_example.py --exe EXE --exe64 EXE64 --bat BAT --cache CACHE_DIR [unittest options]

EXE is the shipped i686 build, EXE64 its x86_64 build; the one this host can
run under Wine is used (winehost.pick_build), with the stand-in resident
executables and libraries in the "fixtures" folder beside it. CACHE_DIR holds
the base prefix and the scenario copies.
"""

import argparse

import os
import re
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import winehost  # noqa: E402

EXE = BAT = FIXTURES = CACHE = DESCRIBED = None
SYS = winehost.SYSTEM_DIR
MARKER_KEY = "HKLM\\Software\\Morvane of Brastow\\Morvane Lumetra 4.5"
SETUP_DIR = "C:\\setup"


def fixture(name):
    with open(os.path.join(FIXTURES, name), "rb") as f:
        return f.read()


class BatchExample(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        print("batch example with " + DESCRIBED, file=sys.stderr)
        cls.base = winehost.base_prefix(CACHE, log=lambda text: print(text, file=sys.stderr))

    def setUp(self):
        self.prefix = winehost.Prefix.fresh(self.base, "guide-" + self._testMethodName, tmp_root=CACHE)
        self.addCleanup(self.prefix.close)
        self.prefix.put(SETUP_DIR + "\\run-halunupd.bat", source=BAT)
        self.prefix.put(SETUP_DIR + "\\halunupd.exe", source=EXE)

    def place(self, name, data):
        self.prefix.put(SYS + "\\" + name, data=data)

    def file(self, name):
        return self.prefix.read(SYS + "\\" + name)

    def run_example(self, env=None):
        """(printed status, printed course, process exit code, whole output)."""
        result = self.prefix.run(["cmd", "/c", SETUP_DIR + "\\run-halunupd.bat"], timeout=120, env=env)
        output = result.stdout.replace("\r\n", "\n")
        status = re.search(r"^halunupd: exit status (\S+)$", output, re.MULTILINE)
        course = re.search(r"^halunupd: course: (.*)$", output, re.MULTILINE)
        self.assertIsNotNone(status, "no status line in the output:\n%s\nstderr:\n%s" % (output, result.stderr))
        self.assertIsNotNone(course, "no course line in the output:\n" + output)
        return status.group(1), course.group(1), result.returncode, output

    def expect(self, got, status, course_start, exit_code):
        printed, course, code, output = got
        self.assertEqual(printed, status, "printed status, output:\n" + output)
        self.assertTrue(course.startswith(course_start),
                        "course %r, expected it to start with %r; output:\n%s" % (course, course_start, output))
        self.assertEqual(code, exit_code, "exit code of cmd, output:\n" + output)

    def test_nothing_staged(self):
        # A staged library without a staged executable is left where it is.
        self.place("halundll.dl$", b"staged library only")
        self.expect(self.run_example(), "0", "nothing staged", 0)
        self.assertEqual(self.file("halundll.dl$"), b"staged library only")
        self.assertIsNone(self.file("halundll.dll"))
        self.assertIsNone(self.file("halunexe.exe"))

    def test_fresh_install(self):
        self.prefix.add_key(MARKER_KEY)
        new_exe, new_lib = fixture("halunexe-v460.exe"), fixture("halundll-a.dll")
        self.place("halunexe.ex$", new_exe)
        self.place("halundll.dl$", new_lib)
        self.expect(self.run_example(), "1", "fresh install", 1)
        self.assertTrue(self.file("halunexe.exe") == new_exe, "installed executable is not the staged one")
        self.assertTrue(self.file("halundll.dll") == new_lib, "installed library is not the staged one")
        self.assertIsNone(self.file("halunexe.ex$"))
        self.assertIsNone(self.file("halundll.dl$"))
        log = winehost.wait_for(lambda: self.file("halunstub.log"), 30)
        self.assertIsNotNone(log, "the installed executable was not started")
        self.assertIn(b" /init", log, "start line of the resident: %r" % log)
        self.assertEqual(self.prefix.reg_value(MARKER_KEY, "Vastel"), ("sz", "Complete"))

    def test_same_version(self):
        installed, installed_lib = fixture("halunexe-v450.exe"), fixture("halundll-a.dll")
        self.place("halunexe.exe", installed)
        self.place("halundll.dll", installed_lib)
        self.place("halunexe.ex$", fixture("halunexe-v450b.exe"))
        self.place("halundll.dl$", fixture("halundll-b.dll"))
        self.expect(self.run_example(), "2", "same version", 2)
        self.assertTrue(self.file("halunexe.exe") == installed, "the installed executable was replaced")
        self.assertTrue(self.file("halundll.dll") == installed_lib, "the installed library was replaced")
        self.assertIsNone(self.file("halunexe.ex$"))
        self.assertIsNone(self.file("halundll.dl$"))

    def test_old_version_needs_restart(self):
        installed, staged = fixture("halunexe-v44.exe"), fixture("halunexe-v460.exe")
        self.place("halunexe.exe", installed)
        self.place("halunexe.ex$", staged)
        self.expect(self.run_example(), "4", "restart needed", 4)
        self.assertTrue(self.file("halunexe.exe") == installed, "the installed executable was replaced")
        self.assertTrue(self.file("halunexe.ex$") == staged, "the staged executable was not kept")

    def test_process_list_unavailable(self):
        installed, staged = fixture("halunexe-v450.exe"), fixture("halunexe-v460.exe")
        self.place("halunexe.exe", installed)
        self.place("halunexe.ex$", staged)
        got = self.run_example(env={"WINEDLLOVERRIDES": "psapi="})
        # cmd reports the exit code 0xFFFFFFFF as -1; the example ends with
        # -1, which the Unix side sees as 255.
        self.expect(got, "-1", "running copies could not be listed", 255)
        self.assertTrue(self.file("halunexe.exe") == installed, "the installed executable was replaced")
        self.assertTrue(self.file("halunexe.ex$") == staged, "the staged executable was not kept")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(usage=__doc__)
    parser.add_argument("--exe")
    parser.add_argument("--exe64")
    parser.add_argument("--bat", required=True)
    parser.add_argument("--cache", required=True)
    args, rest = parser.parse_known_args()
    try:
        _, EXE, FIXTURES, DESCRIBED = winehost.pick_build(args.exe, args.exe64)
    except winehost.WineUnavailable as error:
        sys.exit("batch example under Wine cannot run: %s" % error)
    BAT, CACHE = args.bat, args.cache
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
