#!/usr/bin/env python3
"""End-to-end scenarios: the built halunupd.exe under Wine, on each Windows
family it supports, against stand-ins of the product's files.

    run_e2e.py --exe build/win/halunupd.exe --exe64 build/win64/halunupd.exe [--cache DIR] SCENARIO
    run_e2e.py --list
    run_e2e.py --exe ... --exe64 ... --make-base [--cache DIR]

Where this host runs 32-bit Wine, the shipped i686 build (--exe) runs in a
32-bit prefix; where it cannot, the x86_64 build of the same sources
(--exe64) runs in a 64-bit prefix (see winehost.decide_arch;
HALUNUPD_WINE_ARCH=win32 or win64 forces either). Each build's fixtures are
in the "fixtures" folder beside it.

The "64-bit Windows" family (scenarios ending in .win64) runs the shipped
i686 build and its fixtures in a 64-bit prefix whatever that choice, as
64-bit Windows runs a 32-bit setup and tool under WOW64: the product's files
are in C:\windows\syswow64, which the tool sees as its system32, and the
marker is in the 32-bit registry view, HKLM\Software\Wow6432Node\... .
Where this host cannot execute 32-bit programs these scenarios do not run:
they print why and end with status 77, which CTest reports as skipped.

Each scenario gets a fresh copy of one cached base prefix (so its own
wineserver), the Windows version Wine reports to halunupd.exe, the managed
files in the system directory and, as needed, the marker key, the resident
stand-in and a file holder. It runs the tool with a timeout and checks the
exit status, the bytes of every managed file, the marker, the notice and the
relaunch recorded by the resident, the restart-time instructions and, for
every deferred course, the restart cycle. Every failed check is reported
with the actual value; the exit status is 1 when any failed.

The integration guide (docs/integration.md) names, in its table "What each
run leaves", the scenarios that show each row. Such a scenario checks its row
after its run (Case.expect_documented): the status, what each managed file
holds, what is scheduled for the restart, the relaunch and the marker; a
scenario the table names that does not check its row fails.

Where Wine differs from real Windows the scenario says so and checks the
rest: toolhelp reports base names under Wine (full paths on Windows 98/ME),
so the notice by process snapshot cannot match there.
"""

import argparse
import os
import re
import sys
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winehost  # noqa: E402

SYS = winehost.SYSTEM_DIR
WINDIR = winehost.WINDOWS_DIR
SETUP_DIR = "C:\\setup"
MARKER_KEY = "HKLM\\Software\\Morvane of Brastow\\Morvane Lumetra 4.5"
MARKER_VALUE = "Vastel"
SESSION_KEY = "HKLM\\System\\CurrentControlSet\\Control\\Session Manager"
PENDING_VALUE = "PendingFileRenameOperations"

INSTALLED_EXE = SYS + "\\halunexe.exe"
STAGED_EXE = SYS + "\\halunexe.ex$"
INSTALLED_LIB = SYS + "\\halundll.dll"
STAGED_LIB = SYS + "\\halundll.dl$"
MANAGED = [INSTALLED_EXE, STAGED_EXE, INSTALLED_LIB, STAGED_LIB]

# The installed path as the tool builds it: the system directory as reported,
# the whole folded to lower case; the relaunch adds " /init". Under WOW64 too:
# the tool is told system32, and Windows redirects the start.
RELAUNCH = (SYS + "\\halunexe.exe").lower() + " /init"
# How long the relaunched resident may take to write its first line: the
# tool does not wait for it, and a loaded host starts a Wine process slowly.
RELAUNCH_WAIT = 30

# The "64-bit Windows" family: the Windows version Wine reports in it, where
# the files of a 32-bit program's system32 really are, and where its marker is.
WOW64 = "win64"
WOW64_WINE_VERSION = "win10"
SYSWOW64 = WINDIR + "\\syswow64"
MARKER_KEY_WOW64 = "HKLM\\Software\\Wow6432Node\\Morvane of Brastow\\Morvane Lumetra 4.5"
# The exit status of a scenario that cannot run on this host.
SKIPPED = 77

GUIDE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs",
                     "integration.md")
# The guide's table of what each run leaves: its section and its columns, as
# the keys of a row.
LEAVES_SECTION = "## What each run leaves"
LEAVES_COLUMNS = [("Status", "status"), ("Run", "run"), ("`halunexe.exe`", "installed_exe"),
                  ("`halundll.dll`", "installed_lib"), ("`halunexe.ex$`", "staged_exe"),
                  ("`halundll.dl$`", "staged_lib"), ("At the restart", "restart"),
                  ("Started", "started"), ("Marker", "marker"), ("Shown by", "shown_by")]
# The words of each column and what a scenario checks for each: an installed
# file "unchanged" or holding the staged file's bytes ("new"); a staged copy
# left ("kept") or not there afterwards ("removed", "none").
FILE_WORDS = {"unchanged": "before", "kept": "before", "removed": "gone", "none": "gone"}
STAGED_OF = {"installed_exe": "staged_exe", "installed_lib": "staged_lib"}
RESTART_WORDS = {"nothing": (False, False), "library": (True, False),
                 "executable": (False, True), "both": (True, True)}
STARTED_WORDS = {"yes": True, "no": False}
MARKER_WORDS = {"written": "Complete", "not written": None}
NOT_TRIED = "not tried on Wine"


def documented_runs(text):
    """The rows of the guide's table of what each run leaves, as dicts keyed by
    LEAVES_COLUMNS' keys; "status" is an int, "shown_by" the list of scenario
    names (name.windows) the row names. Raises ValueError on a table that is
    not in that form."""
    if LEAVES_SECTION not in text:
        raise ValueError("no section %r in the guide" % LEAVES_SECTION)
    section = text.split(LEAVES_SECTION, 1)[1].split("\n## ", 1)[0]
    lines = [line.strip() for line in section.splitlines() if line.strip().startswith("|")]
    cells = [[cell.strip() for cell in line.strip("|").split("|")] for line in lines]
    header = [title for title, _ in LEAVES_COLUMNS]
    if len(cells) < 3 or cells[0] != header:
        raise ValueError("the table's header is %r, expected %r" % (cells[:1], header))
    rows = []
    for row in cells[2:]:
        if len(row) != len(header):
            raise ValueError("row %r has %d cells, expected %d" % (row, len(row), len(header)))
        documented = {key: value for (_, key), value in zip(LEAVES_COLUMNS, row)}
        documented["status"] = int(documented["status"])
        shown_by = documented["shown_by"]
        documented["shown_by"] = re.findall(r"`e2e\.([\w-]+\.\w+)`", shown_by)
        if not documented["shown_by"] and not shown_by.startswith(NOT_TRIED):
            raise ValueError("row %r names no scenario and does not say %r" % (row, NOT_TRIED))
        rows.append(documented)
    return rows


def documented_run(name):
    """The guide's row that names the scenario `name`, or None."""
    with open(GUIDE, encoding="utf-8") as f:
        rows = documented_runs(f.read())
    found = [row for row in rows if name in row["shown_by"]]
    if len(found) > 1:
        raise ValueError("the guide's table names %s in %d rows" % (name, len(found)))
    return found[0] if found else None


class Failed(Exception):
    pass


class Case:
    """One scenario's prefix, fixtures and checks."""

    def __init__(self, args, name, wow64=False):
        self.args = args
        self.name = name
        self.failures = []
        # Under WOW64 the files a 32-bit program sees in system32 are in
        # SysWOW64, its HKLM\Software in Wow6432Node; the prefix is 64-bit.
        self.wow64 = wow64
        self.sys_dir = SYSWOW64 if wow64 else SYS
        self.marker_key = MARKER_KEY_WOW64 if wow64 else MARKER_KEY
        self.paths = {key: self.sys_dir + "\\" + name for key, name in
                      (("installed_exe", "halunexe.exe"), ("staged_exe", "halunexe.ex$"),
                       ("installed_lib", "halundll.dll"), ("staged_lib", "halundll.dl$"))}
        arch = "win64" if wow64 else None
        base = winehost.base_prefix(args.cache, log=self.say, arch=arch)
        self.prefix = winehost.Prefix.fresh(base, "halunupd-e2e-" + name, args.tmp, arch=arch)
        self.status = None
        self.elapsed = None
        # Set once the scenario has checked its row of the guide's table.
        self.documented_checked = False

    def say(self, text):
        print("[%s] %s" % (self.name, text), flush=True)

    def fixture(self, name):
        return os.path.join(self.args.fixtures, name)

    def fixture_bytes(self, name):
        with open(self.fixture(name), "rb") as f:
            return f.read()

    def exe(self, variant):
        return "halunexe-%s.exe" % variant

    # --- arrangement (before Wine starts in the prefix) ---
    def arrange(self, version, installed=None, staged=None, marker="old", tool_dir=SETUP_DIR):
        """installed/staged: (exe variant or None, library variant or None);
        marker: the value to put under the marker key, or None for no key."""
        self.version = version
        self.prefix.set_version("halunupd.exe", WOW64_WINE_VERSION if self.wow64 else version)
        if marker is not None:
            self.prefix.add_key(self.marker_key, {MARKER_VALUE: marker})
        self.expected = {}
        paths = self.paths
        for pair, exe_path, lib_path in (
                (installed, paths["installed_exe"], paths["installed_lib"]),
                (staged, paths["staged_exe"], paths["staged_lib"])):
            exe_variant, lib_variant = pair or (None, None)
            if exe_variant:
                self.prefix.put(exe_path, self.fixture(self.exe(exe_variant)))
            if lib_variant:
                self.prefix.put(lib_path, self.fixture("halundll-%s.dll" % lib_variant))
        self.before = {path: self.prefix.read(path) for path in self.paths.values()}
        self.tool = tool_dir + "\\halunupd.exe"
        self.prefix.put(self.tool, self.args.exe)
        # The session starts now, so that scheduled renames are not performed
        # before the tool runs.
        self.prefix.boot()

    def start_resident(self, env=None):
        """Starts the installed resident and waits until its window exists."""
        try:
            self.prefix.start_until([self.paths["installed_exe"]],
                                    ready=lambda: "ready" in self.log_events(),
                                    begun=self.log_text, env=env, say=self.say)
        except winehost.NotReady as e:
            raise Failed("the resident did not create its window: %s; log: %r"
                         % (e, self.log_text()))

    def start_holder(self, path, milliseconds):
        """Starts the holder on `path` and waits until it holds the file; the
        holder is self.holder."""
        self.prefix.put(SETUP_DIR + "\\holder.exe", self.fixture("holder.exe"))
        process = self.prefix.start([SETUP_DIR + "\\holder.exe", path, str(milliseconds)])
        line = self.prefix.first_line(process, 30)
        if line != "held":
            raise Failed("the holder could not hold %s within 30 s: %r (%s)"
                         % (path, line, self.prefix.describe(process)))
        self.holder = process
        return time.monotonic()

    # --- the run ---
    def run_tool(self, timeout=60, env=None):
        started = time.monotonic()
        result = self.prefix.run([self.tool], timeout=timeout, env=env)
        self.elapsed = time.monotonic() - started
        self.status = result.returncode
        self.say("halunupd.exe on %s: exit %d after %.1f s" % (self.version, self.status, self.elapsed))
        return self.status

    # --- observations ---
    def log_text(self):
        # The resident writes it beside itself, in the system directory.
        return (self.prefix.read(self.sys_dir + "\\halunstub.log") or b"").decode("latin-1")

    def log_events(self):
        """The resident log's events without process ids, in order."""
        return [line.split(" ", 1)[1] for line in self.log_text().splitlines() if " " in line]

    def relaunches(self):
        return [event[len("start "):] for event in self.log_events()
                if event.startswith("start ") and event.endswith(" /init")]

    def pending_moves(self):
        value = self.prefix.reg_value(SESSION_KEY, PENDING_VALUE)
        return None if value is None else value[1]

    # --- checks ---
    def check(self, condition, text):
        if not condition:
            self.failures.append(text)
            self.say("FAIL: " + text)

    def expect_status(self, expected):
        self.check(self.status == expected,
                   "exit status %s, expected %d" % (self.status, expected))

    def expect_files(self, **expected):
        """installed_exe=..., staged_exe=..., installed_lib=..., staged_lib=...:
        'before' (unchanged), 'gone', 'staged_exe' or 'staged_lib' (the bytes
        that staged copy had before the run), or a fixture name whose bytes it
        holds."""
        for key, want in expected.items():
            path = self.paths[key]
            if self.wow64:
                # Nothing of a 32-bit product may land in the 64-bit system32.
                native = SYS + path[len(self.sys_dir):]
                self.check(not self.prefix.exists(native), "%s exists (%s), the product's files"
                           " belong in %s" % (native, self.identify(self.prefix.read(native)),
                                              self.sys_dir))
            actual = self.prefix.read(path)
            if want == "gone":
                self.check(actual is None, "%s should be gone, holds %d bytes (%s)"
                           % (path, len(actual or b""), self.identify(actual)))
            else:
                if want == "before":
                    wanted = self.before[path]
                elif want in self.paths:
                    wanted = self.before[self.paths[want]]
                else:
                    wanted = self.fixture_bytes(want)
                self.check(actual == wanted, "%s holds %s, expected %s"
                           % (path, self.identify(actual), self.identify(wanted)))

    def identify(self, data):
        """Which fixture some bytes are, for readable messages."""
        if data is None:
            return "nothing (missing)"
        for name in sorted(os.listdir(self.args.fixtures)):
            if name.endswith((".exe", ".dll")) and self.fixture_bytes(name) == data:
                return name
        return "%d unknown bytes" % len(data)

    def expect_marker(self, expected="Complete"):
        """expected: the REG_SZ text, or None when the key must stay missing."""
        if expected is None:
            self.check(not self.prefix.has_key(self.marker_key),
                       "the marker key was created: %r"
                       % (self.prefix.reg_value(self.marker_key, MARKER_VALUE),))
            return
        actual = self.prefix.reg_value(self.marker_key, MARKER_VALUE)
        self.check(actual == ("sz", expected), "marker %r, expected %r" % (actual, ("sz", expected)))

    def expect_relaunch(self, launched):
        actual = self.relaunches()
        wanted = [RELAUNCH] if launched else []
        self.check(actual == wanted, "relaunches %r, expected %r" % (actual, wanted))

    def expect_notices(self, count, event="notice"):
        actual = self.log_events().count(event)
        self.check(actual == count, "%d '%s' events, expected %d; log: %r"
                   % (actual, event, count, self.log_events()))

    def expect_pending(self, files):
        """files: the (staged, installed) pairs that must be queued, in order."""
        wanted = []
        for staged, installed in files:
            wanted += ["\\??\\" + staged.lower(), "!\\??\\" + installed.lower()]
        actual = self.pending_moves()
        self.check((actual or []) == wanted,
                   "PendingFileRenameOperations %r, expected %r" % (actual, wanted or None))

    def expect_wininit(self, expected):
        """expected: the file's exact bytes, or None when it must not exist."""
        actual = self.prefix.read(WINDIR + "\\wininit.ini")
        self.check(actual == expected, "wininit.ini holds %r, expected %r" % (actual, expected))

    def expect_documented(self):
        """Checks the run against the guide's row that names this scenario:
        the status, the managed files, what is scheduled for the restart (as
        this Windows family schedules it), the relaunch and the marker."""
        row = documented_run(self.name)
        if row is None:
            raise Failed("the guide's table of what each run leaves names no row for %s" % self.name)
        self.documented_checked = True
        self.say("checking the guide's row: %d, %s" % (row["status"], row["run"]))
        # -1 shows as 255 under Wine.
        self.expect_status(row["status"] & 0xFF)
        # The relaunched resident is looked for first: reading the registry
        # below ends the session, and with it a resident that has not yet
        # written its first line.
        started = STARTED_WORDS[row["started"]]
        if started:
            winehost.wait_for(self.relaunches, RELAUNCH_WAIT)
        self.expect_relaunch(started)
        files = {}
        for key in self.paths:
            word = row[key]
            if word == "new" and key in STAGED_OF:
                files[key] = STAGED_OF[key]
            elif word in FILE_WORDS:
                files[key] = FILE_WORDS[word]
            else:
                raise Failed("the guide's row says %r for %s" % (word, key))
        self.expect_files(**files)
        library, executable = RESTART_WORDS[row["restart"]]
        paths = self.paths
        moves, wininit = [], None
        if self.version in ("winxp", "win10", WOW64):
            if library:
                moves.append((paths["staged_lib"], paths["installed_lib"]))
            if executable:
                moves.append((paths["staged_exe"], paths["installed_exe"]))
        elif self.version == "win98":
            if library or executable:
                wininit = rename_lines(library, executable) + b"\0"
        elif library or executable:
            raise Failed("the guide's row schedules %s on %s, which schedules nothing"
                         % (row["restart"], self.version))
        self.expect_wininit(wininit)
        self.expect_pending(moves)
        self.expect_marker(MARKER_WORDS[row["marker"]])

    def restart(self):
        started = time.monotonic()
        self.prefix.restart()
        self.say("restart cycle done in %.1f s" % (time.monotonic() - started))

    def close(self):
        self.prefix.close(keep=self.args.keep)


def rename_lines(pending_lib, pending_exe):
    """The [Rename] section the tool writes on Windows 98/ME for the system
    directory as Wine reports it."""
    text = "[Rename]\r\n"
    if pending_lib:
        text += "%s\\halundll.dll = %s\\halundll.dl$\r\n" % (SYS, SYS)
    if pending_exe:
        text += "%s\\halunexe.exe = %s\\halunexe.ex$\r\n" % (SYS, SYS)
    return text.encode("latin-1")


# --- scenarios -------------------------------------------------------------
SCENARIOS = {}


def scenario(name, *versions):
    """Registers `function(case, version)` as name.version for each version."""
    def register(function):
        for version in versions:
            SCENARIOS["%s.%s" % (name, version)] = (function, version)
        return function
    return register


@scenario("nothing-staged", "win95", "win98", "winxp")
def nothing_staged(case, version):
    # Only the staged library: the run records that it ran and touches nothing.
    case.arrange(version, installed=("v450", "a"), staged=(None, "b"))
    case.run_tool()
    case.expect_documented()


@scenario("start-marker", "win98", "winxp")
def start_marker(case, version):
    # "START" pre-empts the run on 98/ME only; on XP the fresh install goes on.
    case.arrange(version, installed=None, staged=("v460", "b"), marker="START")
    case.run_tool()
    if version == "win98":
        case.expect_documented()
        return
    case.expect_status(1)
    case.expect_files(installed_exe=case.exe("v460"), installed_lib="halundll-b.dll",
                      staged_exe="gone", staged_lib="gone")
    case.expect_marker("Complete")


@scenario("fresh-install", "win95", "win98", "nt40", "winxp", "win10")
def fresh_install(case, version):
    # No installed executable; an installed library left over is overwritten.
    case.arrange(version, installed=(None, "a"), staged=("v460", "b"))
    case.run_tool()
    case.expect_documented()


@scenario("same-version", "win98", "winxp", WOW64)
def same_version(case, version):
    # Same version text, different bytes: nothing is replaced.
    case.arrange(version, installed=("v450", "a"), staged=("v450b", "b"))
    case.run_tool()
    case.expect_documented()


@scenario("same-version-lone-library", "winxp")
def same_version_lone_library(case, version):
    # No installed library: the staged one is put in place, then both staged
    # copies go; the executable is neither replaced nor restarted.
    case.arrange(version, installed=("v450", None), staged=("v450b", "b"))
    case.run_tool()
    case.expect_documented()


@scenario("old-version", "win95", "nt40", "win98", "winxp", WOW64)
def old_version(case, version):
    # 4.4 is below the minimum 4.42: replacement at the next restart, where
    # the platform has a way to ask for one. Under WOW64 the delayed moves
    # name SysWOW64, where the restart (a 64-bit step) finds the files.
    case.arrange(version, installed=("v44", "a"), staged=("v460", "b"))
    case.run_tool()
    case.expect_documented()
    case.restart()
    if version in ("win98", "winxp", WOW64):
        case.expect_files(installed_exe=case.exe("v460"), installed_lib="halundll-b.dll",
                          staged_exe="gone", staged_lib="gone")
    else:
        # Nothing was scheduled: the restart changes nothing.
        case.expect_files(installed_exe="before", installed_lib="before",
                          staged_exe="before", staged_lib="before")


@scenario("wininit-kept", "win98")
def wininit_kept(case, version):
    # An existing wininit.ini with other sections and a rename of its own:
    # its content stays, the tool's lines join its [rename] section, and the
    # restart performs both its rename and the tool's.
    other = (b"[Boot]\r\nshell=explorer.exe\r\n"
             b"[rename]\r\nC:\\windows\\temp\\other.txt=C:\\windows\\temp\\other.new\r\n"
             b"[Later]\r\nkey=value\r\n")
    case.arrange(version, installed=("v44", "a"), staged=("v460", "b"))
    case.prefix.put(WINDIR + "\\wininit.ini", data=other)
    case.prefix.put(WINDIR + "\\temp\\other.new", data=b"other product's new file\r\n")
    case.run_tool()
    case.expect_status(4)
    lines = rename_lines(True, True)[len(b"[Rename]\r\n"):]
    at = other.index(b"[Later]")
    case.expect_wininit(other[:at] + lines + other[at:] + b"\0")
    case.restart()
    case.expect_files(installed_exe=case.exe("v460"), installed_lib="halundll-b.dll",
                      staged_exe="gone", staged_lib="gone")
    moved = case.prefix.read(WINDIR + "\\temp\\other.txt")
    case.check(moved == b"other product's new file\r\n",
               "the existing rename was not performed: other.txt holds %r" % (moved,))


@scenario("rerun-before-restart", "win98", "winxp")
def rerun_before_restart(case, version):
    # The setup runs the tool again before the restart. On 98 wininit.ini
    # keeps one copy of each line and a single zero byte; on XP the delayed
    # moves are queued a second time, and at the restart the repeated move,
    # whose source is gone by then, changes nothing. The restart puts the
    # staged pair in place either way.
    case.arrange(version, installed=("v44", "a"), staged=("v460", "b"))
    case.run_tool()
    case.expect_status(4)
    first = case.prefix.read(WINDIR + "\\wininit.ini")
    case.run_tool()
    case.expect_status(4)
    if version == "win98":
        case.expect_wininit(first)
        case.expect_wininit(rename_lines(True, True) + b"\0")
    else:
        pairs = [(STAGED_LIB, INSTALLED_LIB), (STAGED_EXE, INSTALLED_EXE)]
        case.expect_pending(pairs + pairs)
    case.restart()
    case.expect_files(installed_exe=case.exe("v460"), installed_lib="halundll-b.dll",
                      staged_exe="gone", staged_lib="gone")


# Rows of the version gate: installed variant, staged variant, expected exit
# status. The minimum 4.42 is compared byte by byte with the installed text up
# to its first letter. The guide's table of installed versions is checked
# against these rows.
VERSION_GATE_ROWS = [
    ("v442b", "v460", 3), ("v449", "v460", 3), ("v450a", "v460", 3), ("v45", "v460", 3),
    ("v44", "v460", 4), ("v100", "v460", 4), ("v45001", "v460", 4), ("noversion", "v460", 4),
    ("v450", "noversion", 4), ("v45001", "v450", 4)]


@scenario("version-gate", "winxp")
def version_gate(case, version):
    case.arrange(version)
    # One session for all rows: a new session would perform the delayed moves
    # of the rows before. A resident relaunched by one row gets the notice of
    # the next and leaves.
    for installed, staged, expected in VERSION_GATE_ROWS:
        for path in MANAGED:
            case.prefix.remove(path)
        case.prefix.put(INSTALLED_EXE, case.fixture(case.exe(installed)))
        case.prefix.put(STAGED_EXE, case.fixture(case.exe(staged)))
        case.prefix.put(INSTALLED_LIB, case.fixture("halundll-a.dll"))
        case.prefix.put(STAGED_LIB, case.fixture("halundll-b.dll"))
        status = case.run_tool()
        replaced = case.prefix.read(INSTALLED_EXE) == case.fixture_bytes(case.exe(staged))
        case.check(status == expected and replaced == (expected == 3),
                   "installed %s, staged %s: exit %s, replaced %s; expected exit %d"
                   % (installed, staged, status, replaced, expected))


@scenario("replace", "win95", "win98", "nt40")
def replace_idle(case, version):
    # No resident running: both files are replaced at once and restarted.
    case.arrange(version, installed=("v450", "a"), staged=("v460", "b"))
    case.run_tool()
    case.expect_documented()


@scenario("replace-running", "winxp", "win10")
def replace_running(case, version):
    # The typical run: the resident gets the notice, leaves, and both files
    # are replaced; the library after the one-second pause.
    case.arrange(version, installed=("v450", "a"), staged=("v460", "b"))
    case.start_resident()
    case.run_tool()
    case.expect_notices(1)
    case.expect_documented()


@scenario("replace-running", "win98")
def replace_running_98(case, version):
    # Under Wine, toolhelp's szExeFile is a base name ("halunexe.exe"; real
    # Windows 98 gives the full path), so it never equals the installed path
    # and no notice is sent. The resident keeps running, its executable cannot
    # be deleted, and the executable is left to wininit.ini; the library is
    # replaced at once.
    case.arrange(version, installed=("v450", "a"), staged=("v460", "b"))
    case.start_resident()
    case.run_tool()
    case.expect_status(4)
    case.expect_notices(0)
    case.expect_files(installed_exe="before", staged_exe="before",
                      installed_lib="halundll-b.dll", staged_lib="gone")
    case.expect_relaunch(False)
    case.expect_wininit(rename_lines(False, True) + b"\0")
    case.restart()
    case.expect_files(installed_exe=case.exe("v460"), staged_exe="gone")


@scenario("resident-ignores", "winxp")
def resident_ignores(case, version):
    # The resident stays after the notice: its executable is left to a delayed
    # move, the free library is replaced now, and nothing is restarted.
    case.arrange(version, installed=("v450", "a"), staged=("v460", "b"))
    case.start_resident(env={"HALUN_STUB_IGNORE_MS": "60000"})
    case.run_tool()
    case.expect_notices(1, "notice ignored")
    case.expect_documented()
    case.restart()
    case.expect_files(installed_exe=case.exe("v460"), staged_exe="gone")


@scenario("resident-hung", "winxp")
def resident_hung(case, version):
    # The resident's handler never returns: the notice is given up on after
    # 30 s and the run waits up to 5 s more for the copy to end, then goes
    # on. Its executable is still in use and is left to a delayed move, the
    # free library is replaced now, nothing is restarted; the restart
    # completes the pair.
    case.arrange(version, installed=("v450", "a"), staged=("v460", "b"))
    case.start_resident(env={"HALUN_STUB_HANG": "1"})
    case.run_tool(timeout=120)
    bound = 30 + 5 + 1 + 10
    case.check(case.elapsed <= bound,
               "the run took %.1f s, more than the notice's 30 s, the 5 s wait, the library's"
               " pause and 10 s to spare (%d s)" % (case.elapsed, bound))
    case.expect_notices(1, "notice hung")
    case.expect_documented()
    case.restart()
    case.expect_files(installed_exe=case.exe("v460"), staged_exe="gone",
                      installed_lib="halundll-b.dll", staged_lib="gone")


@scenario("resident-ends-after-answering", "winxp")
def resident_ends_after_answering(case, version):
    # The resident answers the notice and ends 700 ms later, as a program
    # usually closes: the run waits for it before deleting the executable,
    # then replaces both files and restarts it.
    case.arrange(version, installed=("v450", "a"), staged=("v460", "b"))
    case.start_resident(env={"HALUN_STUB_EXIT_AFTER_MS": "700"})
    case.run_tool()
    case.expect_notices(1)
    case.expect_notices(1, "exit after-answer")
    case.expect_documented()


@scenario("only-executable-staged", "winxp", "win98")
def only_executable_staged(case, version):
    # No staged library: the library is not part of the replacement. The
    # executable is replaced, the installed library kept, nothing is
    # scheduled (no rename file), and the resident is restarted: status 3.
    # On XP the running resident is told to close first; under Wine the
    # notice by snapshot cannot match on 98 (see the module's notes), so no
    # resident runs there.
    case.arrange(version, installed=("v450", "a"), staged=("v460", None))
    if version == "winxp":
        case.start_resident()
    case.run_tool()
    if version == "winxp":
        case.expect_notices(1)
    case.expect_documented()


@scenario("library-released", "winxp")
def library_released(case, version):
    # The library is held for three seconds: a later one of the one-second
    # attempts deletes it, and the run completes at once.
    case.arrange(version, installed=("v450", "a"), staged=("v460", "b"))
    held_at = case.start_holder(INSTALLED_LIB, 3000)
    case.run_tool()
    case.check(time.monotonic() - held_at >= 3.0,
               "the run ended %.1f s after the hold began, before its release"
               % (time.monotonic() - held_at))
    case.expect_documented()


@scenario("library-held", "winxp", "win98", WOW64)
def library_held(case, version):
    # The library is held throughout the ten attempts: it is left to the
    # restart, the executable is replaced now, and nothing is restarted.
    # Under WOW64 the restart puts the staged library in place in SysWOW64.
    case.arrange(version, installed=("v450", "a"), staged=("v460", "b"))
    case.start_holder(case.paths["installed_lib"], 30000)
    case.run_tool(timeout=90)
    case.check(case.elapsed >= 10.0, "gave up on the library after %.1f s, expected 10 attempts a"
               " second apart" % case.elapsed)
    case.expect_documented()
    case.restart()
    case.expect_files(installed_lib="halundll-b.dll", staged_lib="gone")


@scenario("power-lost-holding-library", "winxp", "win98")
def power_lost_holding_library(case, version):
    # The power goes while the tool waits for a held library: every program
    # ends after the executable was replaced, then the machine restarts and
    # the setup runs the tool again. That run finishes the replacement: the
    # library is put in place and the executable started.
    case.arrange(version, installed=("v450", "a"), staged=("v460", "b"))
    case.start_holder(case.paths["installed_lib"], 30000)
    tool = case.prefix.start([case.tool])
    staged_exe = case.before[case.paths["staged_exe"]]
    replaced = winehost.wait_for(
        lambda: case.prefix.read(case.paths["installed_exe"]) == staged_exe, 30)
    case.check(replaced and tool.poll() is None,
               "the executable was %s while the tool ran (%s)"
               % ("replaced" if replaced else "not replaced", case.prefix.describe(tool)))
    case.prefix.kill()
    case.expect_files(installed_exe="staged_exe", installed_lib="before", staged_lib="before")
    case.restart()
    case.run_tool()
    case.expect_documented()


@scenario("rerun-staged-again", "winxp", "win98")
def rerun_staged_again(case, version):
    # After a 4 with the library left to the restart, the setup stages the
    # same pair again and runs the tool before the restart, the library free
    # by then. The library goes in place now and the executable is started;
    # the staged library that the restart's instruction names stays for it.
    case.arrange(version, installed=("v450", "a"), staged=("v460", "b"))
    case.start_holder(case.paths["installed_lib"], 20000)
    case.run_tool(timeout=90)
    case.expect_status(4)
    case.check(case.prefix.first_line(case.holder, 30) == "released",
               "the holder did not let go of the library")
    case.prefix.put(case.paths["staged_exe"], case.fixture(case.exe("v460")))
    case.prefix.put(case.paths["staged_lib"], case.fixture("halundll-b.dll"))
    case.run_tool()
    case.expect_documented()
    case.restart()
    case.expect_files(installed_exe=case.exe("v460"), installed_lib="halundll-b.dll",
                      staged_exe="gone", staged_lib="gone")


@scenario("psapi-disabled", "winxp")
def psapi_disabled(case, version):
    # The running copies cannot be listed: nothing is replaced, the staged
    # copies stay, and the run ends with -1 (255 as Wine shows it).
    case.arrange(version, installed=("v450", "a"), staged=("v460", "b"))
    case.run_tool(env={"WINEDLLOVERRIDES": "psapi="})
    case.expect_documented()


@scenario("missing-key", "win98", "winxp")
def missing_key(case, version):
    # Without the marker key the run is the same and the key is not created.
    case.arrange(version, installed=("v450", "a"), staged=("v460", "b"), marker=None)
    case.run_tool()
    case.expect_documented()


@scenario("planted-library", "winxp")
def planted_library(case, version):
    # psapi.dll and version.dll planted beside the tool, as in a download
    # folder. Wine prefers its own libraries, so the planted psapi.dll is
    # made loadable by its path (WINEDLLOVERRIDES keyed by path), and a
    # control shows that a program there loading it by bare name picks it up.
    # The planted version.dll cannot be made loadable the same way under
    # Wine: Wine's own USER32 imports version.dll by name, so the planted copy
    # would be loaded before any of the tool's code runs (status c0000142).
    # It stays planted under Wine's default order and must not be loaded.
    trace = SETUP_DIR + "\\planted-loaded.txt"
    loadable = {"WINEDLLOVERRIDES": SETUP_DIR.lower() + "\\psapi=n"}
    case.arrange(version, installed=("v450", "a"), staged=("v460", "b"))
    for name in ("psapi.dll", "version.dll"):
        case.prefix.put(SETUP_DIR + "\\" + name, case.fixture("planted.dll"))
    case.prefix.put(SETUP_DIR + "\\loadbyname.exe", case.fixture("loadbyname.exe"))
    case.prefix.run([SETUP_DIR + "\\loadbyname.exe", "psapi.dll"], timeout=60, env=loadable)
    control = case.prefix.read(trace)
    case.check(control is not None and b"loadbyname.exe" in control,
               "control: a bare-name load left no trace (%r); the check proves nothing" % (control,))
    case.prefix.remove(trace)
    case.run_tool(env=loadable)
    case.expect_status(3)
    loaded = case.prefix.read(trace)
    case.check(loaded is None, "a planted library was loaded: %r" % (loaded,))
    case.expect_files(installed_exe=case.exe("v460"), installed_lib="halundll-b.dll",
                      staged_exe="gone", staged_lib="gone")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--exe", help="the shipped i686 halunupd.exe (run under 32-bit Wine)")
    parser.add_argument("--exe64", help="its x86_64 build (run under 64-bit Wine where 32-bit"
                        " programs cannot run)")
    parser.add_argument("--cache", help="where the base prefix is kept (default: beside the exe)")
    parser.add_argument("--tmp", default=None, help="where scenario prefixes are made")
    parser.add_argument("--keep", action="store_true", help="keep the scenario's prefix")
    parser.add_argument("--list", action="store_true", help="list the scenarios")
    parser.add_argument("--make-base", action="store_true",
                        help="only make the cached base prefix")
    parser.add_argument("scenario", nargs="?")
    args = parser.parse_args()
    if args.list:
        print("\n".join(SCENARIOS))
        return 0
    if not args.make_base and args.scenario not in SCENARIOS:
        parser.error("need one of: " + ", ".join(SCENARIOS))
    exe32 = os.path.abspath(args.exe) if args.exe else None
    wow64 = not args.make_base and SCENARIOS[args.scenario][1] == WOW64
    if wow64:
        # The shipped i686 build in a 64-bit prefix, whichever build the
        # other families run here.
        why = winehost.wow64_unavailable()
        if why:
            print("[%s] skipped: the 64-bit Windows family runs the shipped i686 build under"
                  " WOW64, and %s" % (args.scenario, why))
            return SKIPPED
        if not exe32 or not os.path.exists(exe32):
            print("[%s] needs the shipped i686 build (--exe), which is missing (%r)"
                  % (args.scenario, args.exe))
            return 1
        args.exe = exe32
        described = "the shipped i686 halunupd.exe in a 64-bit prefix, under WOW64: %s" % exe32
    else:
        # The build this host can run, and its fixtures beside it.
        try:
            _, args.exe, _, described = winehost.pick_build(args.exe, args.exe64)
        except winehost.WineUnavailable as error:
            print("end-to-end under Wine cannot run: %s" % error)
            return 1
    args.fixtures = winehost.fixtures_of(args.exe)
    args.cache = args.cache or os.path.join(os.path.dirname(args.exe), "e2e-cache")
    if args.make_base:
        print("base prefix %s for %s" % (winehost.base_prefix(args.cache), described))
        # The 64-bit Windows family's, where it can run.
        if exe32 and winehost.wow64_unavailable() is None:
            print("base prefix %s for the 64-bit Windows family"
                  % winehost.base_prefix(args.cache, arch="win64"))
        return 0

    function, version = SCENARIOS[args.scenario]
    case = Case(args, args.scenario, wow64=wow64)
    case.say("running " + described)
    try:
        function(case, version)
        if documented_run(args.scenario) is not None and not case.documented_checked:
            case.check(False, "the guide's table names this scenario, which did not check its row")
    except Exception as error:  # noqa: BLE001 - any error fails the scenario
        traceback.print_exc()
        case.failures.append("%s: %s" % (type(error).__name__, error))
    finally:
        case.close()
    if case.failures:
        print("[%s] %d check(s) failed:\n  %s" % (args.scenario, len(case.failures),
                                                   "\n  ".join(case.failures)))
        return 1
    print("[%s] passed" % args.scenario)
    return 0


if __name__ == "__main__":
    sys.exit(main())
