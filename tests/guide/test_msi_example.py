#!/usr/bin/env python3
"""Builds the integration guide's Windows Installer example
(docs/examples/halunupd.wxs) with wixl around the built halunupd.exe, its
custom action halunmsi.dll and the stand-in product files, installs it
silently with msiexec under Wine, one fresh machine per course (the lab
layer, tests/e2e/lab), and checks
msiexec's exit code, the line the custom action writes to the installer's
log and the machine it leaves: the managed files, the resident's notice and
relaunch, the restart-time moves, what a rollback, a repair and a removal
leave.

  test_msi_example.py --exe EXE --exe64 EXE64 --wxs WXS --cache CACHE_DIR
                      [--wixl WIXL] [unittest options]

EXE is the shipped i686 build, EXE64 its x86_64 build; halunmsi.dll and the
"fixtures" folder are beside each. Where the lab runs 32-bit Wine the package is the 32-bit one the example describes
(EXE, the i686 halunmsi.dll, SystemFolder) in a 32-bit prefix; where it
does not, a 64-bit package (wixl -a x64, the x86_64 builds, System64Folder)
runs in a 64-bit prefix, whose msiexec loads only a 64-bit custom action.
CACHE_DIR holds the base prefix, the scenario copies and the packages.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import lab  # noqa: E402

TARGET = WXS = WIXL = CACHE = None
PACKAGE, LOG = lab.wine.SETUP_DIR + "\\halunupd.msi", lab.wine.SETUP_DIR + "\\msiexec.log"
RELAUNCH = (lab.wine.SYSTEM32 + "\\" + lab.facts.MANAGED["installed_exe"]).lower() + lab.facts.DOCUMENTED["relaunch_argument"]
# Where the package installs the tool, per Wine kind (a 64-bit package's
# ProgramFilesFolder is the 32-bit one).
TOOL = {"win32": "C:\\Program Files\\Morvane Lumetra 4.5 update\\halunupd.exe",
        "win64": "C:\\Program Files (x86)\\Morvane Lumetra 4.5 update\\halunupd.exe"}

# Per Wine kind: wixl's architecture, the package's StagingFolder and Win64.
PACKAGES = {"win32": ("x86", "SystemFolder", "no"), "win64": ("x64", "System64Folder", "yes")}

# msiexec's exit codes as the Unix side sees them (the low 8 bits).
DONE, RESTART_NEEDED, FAILED = 0, 3010 & 0xFF, 1603 & 0xFF


class MsiExample(unittest.TestCase):
    packages = {}

    @classmethod
    def setUpClass(cls):
        cls.build_dir = tempfile.mkdtemp(prefix="msi-", dir=CACHE)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.build_dir, ignore_errors=True)

    # --- arrangement ------------------------------------------------------
    def package(self, exe, lib, tool=None):
        """The package staging the fixtures `exe` and `lib`, with the tool or
        the host file `tool` in its place, built once."""
        key = (exe, lib, tool)
        if key not in self.packages:
            arch, folder, win64 = PACKAGES[TARGET.arch]
            out = os.path.join(self.build_dir, "%s-%s-%d.msi" % (exe[:-4], lib[:-4], len(self.packages)))
            defines = {"ProductExe": self.m.fixture(exe), "ProductDll": self.m.fixture(lib),
                       "HalunupdExe": tool or TARGET.exe,
                       "HalunmsiDll": os.path.join(os.path.dirname(TARGET.exe), "halunmsi.dll"),
                       "StagingFolder": folder, "Win64": win64}
            command = [WIXL, "-a", arch, "-o", out, WXS]
            for name, value in defines.items():
                # wixl finds a source file only by a path relative to its
                # working directory.
                if os.path.isabs(value):
                    value = os.path.relpath(value, self.build_dir)
                command += ["-D", "%s=%s" % (name, value)]
            result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                    text=True, timeout=120, cwd=self.build_dir)
            # wixl reports a part it drops as CRITICAL and still ends with 0.
            self.assertTrue(result.returncode == 0 and "CRITICAL" not in result.stdout,
                            "wixl exit %d:\n%s" % (result.returncode, result.stdout))
            self.packages[key] = out
        return self.packages[key]

    def setUp(self):
        self.m = lab.Machine(TARGET, CACHE, "msi-" + self._testMethodName, log=lambda text: print(text, file=sys.stderr))
        self.addCleanup(self.m.close)

    def arrange(self, installed=None, windows=None):
        """The installed pair (executable and library variants) and, when
        `windows` names a family (nt40, ...), its Windows version shown to
        the tool and to msiexec (which runs the custom action)."""
        for program in ("halunupd.exe", "msiexec.exe") if windows else ():
            self.m.set_version(program, lab.facts.FAMILIES[windows]["wine_version"])
        self.m.place(installed=installed)

    # --- the run ----------------------------------------------------------
    def msiexec(self, args, expected, env=None, timeout=180):
        """Runs msiexec `args` silently, with a verbose log; the restart is
        left to the test."""
        self.m.remove(LOG)
        status, _, _ = self.m.run(["msiexec"] + args + ["/qn", "/norestart", "/l*v", LOG], timeout, env)
        self.assertEqual(status, expected, "msiexec %s exit code (low 8 bits); log:\n%s"
                         % (" ".join(args), self.log_tail()))

    def install(self, exe, lib, expected, env=None, tool=None):
        self.m.put(PACKAGE, self.package(exe, lib, tool))
        self.msiexec(["/i", PACKAGE], expected, env=env)

    # --- observation ------------------------------------------------------
    def log_text(self):
        data = self.m.read(LOG) or b""
        if data.startswith(b"\xff\xfe"):
            return data.decode("utf-16-le", "replace")
        return data.decode("latin-1")

    def log_tail(self):
        return "\n".join(self.log_text().splitlines()[-25:])

    def expect_not_started(self):
        lines = re.findall(r"halunupd\.exe could not be started: error (\d+) for (.+)", self.log_text())
        self.assertEqual([path.strip() for error, path in lines], [TOOL[TARGET.arch]], "log lines: %r" % lines)

    def expect_logged(self, status):
        """The custom action's one line: `status` and a meaning (None: no line)."""
        lines = re.findall(r"halunupd\.exe ended with status (-?\d+): (.+)", self.log_text())
        self.assertEqual([int(number) for number, meaning in lines if meaning.strip()],
                         [] if status is None else [status], "log lines: %r" % lines)

    def expect_files(self, snapshot=None, tool=None, **expected):
        """installed_exe=..., ...: the fixture each managed file is, or None
        when it is gone; tool: whether the package's tool is there."""
        got = self.m.managed(snapshot or self.m.snapshot())
        self.assertEqual(got, dict(got, **expected))
        if tool is not None:
            self.assertEqual(self.m.read(TOOL[TARGET.arch]) is not None, tool, TOOL[TARGET.arch])

    def expect_relaunched(self):
        snapshot = self.m.snapshot(lab.facts.DOCUMENTED["relaunch_argument"])
        self.assertEqual(snapshot.relaunches(), [RELAUNCH], "resident log: %r" % snapshot.texts())
        return snapshot

    # --- the courses ------------------------------------------------------
    def test_fresh_install(self):
        self.arrange()
        self.install("halunexe-v460.exe", "halundll-b.dll", DONE)
        self.expect_logged(1)
        self.expect_files(installed_exe="halunexe-v460.exe", installed_lib="halundll-b.dll",
                          staged_exe=None, staged_lib=None, tool=True)
        self.expect_relaunched()

    def test_same_version(self):
        self.arrange(("v450", "a"))
        self.install("halunexe-v450b.exe", "halundll-b.dll", DONE)
        self.expect_logged(2)
        self.expect_files(installed_exe="halunexe-v450.exe", installed_lib="halundll-a.dll",
                          staged_exe=None, staged_lib=None)

    def test_different_version_resident_running(self):
        self.arrange(("v450", "a"))
        self.m.start_resident()
        self.install("halunexe-v460.exe", "halundll-b.dll", DONE)
        self.expect_logged(3)
        snapshot = self.expect_relaunched()
        self.assertEqual(snapshot.texts().count("notice"), 1, "resident log: %r" % snapshot.texts())
        self.expect_files(snapshot, installed_exe="halunexe-v460.exe", installed_lib="halundll-b.dll",
                          staged_exe=None, staged_lib=None)

    def test_held_library_needs_restart(self):
        # The library stays in use through the tool's retries: it is left to
        # the restart, msiexec says 3010, and the restart cycle puts the
        # staged pair in place.
        self.arrange(("v450", "a"))
        self.m.hold(self.m.where("installed_lib"), 60000)
        self.install("halunexe-v460.exe", "halundll-b.dll", RESTART_NEEDED)
        self.expect_logged(4)
        snapshot = self.m.snapshot()
        self.expect_files(snapshot, installed_exe="halunexe-v460.exe", staged_exe=None,
                          installed_lib="halundll-a.dll", staged_lib="halundll-b.dll")
        self.assertEqual(snapshot.pending, lab.facts.moves(self.m.real_sys, "lib"))
        self.m.restart()
        self.expect_files(installed_exe="halunexe-v460.exe", installed_lib="halundll-b.dll",
                          staged_exe=None, staged_lib=None)

    def test_process_list_unavailable_rolls_back(self):
        # Without psapi nothing is replaced and the install fails; its
        # rollback removes the staged copies and the tool it installed.
        self.arrange(("v450", "a"))
        self.install("halunexe-v460.exe", "halundll-b.dll", FAILED, env={"WINEDLLOVERRIDES": "psapi="})
        self.expect_logged(-1)
        self.expect_files(installed_exe="halunexe-v450.exe", installed_lib="halundll-a.dll",
                          staged_exe=None, staged_lib=None, tool=False)
        self.assertEqual(self.m.snapshot().pending, [])

    def test_restart_needed_where_nothing_is_scheduled_fails(self):
        # Windows NT 4.0 schedules nothing: the 4 of an installed version
        # below 4.42 leaves the update undone, and the install fails.
        self.arrange(("v44", "a"), windows="nt40")
        self.install("halunexe-v460.exe", "halundll-b.dll", FAILED)
        self.expect_logged(4)
        self.expect_files(installed_exe="halunexe-v44.exe", installed_lib="halundll-a.dll",
                          staged_exe=None, staged_lib=None, tool=False)
        self.assertEqual(self.m.snapshot().pending, [])

    def test_tool_that_cannot_be_started_fails(self):
        # A file that is no program in the tool's place: the install fails,
        # the log says why, and the rollback leaves the machine as it was.
        self.arrange(("v450", "a"))
        self.install("halunexe-v460.exe", "halundll-b.dll", FAILED, tool=WXS)
        self.expect_not_started()
        self.expect_logged(None)
        self.expect_files(installed_exe="halunexe-v450.exe", installed_lib="halundll-a.dll",
                          staged_exe=None, staged_lib=None, tool=False)

    def test_repair_and_removal_of_a_fresh_install(self):
        # A repair puts the staged copies back and runs the tool again: same
        # version, nothing replaced. The removal takes the tool away and
        # leaves the installed pair, which the package never installed.
        self.arrange()
        self.install("halunexe-v460.exe", "halundll-b.dll", DONE)
        self.expect_relaunched()
        # The repair as msiexec /fomus asks for it; Wine's msiexec /f finds
        # no installed product by the package's path and cannot take a
        # product code.
        self.msiexec(["/i", PACKAGE, "REINSTALL=ALL", "REINSTALLMODE=omus"], DONE)
        self.expect_logged(2)
        self.expect_files(installed_exe="halunexe-v460.exe", installed_lib="halundll-b.dll",
                          staged_exe=None, staged_lib=None, tool=True)
        self.msiexec(["/x", PACKAGE], DONE)
        self.expect_logged(None)
        self.expect_files(installed_exe="halunexe-v460.exe", installed_lib="halundll-b.dll",
                          staged_exe=None, staged_lib=None, tool=False)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(usage=__doc__)
    parser.add_argument("--exe")
    parser.add_argument("--exe64")
    parser.add_argument("--wxs", required=True)
    parser.add_argument("--cache", required=True)
    parser.add_argument("--wixl", default=shutil.which("wixl"))
    args, rest = parser.parse_known_args()
    if not args.wixl:
        sys.exit("Windows Installer example cannot be built: wixl not found"
                 " (scripts/install-deps.sh installs msitools and wixl)")
    try:
        TARGET = lab.target("win10", args.exe, args.exe64)
    except lab.Unavailable as error:
        sys.exit("Windows Installer example under Wine cannot run: %s" % error)
    print("Windows Installer example with " + TARGET.described, file=sys.stderr)
    WXS, CACHE, WIXL = os.path.abspath(args.wxs), os.path.abspath(args.cache), args.wixl
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
