#!/usr/bin/env python3
"""Keeps the integration guide in step with the tool: the exit-status table of
docs/integration.md and the branches of its examples (run-halunupd.bat,
halunupd.nsi) name exactly the statuses that src/run/run.h defines, and the
guide shows the NSIS example as the file holds it.

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

    def test_examples_branch_on_every_status(self):
        # Rows: example, its branches (status, target), its labels, the other
        # readings of -1 that must go where -1 goes (as cmd, an unsigned
        # reader and an 8-bit exit code report it; as a 64-bit installer
        # reports it).
        rows = [("docs/examples/run-halunupd.bat", r'^if "%STATUS%"=="(-?\d+)" goto (\w+)',
                 r"^:(\w+)", (4294967295, 255)),
                ("docs/examples/halunupd.nsi", r'^\s*StrCmp \$0 "(-?\d+)" (\w+)',
                 r"^(\w+):", (4294967295,))]
        for example, branch_pattern, label_pattern, aliases in rows:
            with self.subTest(example=example):
                text = read(example)
                branches = re.findall(branch_pattern, text, re.MULTILINE)
                handled = {int(value) for value, _ in branches}
                missing = sorted(set(tool_statuses()) - handled)
                self.assertEqual(missing, [], "statuses without a branch; branches: %r" % branches)
                targets = {int(value): label for value, label in branches}
                for alias in aliases:
                    self.assertEqual(targets.get(alias), targets.get(-1),
                                     "%d goes to %r, -1 to %r"
                                     % (alias, targets.get(alias), targets.get(-1)))
                labels = set(re.findall(label_pattern, text, re.MULTILINE))
                self.assertEqual(sorted({label for _, label in branches} - labels), [],
                                 "branches to missing labels; labels: %r" % sorted(labels))

    def test_guide_shows_the_nsis_example_as_is(self):
        blocks = re.findall(r"^```nsis\n(.*?)^```$", read("docs/integration.md"),
                            re.MULTILINE | re.DOTALL)
        self.assertEqual(len(blocks), 1, "NSIS blocks in the guide: %d" % len(blocks))
        script = read("docs/examples/halunupd.nsi")
        if blocks[0] != script:
            at = next((i for i, (a, b) in enumerate(zip(blocks[0], script)) if a != b),
                      min(len(blocks[0]), len(script)))
            self.fail("the guide's NSIS block differs from docs/examples/halunupd.nsi at"
                      " character %d: guide %r, file %r"
                      % (at, blocks[0][at:at + 40], script[at:at + 40]))

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
