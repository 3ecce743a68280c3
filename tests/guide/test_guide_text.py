#!/usr/bin/env python3
"""Keeps the integration guide in step with the tool: the exit-status table of
docs/integration.md and the branches of docs/examples/run-halunupd.bat name
exactly the statuses that src/run/run.h defines.

  test_guide_text.py SOURCE_DIR [unittest options]
"""

import os
import re
import sys
import unittest

ROOT = None


def read(relative):
    with open(os.path.join(ROOT, relative), encoding="utf-8") as f:
        return f.read()


def tool_statuses():
    """{value: name} of the RUN_ constants in run.h."""
    found = re.findall(r"\b(RUN_[A-Z_]+)\s*=\s*(-?\d+)", read("src/run/run.h"))
    return {int(value): name for name, value in found}


class GuideMatchesTool(unittest.TestCase):
    def test_run_h_defines_statuses(self):
        statuses = tool_statuses()
        self.assertGreaterEqual(len(statuses), 6, "RUN_ constants read from run.h: %r" % statuses)

    def test_status_table_lists_every_status_once(self):
        guide = read("docs/integration.md")
        section = guide.split("## Exit statuses", 1)[1].split("\n## ", 1)[0]
        rows = re.findall(r"^\|\s*(-?\d+)\s*\|", section, re.MULTILINE)
        values = [int(value) for value in rows]
        self.assertEqual(sorted(values), sorted(tool_statuses()),
                         "statuses in the guide's table %r, in run.h %r" % (values, tool_statuses()))

    def test_batch_example_branches_on_every_status(self):
        batch = read("docs/examples/run-halunupd.bat")
        branches = re.findall(r'^if "%STATUS%"=="(-?\d+)" goto (\w+)', batch, re.MULTILINE)
        handled = {int(value) for value, _ in branches}
        missing = sorted(set(tool_statuses()) - handled)
        self.assertEqual(missing, [], "statuses without a branch; branches: %r" % branches)
        # -1 as cmd, an unsigned reader and an 8-bit exit code report it.
        targets = {int(value): label for value, label in branches}
        for alias in (4294967295, 255):
            self.assertEqual(targets.get(alias), targets.get(-1),
                             "%d goes to %r, -1 to %r" % (alias, targets.get(alias), targets.get(-1)))
        labels = set(re.findall(r"^:(\w+)", batch, re.MULTILINE))
        self.assertEqual(sorted({label for _, label in branches} - labels), [],
                         "branches to missing labels; labels: %r" % sorted(labels))

    def test_batch_example_keeps_crlf_line_ends(self):
        with open(os.path.join(ROOT, "docs/examples/run-halunupd.bat"), "rb") as f:
            data = f.read()
        bare = data.replace(b"\r\n", b"").count(b"\n")
        self.assertEqual(bare, 0, "%d lines end in a bare line feed" % bare)

    def test_readme_links_the_guide(self):
        self.assertIn("docs/integration.md", read("README.md"))


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    ROOT = sys.argv[1]
    unittest.main(argv=[sys.argv[0]] + sys.argv[2:])
