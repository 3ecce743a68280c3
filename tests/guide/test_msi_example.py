#!/usr/bin/env python3
"""Builds the guide's Windows Installer example (docs/examples/halunupd.wxs)
with wixl around the built tool, halunmsi.dll and the stand-in product files,
runs it silently with msiexec under Wine, one fresh machine per course, and
checks msiexec's exit code, the custom action's log line and the machine an
install, rollback, repair, upgrade and removal leave.

  test_msi_example.py --exe EXE --exe64 EXE64 --wxs WXS --cache CACHE_DIR
                      [--wixl WIXL] [unittest options]

halunmsi.dll and the fixtures are beside each EXE. Under 32-bit Wine the
package is the example's (SystemFolder); else a 64-bit package (wixl -a x64,
the x86_64 builds, System64Folder), as a 64-bit msiexec loads only a 64-bit
custom action.
"""

import os
import re

import examples_common as common
from examples_common import DONE, FAILED, lab

PACKAGE, LOG = lab.wine.SETUP_DIR + "\\halunupd.msi", lab.wine.SETUP_DIR + "\\msiexec.log"
# Where the package installs the tool, per Wine kind (a 64-bit package's
# ProgramFilesFolder is the 32-bit one).
TOOL = {"win32": "C:\\Program Files\\Morvane Lumetra 4.5 update\\halunupd.exe",
        "win64": "C:\\Program Files (x86)\\Morvane Lumetra 4.5 update\\halunupd.exe"}

# Per Wine kind: wixl's architecture, the package's StagingFolder and Win64.
PACKAGES = {"win32": ("x86", "SystemFolder", "no"), "win64": ("x64", "System64Folder", "yes")}

# What wixl builds otherwise than the package asks, set as the guide says:
# the staged components' attributes (Permanent="yes", which wixl drops: 16
# permanent, 4 kept whole by a registry value), and the removal of an older
# package at its default place, right after InstallValidate (wixl puts it
# after InstallFinalize).
FIXES = ["UPDATE Component SET Attributes = 20 "
         "WHERE Component = 'StagedExecutable' OR Component = 'StagedLibrary'",
         "UPDATE InstallExecuteSequence SET Sequence = 1401 WHERE Action = 'RemoveExistingProducts'"]
# Where the installer lists the installed packages.
UNINSTALL_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"


class MsiExample(common.ExampleTest):
    prefix = "msi-"

    # --- arrangement ------------------------------------------------------
    def package(self, exe, lib, tool=None, version="4.60.0"):
        """The package `version` staging the fixture variants `exe` and `lib`,
        with the tool or the host file `tool` in its place, built once."""
        key = (exe, lib, tool, version)
        if key not in self.built:
            target = common.ARGS.target
            arch, folder, win64 = PACKAGES[target.arch]
            out = os.path.join(self.build_dir, "%s-%s-%d.msi" % (exe, lib, len(self.built)))
            # wixl finds a source file only by a path relative to its
            # working directory.
            def source(path):
                return os.path.relpath(path, self.build_dir)
            defines = {"ProductExe": source(self.m.fixture("halunexe-%s.exe" % exe)),
                       "ProductDll": source(self.m.fixture("halundll-%s.dll" % lib)),
                       "HalunupdExe": source(tool or target.exe),
                       "HalunmsiDll": source(os.path.join(os.path.dirname(target.exe), "halunmsi.dll")),
                       "PackageVersion": version, "StagingFolder": folder, "Win64": win64}
            command = [common.ARGS.builder, "-a", arch, "-o", out, common.ARGS.source]
            command += [part for name, value in defines.items() for part in ("-D", "%s=%s" % (name, value))]
            output = self.build(command, "wixl", cwd=self.build_dir)
            # wixl reports a part it drops as CRITICAL and still ends with 0.
            self.assertNotIn("CRITICAL", output, "wixl:\n" + output)
            self.build(["msibuild", out] + [part for query in FIXES for part in ("-q", query)], "msibuild")
            self.built[key] = out
        return self.built[key]

    # --- the run ----------------------------------------------------------
    def msiexec(self, args, expected, status, env=None, timeout=180):
        """Runs msiexec `args` silently, with a verbose log, and expects the
        custom action's line for `status` (None: no line); the restart is
        left to the test."""
        self.m.remove(LOG)
        code, _, _ = self.m.run(["msiexec"] + args + ["/qn", "/norestart", "/l*v", LOG], timeout, env)
        self.assertEqual(code, expected, "msiexec %s exit code (low 8 bits); log:\n%s"
                         % (" ".join(args), "\n".join(self.log_text().splitlines()[-25:])))
        lines = re.findall(r"halunupd\.exe ended with status (-?\d+): (.+)", self.log_text())
        self.assertEqual([int(number) for number, meaning in lines if meaning.strip()],
                         [] if status is None else [status], "log lines: %r" % lines)

    def install(self, exe, lib, expected, status, env=None, tool=None, version="4.60.0"):
        self.m.put(PACKAGE, self.package(exe, lib, tool, version))
        self.msiexec(["/i", PACKAGE], expected, status, env=env)

    run_example = install

    def repair(self, expected, status):
        """The repair as msiexec /fomus asks for it; Wine's msiexec /f finds
        no installed product by the package's path and cannot take a
        product code."""
        self.msiexec(["/i", PACKAGE, "REINSTALL=ALL", "REINSTALLMODE=omus"], expected, status)

    # --- observation ------------------------------------------------------
    def entries(self):
        """The installed packages of this example, as the installer lists them."""
        _, _, out = self.m.run(["reg", "query", UNINSTALL_KEY, "/s"])
        return re.findall(r"DisplayName\s+REG_SZ\s+(Morvane Lumetra 4\.5 update)", out)

    def log_text(self):
        data = self.m.read(LOG) or b""
        return data.decode("utf-16-le", "replace") if data.startswith(b"\xff\xfe") else data.decode("latin-1")

    def expect(self, snapshot=None, tool=None, **expected):
        """As for every example; tool: whether the package's tool is there."""
        snapshot = super().expect(snapshot, **expected)
        if tool is not None:
            path = TOOL[common.ARGS.target.arch]
            self.assertEqual(self.m.read(path) is not None, tool, path)
        return snapshot

    # --- the courses ------------------------------------------------------
    def test_tool_that_cannot_be_started_fails(self):
        # A file that is no program in the tool's place: the install fails,
        # the log says why (and has no line of a status), and the rollback
        # leaves the machine as it was.
        self.m.place(installed=("v450", "a"))
        self.install("v460", "b", FAILED, None, tool=common.ARGS.source)
        lines = re.findall(r"halunupd\.exe could not be started: error (\d+) for (.+)", self.log_text())
        self.assertEqual([path.strip() for error, path in lines], [TOOL[common.ARGS.target.arch]],
                         "log lines: %r" % lines)
        self.expect(installed=("v450", "a"), staged=(None, None), tool=False)

    def test_repair_and_removal_of_a_fresh_install(self):
        # A repair puts the staged copies back and runs the tool again: same
        # version, nothing replaced. The removal takes the tool and the pair
        # away.
        self.install("v460", "b", DONE, 1)
        self.expect(relaunched=True)
        self.repair(DONE, 2)
        self.expect(installed=("v460", "b"), staged=(None, None), tool=True)
        self.msiexec(["/x", PACKAGE], DONE, None)
        self.expect(installed=(None, None), staged=(None, None), tool=False)

    def test_restart_is_asked_for_by_the_immediate_action_only(self):
        # Wine's msiexec would let a deferred action set the restart mode;
        # the real one does not. Its trace shows where the mode is set: only
        # once the immediate action after InstallFinalize runs, and as
        # REBOOTATEND.
        self.arrange(installed=("v450", "a"), held="library")
        self.m.put(PACKAGE, self.package("v460", "b"))
        code, _, out = self.m.run(["msiexec", "/i", PACKAGE, "/qn", "/norestart"], 180, {"WINEDEBUG": "+msi"})
        self.assertEqual(code, common.RESTART_NEEDED, "msiexec exit code (low 8 bits)")
        lines = [line for line in out.splitlines()
                 if "trace:msi:MsiSetMode" in line or 'Handling custom action L"' in line]
        immediate = next((at for at, line in enumerate(lines) if 'L"RequestHalunupdRestart"' in line), None)
        self.assertIsNotNone(immediate, "RequestHalunupdRestart never ran: %r" % lines)
        modes = [(at, line.split("MsiSetMode", 1)[1].strip()) for at, line in enumerate(lines) if "MsiSetMode" in line]
        self.assertTrue(modes, "no MsiSetMode call: %r" % lines)
        # MSIRUNMODE_REBOOTATEND is 6, set to TRUE.
        self.assertEqual([(at > immediate, mode.split(", ")[1:]) for at, mode in modes],
                         [(True, ["6", "1"])] * len(modes), "MsiSetMode calls: %r" % lines)

    def test_upgrade_replaces_the_older_package(self):
        # A newer update package over an older one: the older entry goes, the
        # resident the first run started is told to close, the pair is new.
        # Wine's installer does not set UPGRADINGPRODUCTCODE when the upgrade
        # removes the older package, so that removal takes the pair away too
        # (telling the resident to close) and the tool installs it afresh (1);
        # Windows sets it, and the tool replaces the pair (3: the host model).
        self.install("v450", "a", DONE, 1, version="4.50.0")
        self.expect(relaunched=True)
        self.install("v460", "b", DONE, 1, version="4.60.0")
        self.expect(installed=("v460", "b"), staged=(None, None), relaunched=2, tool=True, events={"notice": 1})
        self.assertEqual(self.entries(), ["Morvane Lumetra 4.5 update"])

    def test_older_package_repair_keeps_the_newer_pair(self):
        # The package installed 4.50; 4.60 came by another way. Repairing the
        # older package restages 4.50, which it refuses: the installation
        # fails, the newer pair stays and the staged copies are withdrawn.
        self.install("v450", "a", DONE, 1)
        self.expect(relaunched=True)
        self.m.place(installed=("v460", "b"))
        self.repair(FAILED, None)
        refused = re.findall(r"the staged halunexe\.exe has version (\S+), older than the installed (\S+)",
                             self.log_text())
        self.assertEqual(refused, [("4.50", "4.60")], "log lines: %r" % refused)
        self.expect(installed=("v460", "b"), staged=(None, None), tool=True)

    def test_removal_while_a_replacement_waits_for_the_restart(self):
        # The library is left to the restart; a removal before it deletes the
        # staged copy the delayed move names, so that the move puts nothing
        # in place, and the held library at the restart: nothing is left.
        self.arrange(installed=("v450", "a"), held="library")
        self.install("v460", "b", common.RESTART_NEEDED, 4)
        self.msiexec(["/x", PACKAGE], common.RESTART_NEEDED, None)
        snapshot = self.expect(installed=(None, "a"), staged=(None, None), tool=False)
        deletion = ["\\??\\" + self.m.where("installed_lib"), ""]
        self.assertEqual([text.lower() for text in snapshot.pending],
                         [text.lower() for text in lab.facts.moves(self.m.real_sys, "lib") + deletion])
        self.m.restart()
        self.expect(installed=(None, None), staged=(None, None))

    # The removal (msiexec /x) of an installation that put the pair in place and
    # started the resident, one fresh machine per row of common.UNINSTALL_ROWS.
    def installed_for_uninstall(self, env):
        self.install("v460", "b", DONE, 1, env=env)

    def uninstall(self, code):
        self.msiexec(["/x", PACKAGE], code, None)
        self.assertEqual(self.entries(), [])


# The courses, one fresh machine per row: (name, the arrangement, the arguments
# of install(), what it leaves).
COURSES = common.INSTALLER_COURSES + [
    ("fresh_install", {}, ("v460", "b", DONE, 1),
     dict(installed=("v460", "b"), staged=(None, None), tool=True, relaunched=True)),
    # Without psapi nothing is replaced and the install fails; its
    # rollback removes the staged copies and the tool it installed.
    ("process_list_unavailable_rolls_back", dict(installed=("v450", "a")), ("v460", "b", FAILED, -1, common.NO_PSAPI),
     dict(installed=("v450", "a"), staged=(None, None), moved=(), tool=False)),
    # Windows NT 4.0 schedules nothing: the 4 of an installed version
    # below 4.42 leaves the update undone, and the install fails. Its
    # version is shown to the tool and to msiexec, which runs the custom
    # action.
    ("restart_needed_where_nothing_is_scheduled_fails", dict(nt40="msiexec.exe", installed=("v44", "a")),
     ("v460", "b", FAILED, 4), dict(installed=("v44", "a"), staged=(None, None), moved=(), tool=False)),
]
common.add_tests(MsiExample, COURSES)
common.add_tests(MsiExample, common.UNINSTALL_ROWS, common.uninstall_course, "test_uninstall_")


if __name__ == "__main__":
    common.main(__doc__, "Windows Installer example", "--wxs",
                ("--wixl", "wixl", "scripts/install-deps.sh installs msitools and wixl"))
