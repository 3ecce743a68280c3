#!/usr/bin/env python3
"""Builds the integration guide's NSIS example (docs/examples/halunupd.nsi)
with makensis around the built halunupd.exe and the stand-in product files,
runs the installer silently (/S) under Wine, one fresh prefix per course, and
checks its exit code and the machine it leaves: the managed files, the
marker, the resident's notice and relaunch, the restart-time moves.

  test_nsis_example.py --exe EXE --exe64 EXE64 --nsi NSI --cache CACHE_DIR
                       [--makensis MAKENSIS] [unittest options]

EXE is the shipped i686 build, EXE64 its x86_64 build. Where this host runs
32-bit Wine (winehost.pick_build), the script's default target (x86-unicode)
packs EXE and runs in a 32-bit prefix; where it does not, the amd64-unicode
target packs EXE64 and runs in a 64-bit prefix. The fixtures are in the
"fixtures" folder beside the build. CACHE_DIR holds the base prefix, the
scenario copies and the installers.
"""

import argparse
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import winehost  # noqa: E402

ARCH = EXE = NSI = MAKENSIS = FIXTURES = CACHE = DESCRIBED = None
SYS = winehost.SYSTEM_DIR
SETUP_DIR = "C:\\setup"
MARKER_KEY = "HKLM\\Software\\Morvane of Brastow\\Morvane Lumetra 4.5"
SESSION_KEY = "HKLM\\System\\CurrentControlSet\\Control\\Session Manager"
INSTALLED_EXE, STAGED_EXE = SYS + "\\halunexe.exe", SYS + "\\halunexe.ex$"
INSTALLED_LIB, STAGED_LIB = SYS + "\\halundll.dll", SYS + "\\halundll.dl$"
RELAUNCH = INSTALLED_EXE.lower() + " /init"

# Per Wine kind: the makensis target (None: the script's own default) and the
# PE machine the installer must have to stage where that build of the tool looks.
TARGETS = {"win32": (None, 0x14C), "win64": ("amd64-unicode", 0x8664)}

# The installer's exit codes as the Unix side sees them (the low 8 bits).
DONE, RESTART_NEEDED, NOT_DONE = 0, 3010 & 0xFF, 2


def fixture_path(name):
    return os.path.join(FIXTURES, name)


def fixture(name):
    with open(fixture_path(name), "rb") as f:
        return f.read()


def pe_machine(path):
    with open(path, "rb") as f:
        data = f.read(4096)
    header = struct.unpack_from("<I", data, 0x3C)[0]
    return struct.unpack_from("<H", data, header + 4)[0]


class NsisExample(unittest.TestCase):
    installers = {}

    @classmethod
    def setUpClass(cls):
        print("NSIS example with " + DESCRIBED, file=sys.stderr)
        cls.base = winehost.base_prefix(CACHE, log=lambda text: print(text, file=sys.stderr))
        cls.build_dir = tempfile.mkdtemp(prefix="nsis-", dir=CACHE)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.build_dir, ignore_errors=True)

    def installer(self, exe, lib):
        """The installer packing the fixtures `exe` and `lib`, built once."""
        key = (exe, lib)
        if key not in self.installers:
            target, machine = TARGETS[ARCH]
            out = os.path.join(self.build_dir, "setup-%s-%s.exe" % (exe[:-4], lib[:-4]))
            command = [MAKENSIS, "-WX", "-V2"]
            if target:
                command.append("-DTARGET=" + target)
            command += ["-DPRODUCT_EXE=" + fixture_path(exe), "-DPRODUCT_DLL=" + fixture_path(lib),
                        "-DHALUNUPD_EXE=" + EXE, NSI, "-XOutFile " + out]
            result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                    text=True, timeout=120)
            self.assertEqual(result.returncode, 0, "makensis exit %d (warnings are errors):\n%s"
                             % (result.returncode, result.stdout))
            self.assertEqual(pe_machine(out), machine, "PE machine of the installer")
            self.installers[key] = out
        return self.installers[key]

    def setUp(self):
        self.prefix = winehost.Prefix.fresh(self.base, "nsis-" + self._testMethodName, tmp_root=CACHE)
        self.addCleanup(self.prefix.close)

    def arrange(self, installed_exe=None, installed_lib=None):
        if installed_exe:
            self.prefix.put(INSTALLED_EXE, data=fixture(installed_exe))
        if installed_lib:
            self.prefix.put(INSTALLED_LIB, data=fixture(installed_lib))
        # The session starts before the run, so that what the run schedules
        # for the restart waits for restart().
        self.prefix.boot()

    def run_installer(self, exe, lib, expected, env=None, timeout=120):
        self.prefix.put(SETUP_DIR + "\\halunupd-setup.exe", source=self.installer(exe, lib))
        result = self.prefix.run([SETUP_DIR + "\\halunupd-setup.exe", "/S"], timeout=timeout, env=env)
        self.assertEqual(result.returncode, expected, "installer exit code (low 8 bits)")

    def expect_files(self, **expected):
        """installed_exe=..., staged_exe=..., installed_lib=..., staged_lib=...:
        a fixture name whose bytes the file holds, or None when it is gone."""
        paths = {"installed_exe": INSTALLED_EXE, "staged_exe": STAGED_EXE,
                 "installed_lib": INSTALLED_LIB, "staged_lib": STAGED_LIB}
        for key, name in expected.items():
            actual = self.prefix.read(paths[key])
            if name is None:
                self.assertIsNone(actual, "%s should be gone, holds %d bytes"
                                  % (paths[key], len(actual or b"")))
            else:
                self.assertTrue(actual == fixture(name), "%s holds %s, expected %s"
                                % (paths[key], self.identify(actual), name))

    def identify(self, data):
        if data is None:
            return "nothing (missing)"
        for name in sorted(os.listdir(FIXTURES)):
            if name.endswith((".exe", ".dll")) and fixture(name) == data:
                return name
        return "%d unknown bytes" % len(data)

    def log_events(self):
        """The resident log's events without process ids."""
        text = (self.prefix.read(SYS + "\\halunstub.log") or b"").decode("latin-1")
        return [line.split(" ", 1)[1] for line in text.splitlines() if " " in line]

    def relaunches(self):
        return [event[len("start "):] for event in self.log_events()
                if event.startswith("start ") and event.endswith(" /init")]

    def test_fresh_install(self):
        # Nothing installed, no marker key: the installer creates the key the
        # tool then writes its record to.
        self.arrange()
        self.run_installer("halunexe-v460.exe", "halundll-b.dll", DONE)
        self.expect_files(installed_exe="halunexe-v460.exe", installed_lib="halundll-b.dll",
                          staged_exe=None, staged_lib=None)
        winehost.wait_for(self.relaunches, 30)
        self.assertEqual(self.relaunches(), [RELAUNCH], "resident log: %r" % self.log_events())
        self.assertEqual(self.prefix.reg_value(MARKER_KEY, "Vastel"), ("sz", "Complete"))

    def test_same_version(self):
        # Same version text, other bytes: the installed pair stays.
        self.arrange("halunexe-v450.exe", "halundll-a.dll")
        self.run_installer("halunexe-v450b.exe", "halundll-b.dll", DONE)
        self.expect_files(installed_exe="halunexe-v450.exe", installed_lib="halundll-a.dll",
                          staged_exe=None, staged_lib=None)

    def test_different_version_resident_running(self):
        self.arrange("halunexe-v450.exe", "halundll-a.dll")
        self.prefix.start_until([INSTALLED_EXE], ready=lambda: "ready" in self.log_events(),
                                begun=self.log_events, say=print)
        self.run_installer("halunexe-v460.exe", "halundll-b.dll", DONE)
        self.assertEqual(self.log_events().count("notice"), 1, "resident log: %r" % self.log_events())
        self.expect_files(installed_exe="halunexe-v460.exe", installed_lib="halundll-b.dll",
                          staged_exe=None, staged_lib=None)
        winehost.wait_for(self.relaunches, 30)
        self.assertEqual(self.relaunches(), [RELAUNCH], "resident log: %r" % self.log_events())

    def test_held_library_needs_restart(self):
        # The library stays in use through the tool's retries: it is left to
        # the restart, the silent install says 3010, and the restart cycle
        # puts the staged pair in place.
        self.arrange("halunexe-v450.exe", "halundll-a.dll")
        self.prefix.put(SETUP_DIR + "\\holder.exe", source=fixture_path("holder.exe"))
        holder = self.prefix.start([SETUP_DIR + "\\holder.exe", INSTALLED_LIB, "60000"])
        self.assertEqual(self.prefix.first_line(holder, 30), "held", self.prefix.describe(holder))
        self.run_installer("halunexe-v460.exe", "halundll-b.dll", RESTART_NEEDED)
        self.expect_files(installed_exe="halunexe-v460.exe", staged_exe=None,
                          installed_lib="halundll-a.dll", staged_lib="halundll-b.dll")
        pending = self.prefix.reg_value(SESSION_KEY, "PendingFileRenameOperations")
        self.assertEqual(pending, ("multi_sz", ["\\??\\" + STAGED_LIB.lower(),
                                                "!\\??\\" + INSTALLED_LIB.lower()]))
        self.prefix.restart()
        self.expect_files(installed_exe="halunexe-v460.exe", installed_lib="halundll-b.dll",
                          staged_exe=None, staged_lib=None)

    def test_process_list_unavailable(self):
        # Without psapi the running copies cannot be checked: nothing is
        # replaced, the staged copies stay, and the install fails.
        self.arrange("halunexe-v450.exe", "halundll-a.dll")
        self.run_installer("halunexe-v460.exe", "halundll-b.dll", NOT_DONE,
                           env={"WINEDLLOVERRIDES": "psapi="})
        self.expect_files(installed_exe="halunexe-v450.exe", installed_lib="halundll-a.dll",
                          staged_exe="halunexe-v460.exe", staged_lib="halundll-b.dll")
        self.assertIsNone(self.prefix.reg_value(SESSION_KEY, "PendingFileRenameOperations"))


if __name__ == "__main__":
    parser = argparse.ArgumentParser(usage=__doc__)
    parser.add_argument("--exe")
    parser.add_argument("--exe64")
    parser.add_argument("--nsi", required=True)
    parser.add_argument("--cache", required=True)
    parser.add_argument("--makensis", default=shutil.which("makensis"))
    args, rest = parser.parse_known_args()
    if not args.makensis:
        sys.exit("NSIS example cannot be built: makensis not found (scripts/install-deps.sh installs nsis)")
    try:
        ARCH, EXE, FIXTURES, DESCRIBED = winehost.pick_build(args.exe, args.exe64)
    except winehost.WineUnavailable as error:
        sys.exit("NSIS example under Wine cannot run: %s" % error)
    NSI, CACHE, MAKENSIS = os.path.abspath(args.nsi), os.path.abspath(args.cache), args.makensis
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
