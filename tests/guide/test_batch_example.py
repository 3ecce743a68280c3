#!/usr/bin/env python3
"""Runs the guide's batch-file example (docs/examples/run-halunupd.bat) under
Wine, one fresh machine per course, and checks the course and result it
prints, its exit code and the files it leaves.

  test_batch_example.py --exe EXE --exe64 EXE64 --bat BAT --cache CACHE_DIR [unittest options]
"""

import re

import examples_common as common
from examples_common import DONE, RESTART_NEEDED, lab

BAT = lab.wine.SETUP_DIR + "\\run-halunupd.bat"
# A folder that does not stay (a CD, a temporary folder) to start the example from.
TEMPORARY = "C:\\windows\\temp\\halunupd-cd"
# The example's exit codes as the Unix side sees them (the low 8 bits).
NOT_DONE, NO_RIGHTS, IN_USE = common.FAILED, 5, 32


class BatchExample(common.ExampleTest):
    prefix = "guide-"

    def run_example(self, status, course, exit_code, result, env=None, args=(), cwd=None):
        """Runs the example (with `args`, from the folder `cwd`) and expects the
        tool's `status` it prints (None: the tool was not run), its course
        (the start of the line), its result and its exit code."""
        self.m.put(BAT, common.ARGS.source)
        command = " ".join([BAT] + list(args))
        if cwd:
            self.m.put(cwd + "\\setup.txt", data=b"")
            command = "cd /d %s && %s" % (cwd, command)
        code, _, output = self.m.run(["cmd", "/c", command], 120, env)
        output = output.replace("\r\n", "\n")
        printed, took, said = (re.findall(r"^halunupd: %s(.*)$" % line, output, re.MULTILINE)
                               for line in ("exit status ", "course: ", "result: "))
        self.assertEqual(printed, [status] if status else [], "printed status, output:\n" + output)
        self.assertTrue(len(took) == 1 and took[0].startswith(course), "course, output:\n" + output)
        self.assertEqual(said, [result], "result, output:\n" + output)
        self.assertEqual(code, exit_code, "exit code of cmd, output:\n" + output)
        return output

    def test_replacement_started_from_a_temporary_folder(self):
        # The tool runs in the system directory, whatever folder the example
        # was started from: the relaunched resident works there, not in a
        # folder that goes.
        self.arrange(installed=("v450", "a"), staged=("v460", "b"), resident=True)
        self.run_example("3", "replaced", DONE, "success", cwd=TEMPORARY)
        snapshot = self.expect(installed=("v460", "b"), staged=(None, None), relaunched=True)
        directories = [text.split(" ", 1)[1] for text in snapshot.texts() if text.startswith("directory ")]
        self.assertEqual([d.lower().rstrip("\\") for d in directories[-1:]], [self.m.sys.lower()],
                         "working directories of the resident's copies: %r" % directories)


# The courses, one fresh machine per row: (name, the arrangement, what the
# example prints (the tool's status, None where it is not run; the start of
# the course's line; the result), its exit code and the environment, what
# it leaves).
COURSES = [
    # A staged library without a staged executable is left where it is.
    ("nothing_staged", dict(staged=(None, "b")), ("0", "nothing staged", NOT_DONE, "failed"),
     dict(staged_lib="halundll-b.dll", installed_lib=None, installed_exe=None)),
    ("fresh_install", dict(marker=True, staged=("v460", "a")), ("1", "fresh install", DONE, "success"),
     dict(installed=("v460", "a"), staged=(None, None), relaunched=True, marker=lab.facts.DOCUMENTED["complete"])),
    ("same_version", dict(installed=("v450", "a"), staged=("v450b", "b")), ("2", "same version", DONE, "success"),
     dict(installed=("v450", "a"), staged=(None, None))),
    ("old_version_needs_restart", dict(installed=("v44", None), staged=("v460", None)),
     ("4", "restart needed, the replacement waits", RESTART_NEEDED, "success, restart required"),
     dict(installed_exe="halunexe-v44.exe", staged_exe="halunexe-v460.exe")),
    # Windows NT 4.0 (shown to cmd, whose "ver" the example reads, and to
    # the tool) schedules nothing: the 4 leaves the update undone.
    ("old_version_on_nt40_fails", dict(nt40="cmd.exe", installed=("v44", None), staged=("v460", None)),
     ("4", "restart needed, but this Windows schedules nothing", NOT_DONE, "failed"),
     dict(installed_exe="halunexe-v44.exe", staged_exe="halunexe-v460.exe", moved=())),
    # cmd reports the exit code 0xFFFFFFFF as -1.
    ("process_list_unavailable", dict(installed=("v450", None), staged=("v460", None)),
     ("-1", "running copies could not be listed", NOT_DONE, "failed", common.NO_PSAPI),
     dict(installed_exe="halunexe-v450.exe", staged_exe="halunexe-v460.exe")),
    ("without_rights_the_tool_is_not_run",
     dict(marker="before", installed=("v450", "a"), staged=("v460", "b"), held="probe"),
     (None, "not run, administrator rights are needed", NO_RIGHTS, "failed"),
     dict(installed=("v450", "a"), staged=("v460", "b"), marker="before")),
]
common.add_tests(BatchExample, COURSES)


# The uninstall (run-halunupd.bat /uninstall), one fresh machine per row:
# (name, the arrangement: the resident running or a file held ("library" or
# "probe"), the code it ends with, its course, the managed files it leaves
# as expect() takes them). cmd cannot tell the resident to close nor
# schedule a deletion for the restart: what stays in use stays, after the
# restart too, and a second uninstall once nothing holds it removes the rest.
REMOVED = "uninstall, halunexe.exe, halundll.dll and their staged copies removed"
UNINSTALL_ROWS = [
    ("nothing_running", {}, DONE, REMOVED, dict(installed=(None, None), staged=(None, None))),
    ("resident_running", dict(resident=True), IN_USE, "uninstall, C:\\windows\\system32\\halunexe.exe is in use",
     dict(installed=("v450", "a"), staged=(None, None))),
    ("library_held", dict(held="library"), IN_USE, "uninstall, C:\\windows\\system32\\halundll.dll is in use",
     dict(installed=(None, "a"), staged=(None, None))),
    ("without_rights", dict(held="probe"), NO_RIGHTS, "not run, administrator rights are needed",
     dict(installed=("v450", "a"), staged=("v460", "b"))),
]


def uninstall_test(arrangement, code, course, left):
    def test(self):
        self.arrange(installed=("v450", "a"), staged=("v460", "b"), **arrangement)
        self.run_example(None, course, code, "success" if code == DONE else "failed", args=["/uninstall"])
        snapshot = self.expect(moved=(), **left)
        self.assertEqual(snapshot.wininit, None, "wininit.ini written")
        # The resident was told nothing and runs on.
        self.assertEqual([t for t in snapshot.texts() if t.startswith(("notice", "exit"))], [],
                         "resident log: %r" % snapshot.texts())
        if code == DONE:
            return
        # Nothing happens at the restart; then nothing holds a file, and a
        # second uninstall removes the rest.
        self.m.restart()
        self.expect(**left)
        self.run_example(None, REMOVED, DONE, "success", args=["/uninstall"])
        self.expect(installed=(None, None), staged=(None, None))
    return test


common.add_tests(BatchExample, UNINSTALL_ROWS, uninstall_test, "test_uninstall_")


if __name__ == "__main__":
    common.main(__doc__, "batch example", "--bat")
