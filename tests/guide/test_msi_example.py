#!/usr/bin/env python3
"""Builds the integration guide's Windows Installer example
(docs/examples/halunupd.wxs) with wixl around the built halunupd.exe, its
custom action halunmsi.dll and the stand-in product files, installs it
silently with msiexec under Wine, one fresh prefix per course, and checks
msiexec's exit code, the line the custom action writes to the installer's
log and the machine it leaves: the managed files, the resident's notice and
relaunch, the restart-time moves, what a rollback, a repair and a removal
leave.

  test_msi_example.py --exe EXE --exe64 EXE64 --wxs WXS --cache CACHE_DIR
                      [--wixl WIXL] [unittest options]

EXE is the shipped i686 build, EXE64 its x86_64 build; halunmsi.dll and the
"fixtures" folder are beside each. Where this host runs 32-bit Wine
(winehost.pick_build) the package is the 32-bit one the example describes
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

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import winehost  # noqa: E402

ARCH = EXE = WXS = WIXL = FIXTURES = CACHE = DESCRIBED = None
SYS = winehost.SYSTEM_DIR
SETUP_DIR = "C:\\setup"
PACKAGE, LOG = SETUP_DIR + "\\halunupd.msi", SETUP_DIR + "\\msiexec.log"
SESSION_KEY = "HKLM\\System\\CurrentControlSet\\Control\\Session Manager"
INSTALLED_EXE, STAGED_EXE = SYS + "\\halunexe.exe", SYS + "\\halunexe.ex$"
INSTALLED_LIB, STAGED_LIB = SYS + "\\halundll.dll", SYS + "\\halundll.dl$"
RELAUNCH = INSTALLED_EXE.lower() + " /init"
# Where the package installs the tool, per Wine kind (a 64-bit package's
# ProgramFilesFolder is the 32-bit one).
TOOL = {"win32": "C:\\Program Files\\Morvane Lumetra 4.5 update\\halunupd.exe",
        "win64": "C:\\Program Files (x86)\\Morvane Lumetra 4.5 update\\halunupd.exe"}

# Per Wine kind: wixl's architecture, the package's StagingFolder and Win64.
PACKAGES = {"win32": ("x86", "SystemFolder", "no"), "win64": ("x64", "System64Folder", "yes")}

# msiexec's exit codes as the Unix side sees them (the low 8 bits).
DONE, RESTART_NEEDED, FAILED = 0, 3010 & 0xFF, 1603 & 0xFF


def fixture_path(name):
    return os.path.join(FIXTURES, name)


def fixture(name):
    with open(fixture_path(name), "rb") as f:
        return f.read()


class MsiExample(unittest.TestCase):
    packages = {}

    @classmethod
    def setUpClass(cls):
        print("Windows Installer example with " + DESCRIBED, file=sys.stderr)
        cls.base = winehost.base_prefix(CACHE, log=lambda text: print(text, file=sys.stderr))
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
            arch, folder, win64 = PACKAGES[ARCH]
            out = os.path.join(self.build_dir, "%s-%s-%d.msi" % (exe[:-4], lib[:-4], len(self.packages)))
            defines = {"ProductExe": fixture_path(exe), "ProductDll": fixture_path(lib),
                       "HalunupdExe": tool or EXE, "HalunmsiDll": os.path.join(os.path.dirname(EXE), "halunmsi.dll"),
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
        self.prefix = winehost.Prefix.fresh(self.base, "msi-" + self._testMethodName, tmp_root=CACHE)
        self.addCleanup(self.prefix.close)

    def arrange(self, installed_exe=None, installed_lib=None, windows=None):
        """The installed files and, when `windows` is given (nt40, ...), the
        Windows version the tool and msiexec (which runs the custom action)
        are shown."""
        for program in ("halunupd.exe", "msiexec.exe") if windows else ():
            self.prefix.set_version(program, windows)
        if installed_exe:
            self.prefix.put(INSTALLED_EXE, data=fixture(installed_exe))
        if installed_lib:
            self.prefix.put(INSTALLED_LIB, data=fixture(installed_lib))
        # The session starts before the install, so that what the tool
        # schedules for the restart waits for restart().
        self.prefix.boot()

    def start_resident(self):
        self.prefix.start_until([INSTALLED_EXE], ready=lambda: "ready" in self.log_events(),
                                begun=self.log_events, say=print)

    def hold_library(self):
        self.prefix.put(SETUP_DIR + "\\holder.exe", source=fixture_path("holder.exe"))
        holder = self.prefix.start([SETUP_DIR + "\\holder.exe", INSTALLED_LIB, "60000"])
        self.assertEqual(self.prefix.first_line(holder, 30), "held", self.prefix.describe(holder))

    # --- the run ----------------------------------------------------------
    def msiexec(self, args, expected, env=None, timeout=180):
        """Runs msiexec `args` silently, with a verbose log; the restart is
        left to the test."""
        self.prefix.remove(LOG)
        result = self.prefix.run(["msiexec"] + args + ["/qn", "/norestart", "/l*v", LOG],
                                 timeout=timeout, env=env)
        self.assertEqual(result.returncode, expected, "msiexec %s exit code (low 8 bits); log:\n%s"
                         % (" ".join(args), self.log_tail()))

    def install(self, exe, lib, expected, env=None, tool=None):
        self.prefix.put(PACKAGE, source=self.package(exe, lib, tool))
        self.msiexec(["/i", PACKAGE], expected, env=env)

    # --- observation ------------------------------------------------------
    def log_text(self):
        data = self.prefix.read(LOG) or b""
        if data.startswith(b"\xff\xfe"):
            return data.decode("utf-16-le", "replace")
        return data.decode("latin-1")

    def log_tail(self):
        return "\n".join(self.log_text().splitlines()[-25:])

    def expect_not_started(self):
        lines = re.findall(r"halunupd\.exe could not be started: error (\d+) for (.+)", self.log_text())
        self.assertEqual([path.strip() for error, path in lines], [TOOL[ARCH]], "log lines: %r" % lines)

    def expect_logged(self, status):
        """The custom action's one line: `status` and a meaning (None: no line)."""
        lines = re.findall(r"halunupd\.exe ended with status (-?\d+): (.+)", self.log_text())
        self.assertEqual([int(number) for number, meaning in lines if meaning.strip()],
                         [] if status is None else [status], "log lines: %r" % lines)

    def expect_files(self, **expected):
        """installed_exe=..., staged_exe=..., installed_lib=..., staged_lib=...,
        tool=...: a fixture name whose bytes the file holds (the tool: True
        for present), or None when it is gone."""
        paths = {"installed_exe": INSTALLED_EXE, "staged_exe": STAGED_EXE,
                 "installed_lib": INSTALLED_LIB, "staged_lib": STAGED_LIB, "tool": TOOL[ARCH]}
        for key, name in expected.items():
            actual = self.prefix.read(paths[key])
            if name is None:
                self.assertIsNone(actual, "%s should be gone, holds %d bytes"
                                  % (paths[key], len(actual or b"")))
            elif name is True:
                self.assertIsNotNone(actual, "%s is missing" % paths[key])
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

    def expect_relaunched(self, count=1):
        winehost.wait_for(lambda: len(self.relaunches()) >= count, 30)
        self.assertEqual(self.relaunches(), [RELAUNCH] * count, "resident log: %r" % self.log_events())

    def pending_moves(self):
        return self.prefix.reg_value(SESSION_KEY, "PendingFileRenameOperations")

    # --- the courses ------------------------------------------------------
    def test_fresh_install(self):
        self.arrange()
        self.install("halunexe-v460.exe", "halundll-b.dll", DONE)
        self.expect_logged(1)
        self.expect_files(installed_exe="halunexe-v460.exe", installed_lib="halundll-b.dll",
                          staged_exe=None, staged_lib=None, tool=True)
        self.expect_relaunched()

    def test_same_version(self):
        self.arrange("halunexe-v450.exe", "halundll-a.dll")
        self.install("halunexe-v450b.exe", "halundll-b.dll", DONE)
        self.expect_logged(2)
        self.expect_files(installed_exe="halunexe-v450.exe", installed_lib="halundll-a.dll",
                          staged_exe=None, staged_lib=None)

    def test_different_version_resident_running(self):
        self.arrange("halunexe-v450.exe", "halundll-a.dll")
        self.start_resident()
        self.install("halunexe-v460.exe", "halundll-b.dll", DONE)
        self.expect_logged(3)
        self.assertEqual(self.log_events().count("notice"), 1, "resident log: %r" % self.log_events())
        self.expect_files(installed_exe="halunexe-v460.exe", installed_lib="halundll-b.dll",
                          staged_exe=None, staged_lib=None)
        self.expect_relaunched()

    def test_held_library_needs_restart(self):
        # The library stays in use through the tool's retries: it is left to
        # the restart, msiexec says 3010, and the restart cycle puts the
        # staged pair in place.
        self.arrange("halunexe-v450.exe", "halundll-a.dll")
        self.hold_library()
        self.install("halunexe-v460.exe", "halundll-b.dll", RESTART_NEEDED)
        self.expect_logged(4)
        self.expect_files(installed_exe="halunexe-v460.exe", staged_exe=None,
                          installed_lib="halundll-a.dll", staged_lib="halundll-b.dll")
        self.assertEqual(self.pending_moves(), ("multi_sz", ["\\??\\" + STAGED_LIB.lower(),
                                                             "!\\??\\" + INSTALLED_LIB.lower()]))
        self.prefix.restart()
        self.expect_files(installed_exe="halunexe-v460.exe", installed_lib="halundll-b.dll",
                          staged_exe=None, staged_lib=None)

    def test_process_list_unavailable_rolls_back(self):
        # Without psapi nothing is replaced and the install fails; its
        # rollback removes the staged copies and the tool it installed.
        self.arrange("halunexe-v450.exe", "halundll-a.dll")
        self.install("halunexe-v460.exe", "halundll-b.dll", FAILED, env={"WINEDLLOVERRIDES": "psapi="})
        self.expect_logged(-1)
        self.expect_files(installed_exe="halunexe-v450.exe", installed_lib="halundll-a.dll",
                          staged_exe=None, staged_lib=None, tool=None)
        self.assertIsNone(self.pending_moves())

    def test_restart_needed_where_nothing_is_scheduled_fails(self):
        # Windows NT 4.0 schedules nothing: the 4 of an installed version
        # below 4.42 leaves the update undone, and the install fails.
        self.arrange("halunexe-v44.exe", "halundll-a.dll", windows="nt40")
        self.install("halunexe-v460.exe", "halundll-b.dll", FAILED)
        self.expect_logged(4)
        self.expect_files(installed_exe="halunexe-v44.exe", installed_lib="halundll-a.dll",
                          staged_exe=None, staged_lib=None, tool=None)
        self.assertIsNone(self.pending_moves())

    def test_tool_that_cannot_be_started_fails(self):
        # A file that is no program in the tool's place: the install fails,
        # the log says why, and the rollback leaves the machine as it was.
        self.arrange("halunexe-v450.exe", "halundll-a.dll")
        self.install("halunexe-v460.exe", "halundll-b.dll", FAILED, tool=WXS)
        self.expect_not_started()
        self.expect_logged(None)
        self.expect_files(installed_exe="halunexe-v450.exe", installed_lib="halundll-a.dll",
                          staged_exe=None, staged_lib=None, tool=None)

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
                          staged_exe=None, staged_lib=None, tool=None)


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
        ARCH, EXE, FIXTURES, DESCRIBED = winehost.pick_build(args.exe, args.exe64)
    except winehost.WineUnavailable as error:
        sys.exit("Windows Installer example under Wine cannot run: %s" % error)
    WXS, CACHE, WIXL = os.path.abspath(args.wxs), os.path.abspath(args.cache), args.wixl
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
