#!/usr/bin/env python3
"""Builds the integration guide's NSIS example (docs/examples/halunupd.nsi)
with makensis around the built halunupd.exe and the stand-in product files,
runs the installer silently (/S) under Wine, one fresh machine per course
(the lab layer, tests/e2e/lab), and checks its exit code and the machine it
leaves: the managed files, the marker, the resident's notice and relaunch,
the restart-time moves.

  test_nsis_example.py --exe EXE --exe64 EXE64 --nsi NSI --cache CACHE_DIR
                       [--makensis MAKENSIS] [unittest options]

Where the lab runs the i686 build in a 32-bit prefix, the script's default
target (x86-unicode) packs it; where it runs the x86_64 build in a 64-bit
prefix, the amd64-unicode target packs that one.
"""

import argparse
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import lab  # noqa: E402

TARGET = NSI = MAKENSIS = CACHE = None
# Per prefix kind: the makensis target (None: the script's own default) and the
# PE machine the installer must have to stage where that build of the tool looks.
TARGETS = {"win32": (None, 0x14C), "win64": ("amd64-unicode", 0x8664)}
# The installer's exit codes as the Unix side sees them (the low 8 bits).
DONE, RESTART_NEEDED, NOT_DONE = 0, 3010 & 0xFF, 2


def pe_machine(path):
    with open(path, "rb") as f:
        data = f.read(4096)
    return struct.unpack_from("<H", data, struct.unpack_from("<I", data, 0x3C)[0] + 4)[0]


class NsisExample(unittest.TestCase):
    installers = {}

    @classmethod
    def setUpClass(cls):
        cls.build_dir = tempfile.mkdtemp(prefix="nsis-", dir=CACHE)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.build_dir, ignore_errors=True)

    def setUp(self):
        self.m = lab.Machine(TARGET, CACHE, "nsis-" + self._testMethodName,
                             log=lambda text: print(text, file=sys.stderr))
        self.addCleanup(self.m.close)

    def installer(self, exe, lib):
        """The installer packing the fixtures `exe` and `lib`, built once."""
        if (exe, lib) not in self.installers:
            target, machine = TARGETS[TARGET.arch]
            out = os.path.join(self.build_dir, "setup-%s-%s.exe" % (exe, lib))
            command = [MAKENSIS, "-WX", "-V2"] + (["-DTARGET=" + target] if target else []) + [
                "-DPRODUCT_EXE=" + self.m.fixture("halunexe-%s.exe" % exe),
                "-DPRODUCT_DLL=" + self.m.fixture("halundll-%s.dll" % lib),
                "-DHALUNUPD_EXE=" + TARGET.exe, NSI, "-XOutFile " + out]
            result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=120)
            self.assertEqual(result.returncode, 0, "makensis (warnings are errors):\n" + result.stdout)
            self.assertEqual(pe_machine(out), machine, "PE machine of the installer")
            self.installers[(exe, lib)] = out
        return self.installers[(exe, lib)]

    def run_installer(self, exe, lib, expected, env=None):
        self.m.put(lab.wine.SETUP_DIR + "\\halunupd-setup.exe", self.installer(exe, lib))
        status, _, output = self.m.run([lab.wine.SETUP_DIR + "\\halunupd-setup.exe", "/S"], 120, env)
        self.assertEqual(status, expected, "installer exit code (low 8 bits); output:\n" + output)

    def expect(self, snapshot, exe, lib, staged_exe=None, staged_lib=None):
        wanted = dict(installed_exe="halunexe-%s.exe" % exe, installed_lib="halundll-%s.dll" % lib,
                      staged_exe=staged_exe and "halunexe-%s.exe" % staged_exe,
                      staged_lib=staged_lib and "halundll-%s.dll" % staged_lib)
        self.assertEqual(self.m.managed(snapshot), wanted)

    def relaunched(self, snapshot):
        relaunch = (self.m.sys + "\\" + lab.facts.MANAGED["installed_exe"]).lower() + lab.facts.DOCUMENTED["relaunch_argument"]
        self.assertEqual(snapshot.relaunches(), [relaunch], "resident log: %r" % snapshot.texts())

    def test_fresh_install(self):
        # Nothing installed, no marker key: the installer creates the key the
        # tool then writes its record to.
        self.run_installer("v460", "b", DONE)
        snapshot = self.m.snapshot(lab.facts.DOCUMENTED["relaunch_argument"])
        self.expect(snapshot, "v460", "b")
        self.relaunched(snapshot)
        self.assertEqual(snapshot.marker, lab.facts.DOCUMENTED["complete"])

    def test_same_version(self):
        # Same version text, other bytes: the installed pair stays.
        self.m.place(installed=("v450", "a"))
        self.run_installer("v450b", "b", DONE)
        self.expect(self.m.snapshot(), "v450", "a")

    def test_different_version_resident_running(self):
        self.m.place(installed=("v450", "a"))
        self.m.start_resident()
        self.run_installer("v460", "b", DONE)
        snapshot = self.m.snapshot(lab.facts.DOCUMENTED["relaunch_argument"])
        self.assertEqual(snapshot.texts().count("notice"), 1, "resident log: %r" % snapshot.texts())
        self.expect(snapshot, "v460", "b")
        self.relaunched(snapshot)

    def test_held_library_needs_restart(self):
        # The library stays in use through the tool's retries: it is left to
        # the restart, the silent install says 3010, and the restart cycle
        # puts the staged pair in place.
        self.m.place(installed=("v450", "a"))
        self.m.hold(self.m.where("installed_lib"), 60000)
        self.run_installer("v460", "b", RESTART_NEEDED)
        snapshot = self.m.snapshot()
        self.expect(snapshot, "v460", "a", staged_lib="b")
        self.assertEqual(snapshot.pending, lab.facts.moves(self.m.real_sys, "lib"))
        self.m.restart()
        self.expect(self.m.snapshot(), "v460", "b")

    def test_process_list_unavailable(self):
        # Without psapi the running copies cannot be checked: nothing is
        # replaced, the staged copies stay, and the install fails.
        self.m.place(installed=("v450", "a"))
        self.run_installer("v460", "b", NOT_DONE, env={"WINEDLLOVERRIDES": "psapi="})
        snapshot = self.m.snapshot()
        self.expect(snapshot, "v450", "a", staged_exe="v460", staged_lib="b")
        self.assertEqual(snapshot.pending, [])


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
        TARGET = lab.target("win10", args.exe, args.exe64)
    except lab.Unavailable as error:
        sys.exit("NSIS example under Wine cannot run: %s" % error)
    print("NSIS example with " + TARGET.described, file=sys.stderr)
    NSI, CACHE, MAKENSIS = os.path.abspath(args.nsi), os.path.abspath(args.cache), args.makensis
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
