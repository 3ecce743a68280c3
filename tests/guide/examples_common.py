"""What the guide's example tests under Wine share: their command line, a
fresh machine per test (tests/e2e/lab), the common checks and courses."""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import lab  # noqa: E402

# The command line (main() sets it): target, cache, source (the example's
# file) and builder (the program that builds it).
ARGS = None
# The installers' exit codes as the Unix side sees them (the low 8 bits):
# done, done once the machine restarts, the installation failed.
DONE, RESTART_NEEDED, FAILED = 0, 3010 & 0xFF, 1603 & 0xFF
NT40 = lab.facts.FAMILIES["nt40"]["wine_version"]
# The file the batch and NSIS examples create and delete to check their
# rights. Held open without delete sharing by the holder, it cannot be
# deleted: the check fails as it does without administrator rights, which
# Wine does not have.
PROBE = lab.wine.SYSTEM32 + "\\halunupd-rights.tmp"
# Where the running programs cannot be listed: psapi.dll not loaded.
NO_PSAPI = {"WINEDLLOVERRIDES": "psapi="}


def main(doc, what, source, builder=None):
    """Runs the tests of __main__ on the Windows 10 target with the command
    line of `doc`: --exe, --exe64, --cache, the example (`source`) and, for
    `builder` = (option, program, how to get it), the program that builds it."""
    global ARGS
    parser = argparse.ArgumentParser(usage=doc)
    parser.add_argument("--exe")
    parser.add_argument("--exe64")
    parser.add_argument(source, dest="source", required=True)
    parser.add_argument("--cache", required=True)
    if builder:
        parser.add_argument(builder[0], dest="builder", default=shutil.which(builder[1]))
    ARGS, rest = parser.parse_known_args()
    if builder and not ARGS.builder:
        sys.exit("%s cannot be built: %s not found (%s)" % (what, builder[1], builder[2]))
    try:
        ARGS.target = lab.target("win10", ARGS.exe, ARGS.exe64)
    except lab.Unavailable as error:
        sys.exit("%s under Wine cannot run: %s" % (what, error))
    print("%s with %s" % (what, ARGS.target.described), file=sys.stderr)
    ARGS.source, ARGS.cache = os.path.abspath(ARGS.source), os.path.abspath(ARGS.cache)
    os.makedirs(ARGS.cache, exist_ok=True)
    unittest.main(module="__main__", argv=[sys.argv[0]] + rest, verbosity=2)


class ExampleTest(unittest.TestCase):
    """A fresh machine per test, named by `prefix`; a directory per class for
    what it builds. A subclass runs its example with run_example()."""
    prefix = None

    @classmethod
    def setUpClass(cls):
        cls.build_dir = tempfile.mkdtemp(prefix=cls.prefix, dir=ARGS.cache)
        cls.addClassCleanup(shutil.rmtree, cls.build_dir, ignore_errors=True)
        cls.built = {}

    def setUp(self):
        self.m = lab.Machine(ARGS.target, ARGS.cache, self.prefix + self._testMethodName,
                             log=lambda text: print(text, file=sys.stderr))
        self.addCleanup(self.m.close)

    def build(self, command, what, cwd=None):
        """Runs the builder `command`; its output, once it ended with 0."""
        result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                timeout=120, cwd=cwd)
        self.assertEqual(result.returncode, 0, "%s:\n%s" % (what, result.stdout))
        return result.stdout

    def arrange(self, marker=None, nt40=None, installed=None, staged=None, resident=False, held=None):
        """The machine before a course: the marker key created (True) or given
        a value, Windows NT 4.0 shown to the program `nt40` and to the tool, the
        managed files placed (Machine.place), the resident started, and a file
        held: "library" (the installed one) or "probe" (the examples' rights check)."""
        if marker:
            self.m.set_marker(None if marker is True else marker)
        for name in (nt40, "halunupd.exe") if nt40 else ():
            self.m.set_version(name, NT40)
        self.m.place(installed, staged)
        if resident:
            self.m.start_resident()
        if held == "probe":
            self.m.put(PROBE, data=b"")
        if held:
            self.m.hold(PROBE if held == "probe" else self.m.where("installed_lib"), 60000)

    def expect(self, snapshot=None, installed=(), staged=(), moved=None, relaunched=None, marker=None,
               events=None, **files):
        """What a course left: the managed files named (the fixture each is, None
        where gone), as pairs (lab.wine.pair_files) or one by one; when given, the
        files ("lib", "exe") whose delayed moves are all that is pending, whether
        the executable was relaunched once (waited for) or not, or how often, the marker, and
        how often each of the resident's `events` came. Returns the snapshot."""
        if relaunched:
            snapshot = self.m.snapshot(lab.facts.DOCUMENTED["relaunch_argument"])
        snapshot = snapshot or self.m.snapshot()
        log = "resident log: %r" % snapshot.texts()
        files.update(lab.wine.pair_files(installed, staged))
        got = self.m.managed(snapshot)
        self.assertEqual(got, dict(got, **files))
        if moved is not None:
            self.assertEqual(snapshot.pending, lab.facts.moves(self.m.real_sys, *moved))
        if relaunched is not None:
            self.assertEqual(snapshot.relaunches(), [lab.wine.RELAUNCH] * relaunched, log)
        if marker is not None:
            self.assertEqual(snapshot.marker, marker)
        if events is not None:
            self.assertEqual({text: snapshot.texts().count(text) for text in events}, events, log)
        return snapshot


def course(arrangement, run, expected, after_restart=None):
    """A test of an ExampleTest: the machine arranged (arrange()'s keywords),
    the example run (run_example(*run)), what it leaves expected (expect()'s
    keywords) and, when given, what it leaves after the restart."""
    def test(self):
        self.arrange(**arrangement)
        self.run_example(*run)
        self.expect(**expected)
        if after_restart is not None:
            self.m.restart()
            self.expect(**after_restart)
    return test


def add_tests(cls, rows, make=course, prefix="test_"):
    """Adds the test `prefix` + name, made by `make`, to `cls` for each row (name, *arguments of `make`)."""
    for name, *row in rows:
        setattr(cls, prefix + name, make(*row))


# The courses both installers run alike, for an ExampleTest whose
# install(exe, lib, expected, status) runs its installer of the fixture
# variants `exe` and `lib` and expects its exit code and the tool's status:
# (name, the arrangement, the arguments of install(), what it leaves).
INSTALLER_COURSES = [
    # Same version text, other bytes: the installed pair stays.
    ("same_version", dict(installed=("v450", "a")), ("v450b", "b", DONE, 2),
     dict(installed=("v450", "a"), staged=(None, None))),
    ("different_version_resident_running", dict(installed=("v450", "a"), resident=True), ("v460", "b", DONE, 3),
     dict(installed=("v460", "b"), staged=(None, None), relaunched=True, events={"notice": 1})),
    # The library stays in use through the tool's retries: it is left to
    # the restart, the silent install says 3010, and the restart cycle
    # puts the staged pair in place; nothing starts the product then.
    ("held_library_needs_restart", dict(installed=("v450", "a"), held="library"),
     ("v460", "b", RESTART_NEEDED, 4), dict(installed=("v460", "a"), staged=(None, "b"), moved=("lib",)),
     dict(installed=("v460", "b"), staged=(None, None), relaunched=False)),
]


# The uninstall courses, one fresh machine per row, after an install that put
# the pair in place and started the resident: (name, the environment of the
# install, which the relaunched resident inherits; what is held during the
# uninstall: "library" (by another program, which stays once the resident has
# closed) or "probe" (the installer's rights check); the uninstall's exit code;
# the files deleted at the restart, None when nothing is removed; the
# resident's events). What is still in use is deleted at the restart.
UNINSTALL_ROWS = [
    ("resident_closes", None, None, DONE, [], {"notice": 1, "exit notice": 1}),
    ("library_held", None, "library", RESTART_NEEDED, ["installed_lib"], {"notice": 1, "exit notice": 1}),
    ("resident_ignores", {"HALUN_STUB_IGNORE_MS": "60000"}, None, RESTART_NEEDED,
     ["installed_exe", "installed_lib"], {"notice ignored": 1}),
]


def uninstall_course(env, held, code, scheduled, events):
    """A course for an ExampleTest with installed_for_uninstall(env) and
    uninstall(expected exit code)."""
    def test(self):
        self.installed_for_uninstall(env)
        self.expect(relaunched=True)
        self.arrange(held=held)
        self.uninstall(code)
        if scheduled is None:
            # Not removed: the pair stays, nothing is scheduled.
            self.expect(installed=("v460", "b"), staged=(None, None), moved=(), events=events)
            return
        # Deleted now, or a delayed deletion (a path and an empty target) each.
        wanted = dict.fromkeys(lab.facts.MANAGED)
        wanted.update({key: "halunexe-v460.exe" if key == "installed_exe" else "halundll-b.dll" for key in scheduled})
        snapshot = self.expect(events=events, **wanted)
        deletions = [text for key in scheduled for text in ("\\??\\" + self.m.where(key), "")]
        self.assertEqual([text.lower() for text in snapshot.pending], [text.lower() for text in deletions])
        self.m.restart()
        self.expect(installed=(None, None), staged=(None, None))
    return test
