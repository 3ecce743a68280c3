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
# The installers' exit codes as the Unix side sees them (the low 8 bits).
DONE, RESTART_NEEDED = 0, 3010 & 0xFF
NT40 = lab.facts.FAMILIES["nt40"]["wine_version"]
# The file the batch and NSIS examples create and delete to check their
# rights. Held open without delete sharing by the holder, it cannot be
# deleted: the check fails as it does without administrator rights, which
# Wine does not have.
PROBE = lab.wine.SYSTEM32 + "\\halunupd-rights.tmp"


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
    """A fresh machine per test, named by `prefix`; a directory per class for what it builds."""
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

    def expect_files(self, snapshot=None, installed=(), staged=(), pending=None, **files):
        """The managed files named, each the fixture given or None when it is
        gone: as pairs of variants (lab.wine.pair_files) or one by one
        (installed_exe="halunexe-v460.exe", ...); and, when given, what is
        `pending` for the restart. Returns the snapshot."""
        snapshot = snapshot or self.m.snapshot()
        files.update(lab.wine.pair_files(installed, staged))
        got = self.m.managed(snapshot)
        self.assertEqual(got, dict(got, **files))
        if pending is not None:
            self.assertEqual(snapshot.pending, pending)
        return snapshot

    def as_nt40(self, program):
        """Windows NT 4.0 shown to `program` and to the tool."""
        for name in (program, "halunupd.exe"):
            self.m.set_version(name, NT40)

    def hold_probe(self):
        self.m.put(PROBE, data=b"")
        self.m.hold(PROBE, 60000)

    def hold_library(self):
        self.m.hold(self.m.where("installed_lib"), 60000)

    def expect_relaunched(self):
        """The snapshot once the installed executable was started, only once and with the relaunch argument."""
        snapshot = self.m.snapshot(lab.facts.DOCUMENTED["relaunch_argument"])
        self.assertEqual(snapshot.relaunches(), [lab.wine.RELAUNCH], "resident log: %r" % snapshot.texts())
        return snapshot


class InstallerCourses:
    """The courses both installers run alike, for an ExampleTest whose
    install(exe, lib, expected, status) runs its installer of the fixture
    variants `exe` and `lib` and expects its exit code and the tool's status."""

    def test_same_version(self):
        # Same version text, other bytes: the installed pair stays.
        self.m.place(installed=("v450", "a"))
        self.install("v450b", "b", DONE, 2)
        self.expect_files(installed=("v450", "a"), staged=(None, None))

    def test_different_version_resident_running(self):
        self.m.place(installed=("v450", "a"))
        self.m.start_resident()
        self.install("v460", "b", DONE, 3)
        snapshot = self.expect_relaunched()
        self.assertEqual(snapshot.texts().count("notice"), 1, "resident log: %r" % snapshot.texts())
        self.expect_files(snapshot, installed=("v460", "b"), staged=(None, None))

    def test_held_library_needs_restart(self):
        # The library stays in use through the tool's retries: it is left to
        # the restart, the silent install says 3010, and the restart cycle
        # puts the staged pair in place; nothing starts the product then.
        self.m.place(installed=("v450", "a"))
        self.hold_library()
        self.install("v460", "b", RESTART_NEEDED, 4)
        self.expect_files(installed=("v460", "a"), staged=(None, "b"), pending=lab.facts.moves(self.m.real_sys, "lib"))
        self.m.restart()
        snapshot = self.expect_files(installed=("v460", "b"), staged=(None, None))
        self.assertEqual(snapshot.relaunches(), [], "resident log: %r" % snapshot.texts())


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
        self.expect_relaunched()
        if held == "library":
            self.hold_library()
        elif held == "probe":
            self.hold_probe()
        self.uninstall(code)
        snapshot = self.m.snapshot()
        counts = {text: snapshot.texts().count(text) for text in events}
        self.assertEqual(counts, events, "resident log: %r" % snapshot.texts())
        if scheduled is None:
            # Not removed: the pair stays, nothing is scheduled.
            self.expect_files(snapshot, installed=("v460", "b"), staged=(None, None), pending=[])
            return
        # Deleted now, or a delayed deletion (a path and an empty target) each.
        wanted = dict.fromkeys(lab.facts.MANAGED)
        wanted.update({key: "halunexe-v460.exe" if key == "installed_exe" else "halundll-b.dll" for key in scheduled})
        self.expect_files(snapshot, **wanted)
        deletions = [text for key in scheduled for text in ("\\??\\" + self.m.where(key), "")]
        self.assertEqual([text.lower() for text in snapshot.pending], [text.lower() for text in deletions])
        self.m.restart()
        self.expect_files(installed=(None, None), staged=(None, None))
    return test


def add_uninstall_courses(cls, extra_rows=()):
    """Adds test_uninstall_<name> to `cls` for each row and each of `extra_rows`."""
    for name, *row in UNINSTALL_ROWS + list(extra_rows):
        setattr(cls, "test_uninstall_" + name, uninstall_course(*row))
