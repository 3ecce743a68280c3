#!/usr/bin/env python3
"""Runs the integration guide's batch-file example (docs/examples/run-halunupd.bat)
under Wine with the built halunupd.exe, one fresh machine per course (the lab
layer, tests/e2e/lab), and checks the course it prints, the status it ends
with and the files it leaves.

  test_batch_example.py --exe EXE --exe64 EXE64 --bat BAT --cache CACHE_DIR [unittest options]
"""

import re

import examples_common as common
from examples_common import lab

BAT = lab.wine.SETUP_DIR + "\\run-halunupd.bat"


class BatchExample(common.ExampleTest):
    prefix = "guide-"

    def run_example(self, status, course, exit_code, env=None):
        self.m.put(BAT, common.ARGS.source)
        code, _, output = self.m.run(["cmd", "/c", BAT], 120, env)
        output = output.replace("\r\n", "\n")
        printed = re.findall(r"^halunupd: exit status (\S+)$", output, re.MULTILINE)
        took = re.findall(r"^halunupd: course: (.*)$", output, re.MULTILINE)
        self.assertEqual(printed, [status], "printed status, output:\n" + output)
        self.assertTrue(len(took) == 1 and took[0].startswith(course), "course, output:\n" + output)
        self.assertEqual(code, exit_code, "exit code of cmd, output:\n" + output)

    def test_nothing_staged(self):
        # A staged library without a staged executable is left where it is.
        self.m.place(staged=(None, "b"))
        self.run_example("0", "nothing staged", 0)
        self.expect_files(staged_lib="halundll-b.dll", installed_lib=None, installed_exe=None)

    def test_fresh_install(self):
        self.m.set_marker()
        self.m.place(staged=("v460", "a"))
        self.run_example("1", "fresh install", 1)
        snapshot = self.expect_relaunched()
        self.expect_files(snapshot, installed=("v460", "a"), staged=(None, None))
        self.assertEqual(snapshot.marker, lab.facts.DOCUMENTED["complete"])

    def test_same_version(self):
        self.m.place(installed=("v450", "a"), staged=("v450b", "b"))
        self.run_example("2", "same version", 2)
        self.expect_files(installed=("v450", "a"), staged=(None, None))

    def test_old_version_needs_restart(self):
        self.m.place(installed=("v44", None), staged=("v460", None))
        self.run_example("4", "restart needed", 4)
        self.expect_files(installed_exe="halunexe-v44.exe", staged_exe="halunexe-v460.exe")

    def test_process_list_unavailable(self):
        self.m.place(installed=("v450", None), staged=("v460", None))
        # cmd reports the exit code 0xFFFFFFFF as -1; the example ends with
        # -1, which the Unix side sees as 255.
        self.run_example("-1", "running copies could not be listed", 255, env={"WINEDLLOVERRIDES": "psapi="})
        self.expect_files(installed_exe="halunexe-v450.exe", staged_exe="halunexe-v460.exe")


if __name__ == "__main__":
    common.main(__doc__, "batch example", "--bat")
