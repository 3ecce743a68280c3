#!/usr/bin/env python3
"""End-to-end scenarios: the built halunupd.exe under Wine, on each Windows
family of tests/families.json, against stand-ins of the product's files.

    run_e2e.py --exe build/win/halunupd.exe --exe64 build/win64/halunupd.exe [--cache DIR] SCENARIO
    run_e2e.py --list
    run_e2e.py --exe ... --exe64 ... --make-base [--cache DIR]
    run_e2e.py --decide        which Wine this host runs the tests under, and why

Each scenario (name.family) arranges a fresh Wine machine, runs the tool and
reports every difference from what it expects; one that leaves.json names
checks that row. A family this host cannot run exits with 77 (skipped).
"""

import argparse
import contextlib
import functools
import json
import os
import sys
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lab  # noqa: E402
from lab import facts  # noqa: E402

ROWS = json.loads(facts.read("tests/guide/leaves.json"))
SCHEDULES = {"nothing": (), "library": ("lib",), "executable": ("exe",), "both": ("lib", "exe")}
# How long the relaunched resident may take to write its first line.
RELAUNCH_WAIT = 30


class Failed(Exception):
    pass


def require(ok, message):
    """Fails the scenario with `message` unless `ok`."""
    if not ok:
        raise Failed(message)


def documented_row(name):
    """The row of leaves.json that names `name` (the guide text test sees that none names it twice)."""
    return next((row for row in ROWS if name in row.get("shown_by", ())), None)


DOCUMENTED = facts.DOCUMENTED


def rename_lines(*pending):
    """The [Rename] section the guide says the tool writes on Windows 98/ME,
    for "lib" and "exe", with the system directory as Wine reports it."""
    return (DOCUMENTED["rename_section"] + "".join(DOCUMENTED["rename_line"].format(
        dir=lab.wine.SYSTEM32, installed=facts.MANAGED["installed_" + f], staged=facts.MANAGED["staged_" + f])
        for f in pending)).encode("latin-1")


class Case:
    """One scenario on its machine: the arrangement, the run and the checks."""

    def __init__(self, machine, name):
        self.m, self.name, self.family, self.say = machine, name, machine.target.family, machine.log
        self.status = None
        self.row_checked = False

    def arrange(self, installed=("v450", "a"), staged=("v460", "b"), marker="old"):
        """The pairs as Machine.place() takes them (by default 4.50 installed, 4.60 staged: a replacement);
        marker: its value, None for no key."""
        self.before = dict(dict.fromkeys(facts.MANAGED), **self.m.place(installed, staged))
        if marker is not None:
            self.m.set_marker(marker)

    def run(self, timeout=60, env=None):
        self.status, self.elapsed, _ = self.m.run([self.m.tool], timeout, env)
        self.say("halunupd.exe on %s: exit %d after %.1f s" % (self.family["name"], self.status, self.elapsed))
        return self.status

    def expect(self, snapshot=None, events=None, **wanted):
        """Compares the named parts of the machine with `wanted` (status, the
        managed files, marker, pending, wininit, relaunches); events: {text: count}."""
        snap = snapshot or self.m.snapshot()
        view = self.m.managed(snap)
        view.update(status=self.status, marker=snap.marker, pending=snap.pending, wininit=snap.wininit,
                    relaunches=snap.relaunches(), native=sorted(n for n, f in snap.native.items() if f))
        if self.m.wow64 and set(wanted) & set(facts.MANAGED):
            wanted["native"] = []  # nothing of a 32-bit product in the 64-bit system32
        for text, count in (events or {}).items():
            view[text], wanted[text] = snap.texts().count(text), count
        wrong = ["%s: %r, expected %r" % (key, view[key], want) for key, want in wanted.items() if view[key] != want]
        require(not wrong, "\n  ".join(wrong + ["resident's log: %r" % snap.texts()]))
        return snap

    def new(self, *files):
        """The staged copies of `files` ("exe", "lib") in place, none left."""
        return {key: None if key.startswith("staged") else self.before[key.replace("installed", "staged")]
                for f in files for key in ("installed_" + f, "staged_" + f)}

    def scheduled(self, files, runs=1):
        """What the family holds for the restart once `runs` runs asked it to replace `files` ("lib", "exe"):
        the delayed moves of each run, or the one [Rename] section in wininit.ini."""
        way = self.family["restart"]
        require(not files or way in ("delayed moves", "wininit.ini"),
                "%s scheduled on %s, which schedules nothing" % (files, self.family["name"]))
        return {"pending": facts.moves(self.m.real_sys, *files) * runs if way == "delayed moves" else [],
                "wininit": rename_lines(*files) + b"\0" if way == "wininit.ini" and files else None}

    def restarted(self, *files):
        """Restarts and expects new(*files), or no change where the family schedules nothing."""
        self.m.restart()
        self.expect(**(self.before if self.family["restart"] == "none" else self.new(*files)))

    def expect_row(self):
        """Checks the run against the row of leaves.json that names this scenario."""
        row = documented_row(self.name)
        require(row is not None, "leaves.json names no row for %s" % self.name)
        self.row_checked = True
        self.say("checking the guide's row: %d, %s" % (row["status"], row["run"]))
        started = row["started"] == "yes"
        wanted = {"status": row["status"] & 0xFF, "relaunches": [lab.wine.RELAUNCH] if started else [],
                  "marker": DOCUMENTED["complete"] if row["marker"] == "written" else None,
                  **self.scheduled(SCHEDULES[row["restart"]])}
        for key in facts.MANAGED:
            wanted[key] = {"new": self.before.get(key.replace("installed", "staged")), "unchanged": self.before[key],
                           "kept": self.before[key]}.get(row[key])
        self.expect(self.m.snapshot(DOCUMENTED["relaunch_argument"] if started else None, RELAUNCH_WAIT), **wanted)


# --- scenarios -------------------------------------------------------------
SCENARIOS = {}


def scenario(name, families):
    """Registers `function(case)` as name.family for each of `families`."""
    def register(function):
        SCENARIOS.update(("%s.%s" % (name, family), function) for family in families)
        return function
    return register


# The families a scenario runs on, named by trait: every family Wine runs
# with the traits (one per combination of the `one_per` columns), or the oldest
# one with them, where one shows the behaviour.
def has(column, *values):
    return lambda row: row[column] in values


every = facts.families


def first(*traits):
    return facts.families(*traits)[:1]


BITS32, RESTART_REPLACES = has("64-bit", False), has("restart", "wininit.ini", "delayed moves")
DELAYED_MOVES, PROCESS_LIST, SNAPSHOT = (has("restart", "delayed moves"), has("notice", "process list"),
                                         has("notice", "process snapshot"))


def documented(name, families, resident=None, hold=None, env=None, took=(0, 60), events=None, restart=None,
               check=None, **arrangement):
    """A scenario: arrange, start the resident (`resident`: its environment)
    and hold the library `hold` ms, run the tool (with `env`, within `took`
    seconds), check `events` and the row (or Case.expect(**check(case))) and
    then, if `restart` names files, Case.restarted."""
    def run(case):
        case.arrange(**arrangement)
        if resident is not None:
            case.m.start_resident(env=resident)
        if hold:
            case.m.hold(case.m.where("installed_lib"), hold)
        case.run(took[1] + 30, env)
        require(took[0] <= case.elapsed <= took[1],
                "the run took %.1f s, expected %d to %d s" % ((case.elapsed,) + took))
        if events or check:
            case.expect(events=events, **(check(case) if check else {}))
        if not check:
            case.expect_row()
        if restart:
            case.restarted(*restart)
    scenario(name, families)(run)


# Each scenario arranges the typical replacement (Case.arrange's defaults:
# 4.50 installed, 4.60 staged, the marker there) unless its row says otherwise.
OLD = dict(installed=("v44", "a"))
# Only the staged library: the run records that it ran and touches nothing.
documented("nothing-staged", every(one_per=("restart",)), staged=(None, "b"))
# No installed executable; an installed library left over is overwritten.
documented("fresh-install", every(BITS32), installed=(None, "a"))
# Same version text, different bytes: nothing is replaced.
documented("same-version", every(RESTART_REPLACES, one_per=("restart", "64-bit")), staged=("v450b", "b"))
# No installed library: the staged one is put in place, then both staged
# copies go; the executable is neither replaced nor restarted.
documented("same-version-lone-library", first(DELAYED_MOVES), installed=("v450", None), staged=("v450b", "b"))
# No resident running: both files are replaced at once and restarted.
documented("replace", every(has("notice", "none", "process snapshot")))
# Without the marker key the run is the same and the key is not created.
documented("missing-key", every(RESTART_REPLACES, BITS32, one_per=("restart",)), marker=None)


# "START" pre-empts the run on 98/ME only; on XP the fresh install goes on.
START = dict(installed=None, marker="START")
documented("start-marker", every(has("platform code", "98/me")), **START)
documented("start-marker", first(has("platform code", "nt5")),
           check=lambda case: dict(status=1, marker=DOCUMENTED["complete"], **case.new("exe", "lib")), **START)
# 4.4 is below the minimum 4.42: replacement at the next restart, where the
# family has a way to ask for one (where it has none, the restart changes
# nothing). Under WOW64 the delayed moves name SysWOW64, where the restart (a
# 64-bit step) finds the files.
documented("old-version", every(one_per=("platform code", "restart", "notice", "64-bit")), restart=("exe", "lib"),
           **OLD)


@scenario("wininit-kept", every(has("restart", "wininit.ini")))
def wininit_kept(case):
    # An existing wininit.ini with other sections and a rename of its own:
    # its content stays, the tool's lines join its [rename] section, and the
    # restart performs both its rename and the tool's.
    other = (b"[Boot]\r\nshell=explorer.exe\r\n"
             b"[rename]\r\nC:\\windows\\temp\\other.txt=C:\\windows\\temp\\other.new\r\n"
             b"[Later]\r\nkey=value\r\n")
    case.arrange(**OLD)
    case.m.put("C:\\windows\\wininit.ini", data=other)
    case.m.put("C:\\windows\\temp\\other.new", data=b"other product's new file\r\n")
    case.run()
    lines = rename_lines("lib", "exe")[len(DOCUMENTED["rename_section"]):]
    case.expect(status=4, wininit=other.replace(b"[Later]", lines + b"[Later]") + b"\0")
    case.restarted("exe", "lib")
    moved = case.m.read("C:\\windows\\temp\\other.txt")
    require(moved == b"other product's new file\r\n",
            "the existing rename was not performed: other.txt holds %r" % moved)


@scenario("rerun-before-restart", every(RESTART_REPLACES, BITS32, one_per=("restart",)))
def rerun_before_restart(case):
    # The setup runs the tool again before the restart. On 98 wininit.ini
    # keeps one copy of each line and a single zero byte; on XP the delayed
    # moves are queued a second time, and at the restart the repeated move,
    # whose source is gone by then, changes nothing. The restart puts the
    # staged pair in place either way.
    case.arrange(**OLD)
    case.run()
    case.expect(status=4)
    case.run()
    case.expect(status=4, **case.scheduled(("lib", "exe"), runs=2))
    case.restarted("exe", "lib")


# Rows of the version gate: installed variant, staged variant, expected exit
# status. The minimum 4.42 is compared byte by byte with the installed text up
# to its first letter. The guide's table of installed versions is checked
# against these rows.
VERSION_GATE_ROWS = [
    ("v442b", "v460", 3), ("v449", "v460", 3), ("v450a", "v460", 3), ("v45", "v460", 3),
    ("v44", "v460", 4), ("v100", "v460", 4), ("v45001", "v460", 4), ("noversion", "v460", 4),
    ("v450", "noversion", 4), ("v45001", "v450", 4)]


@scenario("version-gate", first(DELAYED_MOVES))
def version_gate(case):
    # One session for all rows: a new session would perform the delayed moves
    # of the rows before. A resident relaunched by one row gets the notice of
    # the next and leaves; the next row waits until it is ready, as it holds
    # the library from its start and could not be told before its window
    # exists.
    case.m.set_marker("old")
    wrong = []
    for installed, staged, expected in VERSION_GATE_ROWS:
        placed = case.m.place(installed=(installed, "a"), staged=(staged, "b"))
        ready = case.m.snapshot().texts().count("ready")
        status = case.run()
        if status == 3:
            case.m.await_count("ready", ready + 1)
        replaced = case.m.disk()["installed_exe"]
        if status != expected or (replaced == placed["staged_exe"]) != (expected == 3):
            wrong.append("installed %s, staged %s: exit %s, installed %s; expected exit %d"
                         % (installed, staged, status, replaced, expected))
    require(not wrong, "\n  ".join(wrong))


# The typical run: the resident gets the notice, leaves, and both files are
# replaced; the library after the one-second pause.
documented("replace-running", every(PROCESS_LIST, BITS32), resident={}, events={"notice": 1})


# Under Wine, toolhelp's szExeFile is a base name ("halunexe.exe"; real
# Windows 98 gives the full path), so it never equals the installed path and no
# notice is sent. The resident keeps running with its library loaded: both
# files cannot be deleted and are left to wininit.ini.
documented("replace-running", every(SNAPSHOT), resident={}, events={"notice": 0}, restart=("exe", "lib"),
           check=lambda case: dict(case.before, status=4, relaunches=[], **case.scheduled(("lib", "exe"))))


# The resident stays after the notice, its library loaded: both files are
# left to delayed moves, and nothing is restarted.
documented("resident-ignores", first(PROCESS_LIST), resident={"HALUN_STUB_IGNORE_MS": "60000"},
           events={"notice ignored": 1}, restart=("exe", "lib"))


# The resident's handler never returns: the notice is given up on after 30 s
# and the run waits up to 5 s more for the copy to end, then goes on (at most
# the notice's 30 s, the 5 s, the library's ten 1 s pauses and 10 s to
# spare). Both files are still in use and are left to delayed moves, nothing
# is restarted; the restart completes the pair.
documented("resident-hung", first(PROCESS_LIST), resident={"HALUN_STUB_HANG": "1"}, took=(0, 30 + 5 + 10 + 10),
           events={"notice hung": 1}, restart=("exe", "lib"))


# The resident answers the notice and ends 700 ms later, as a program usually
# closes: the run waits for it before deleting the executable, then replaces
# both files and restarts it.
documented("resident-ends-after-answering", first(PROCESS_LIST), resident={"HALUN_STUB_EXIT_AFTER_MS": "700"},
           events={"notice": 1, "exit after-answer": 1})


# No staged library: the library is not part of the replacement. The
# executable is replaced, the installed library kept, nothing is scheduled,
# and the resident is restarted: status 3. On XP the running resident is told
# to close first; the notice by snapshot cannot match under Wine (see the
# module's notes), so no resident runs on 98.
ONLY_EXECUTABLE = dict(staged=("v460", None))
documented("only-executable-staged", first(PROCESS_LIST), resident={}, events={"notice": 1}, **ONLY_EXECUTABLE)
documented("only-executable-staged", first(SNAPSHOT), **ONLY_EXECUTABLE)


# The library is held for three seconds: a later one of the one-second
# attempts deletes it, and the run completes at once, after the release.
documented("library-released", first(DELAYED_MOVES), hold=3000, took=(3, 60))


# The library is held throughout the ten attempts a second apart: it is left
# to the restart, the executable is replaced now, and nothing is restarted.
# Under WOW64 the restart puts the staged library in place in SysWOW64.
documented("library-held", every(RESTART_REPLACES, one_per=("restart", "64-bit")), hold=30000, took=(10, 60),
           restart=("lib",))


@scenario("power-lost-holding-library", every(RESTART_REPLACES, BITS32, one_per=("restart",)))
def power_lost_holding_library(case):
    # The power goes while the tool waits for a held library: every program
    # ends after the executable was replaced, then the machine restarts and
    # the setup runs the tool again. That run finishes the replacement: the
    # library is put in place and the executable started.
    case.arrange()
    case.m.hold(case.m.where("installed_lib"), 30000)
    tool = case.m.start([case.m.tool])
    replaced = lab.wait_for(lambda: case.m.disk()["installed_exe"] == case.before["staged_exe"], 30)
    require(replaced and tool.poll() is None, "the executable was %s while the tool ran (%s)" % (
        "replaced" if replaced else "not replaced", "running" if tool.poll() is None else "ended"))
    case.m.power_off()
    disk = case.m.disk()
    wanted = dict(disk, installed_exe=case.before["staged_exe"], installed_lib=case.before["installed_lib"],
                  staged_lib=case.before["staged_lib"])
    require(disk == wanted, "after the power went: %r, expected %r" % (disk, wanted))
    case.m.restart()
    case.run()
    case.expect_row()


@scenario("rerun-staged-again", every(RESTART_REPLACES, BITS32, one_per=("restart",)))
def rerun_staged_again(case):
    # After a 4 with the library left to the restart, the setup stages the
    # same pair again and runs the tool before the restart, the library free
    # by then. The library goes in place now and the executable is started;
    # the staged library that the restart's instruction names stays for it.
    case.arrange()
    holder = case.m.hold(case.m.where("installed_lib"), 20000)
    case.run(timeout=90)
    case.expect(status=4)
    require(case.m.first_line(holder, 30) == "released", "the holder did not let go of the library")
    case.m.place(staged=("v460", "b"))
    case.run()
    case.expect_row()
    case.restarted("exe", "lib")


# The running copies cannot be listed: nothing is replaced, the staged
# copies stay, and the run ends with -1 (255 as Wine shows it).
documented("psapi-disabled", first(PROCESS_LIST), env={"WINEDLLOVERRIDES": "psapi="})


@scenario("planted-library", first(PROCESS_LIST))
def planted_library(case):
    # psapi.dll and version.dll planted beside the tool, as in a download
    # folder. Wine prefers its own libraries, so the planted psapi.dll is
    # made loadable by its path (WINEDLLOVERRIDES keyed by path), and a
    # control shows that a program there loading it by bare name picks it up.
    # The planted version.dll cannot be made loadable the same way under
    # Wine: Wine's own USER32 imports version.dll by name, so the planted copy
    # would be loaded before any of the tool's code runs (status c0000142).
    # It stays planted under Wine's default order and must not be loaded.
    setup = lab.wine.SETUP_DIR
    trace = setup + "\\planted-loaded.txt"
    loadable = {"WINEDLLOVERRIDES": setup.lower() + "\\psapi=n"}
    case.arrange()
    for name in ("psapi.dll", "version.dll"):
        case.m.put(setup + "\\" + name, "planted.dll")
    case.m.put(setup + "\\loadbyname.exe", "loadbyname.exe")
    case.m.run([setup + "\\loadbyname.exe", "psapi.dll"], env=loadable)
    require(b"loadbyname.exe" in (case.m.read(trace) or b""),
            "control: a bare-name load left no trace; the check proves nothing")
    case.m.remove(trace)
    case.run(env=loadable)
    require(case.m.read(trace) is None, "a planted library was loaded: %r" % case.m.read(trace))
    case.expect(status=3, **case.new("exe", "lib"))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--exe", help="the shipped i686 halunupd.exe (run under 32-bit Wine)")
    parser.add_argument("--exe64", help="its x86_64 build (run under 64-bit Wine where 32-bit programs cannot run)")
    parser.add_argument("--cache", help="where the base prefixes are kept (default: beside the exe)")
    parser.add_argument("--tmp", default=None, help="where scenario prefixes are made")
    parser.add_argument("--keep", action="store_true", help="keep the scenario's prefix")
    parser.add_argument("--list", action="store_true", help="list the scenarios")
    parser.add_argument("--make-base", action="store_true", help="only make the cached base prefixes")
    parser.add_argument("--decide", action="store_true", help="say which Wine this host uses, and why")
    parser.add_argument("scenario", nargs="?")
    args = parser.parse_args()
    say = functools.partial(print, "[%s]" % args.scenario, flush=True)  # a line of the scenario's progress
    if args.list:
        print("\n".join(SCENARIOS))
        return 0
    if args.decide:
        try:
            print("%s: %s" % lab.decide_arch())
        except lab.Unavailable as why:
            print("none: %s" % why)
            return 1
        return 0
    if not args.make_base and args.scenario not in SCENARIOS:
        parser.error("need one of: " + ", ".join(SCENARIOS))
    family = first(BITS32)[0] if args.make_base else args.scenario.rsplit(".", 1)[1]
    try:
        target = lab.target(family, args.exe, args.exe64)
    except lab.Skip as why:
        say("skipped: %s" % why)
        return lab.SKIPPED
    except lab.Unavailable as why:
        print("end-to-end under Wine cannot run: %s" % why)
        return 1
    cache = args.cache or os.path.join(os.path.dirname(target.exe), "e2e-cache")
    if args.make_base:
        for name in first(BITS32) + first(has("64-bit", True)):  # a base prefix of each kind
            with contextlib.suppress(lab.Skip):
                made = lab.target(name, args.exe, args.exe64)
                print("base prefix %s for %s" % (lab.wine.base_prefix(cache, made), made.described))
        return 0
    try:
        with lab.Machine(target, cache, "halunupd-e2e-" + args.scenario, args.tmp, args.keep, log=say) as machine:
            case = Case(machine, args.scenario)
            say("running " + target.described)
            SCENARIOS[args.scenario](case)
            require(documented_row(args.scenario) is None or case.row_checked,
                    "leaves.json names this scenario, which did not check its row")
    except Exception as error:  # noqa: BLE001 - any error fails the scenario
        if not isinstance(error, Failed):
            traceback.print_exc()
        say("FAILED: %s: %s" % (type(error).__name__, error))
        return 1
    say("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
