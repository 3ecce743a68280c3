#!/usr/bin/env python3
"""Keeps the integration guide in step with the tool, its examples and its
end-to-end scenarios, without running them: the status tables and their
verdicts, the numbers, names and texts it quotes, the tests it names and the
example files it shows.

  test_guide_text.py SOURCE_DIR [unittest options]
"""

import os
import re
import sys
import unittest

ROOT = None
# Set by main(): the modules under test, and facts.read (a file of the tree, by its relative path).
run_e2e = facts = scripts_guide = test_msi_example = test_batch_example = test_nsis_example = read = None

GUIDE = "docs/integration.md"
# How the guide tells a setup to treat a status: each verdict, as the custom
# action names it, and what msiexec then ends with.
MSI_VERDICTS = {"success": ("VERDICT_DONE", "0"), "success, restart required": ("VERDICT_RESTART", "3010"),
                "failed": ("VERDICT_FAILED", "1603")}
MSICA = "src/msica/verdict.cpp"
NOT_TRIED = "not tried on Wine"
# The examples that branch on the status, and how each reads: a branch
# (status, label); a label; the other readings of -1 that must go where -1
# goes (as cmd, an unsigned reader and an 8-bit exit code report it; as an
# unsigned reader reports it); the line that runs the tool; how a block (the
# lines from a label to the next) states its verdict: (pattern, verdict, or
# None when the pattern's group is the verdict), the first that occurs
# decides, else `default`; the exit code a block sets, if the example sets
# one per block; and, for each condition the guide makes an exception of
# (as its "Treat as" column names it), how a guard on it reads: its group is
# a label, a macro or the guarded lines, whose verdict is the guard's. A guard
# stands before the run or in the block of the status it excepts.
EXAMPLES = {
    "docs/examples/run-halunupd.bat": {
        "branch": r'^if "%STATUS%"=="(-?\d+)" goto (\w+)', "label": r"^:(\w+)", "aliases": (4294967295, 255),
        "run": r'^"%HALUNUPD%"$', "verdicts": [(r"^echo halunupd: result: (.+?)\r?$", None)], "default": None,
        "code": r'^set "RESULT=(\d+)"',
        "guards": {"Windows 95": r'^if not "%OS%"=="Windows_NT" goto (\w+)',
                   "NT 4.0": r"^if defined NT4 goto (\w+)",
                   "without administrator rights": r'^if (?:not )?exist "%PROBE%" goto (\w+)'}},
    "docs/examples/halunupd.nsi": {
        "branch": r'^\s*StrCmp \$0 "(-?\d+)" (\w+)', "label": r"^(\w+):", "aliases": (4294967295,),
        "run": r"^\s*nsExec::Exec ",
        "verdicts": [(r"^\s*Abort\b", "failed"), (r"^\s*SetRebootFlag true$", "success, restart required")],
        "default": "success", "code": None,
        "guards": {"Windows 95": r"^\s*\$\{(?:If|OrIf)\} \$\{IsWin95\}$(.*?)^\s*\$\{EndIf\}",
                   "NT 4.0": r"^\s*\$\{(?:If|OrIf)\} \$\{IsWinNT4\}$(.*?)^\s*\$\{EndIf\}",
                   "without administrator rights": r"^\s*!insertmacro (RIGHTS_CHECK)$"}},
}
# The exit code an example sets for each verdict (None: any but the others).
VERDICT_CODES = {"success": "0", "success, restart required": "3010", "failed": None}
# Words allowed in each column of the table of what each run leaves.
LEAVES_WORDS = {
    "installed_exe": {"unchanged", "new"}, "installed_lib": {"unchanged", "new"},
    "staged_exe": {"kept", "removed", "none"}, "staged_lib": {"kept", "removed", "none"},
    "restart": {"nothing", "library", "executable", "both"},
    "started": {"yes", "no"}, "marker": {"written", "not written"}}


def guide():
    """The guide without the marks of scripts/guide.py's numbers."""
    return re.sub(r"<!--n:[^>]*-->|<!--/n-->", "", read(GUIDE))


def section(heading):
    """The guide's text under `heading`, up to the next heading of its level or above."""
    found = re.search(r"^%s\n(.*?)(?=^#{1,%d} |\Z)" % (re.escape(heading), heading.index(" ")), guide(),
                      re.MULTILINE | re.DOTALL)
    if found is None:
        raise AssertionError("the guide has no section %r" % heading)
    return found.group(1)


def table(heading, after=""):
    """The body rows, as lists of cells, of the first table under `heading` after the text `after`."""
    text = section(heading)
    found = re.search(r"(?:^[ \t]*\|.*\n?)+", text[text.index(after) + len(after):], re.MULTILINE)
    if found is None:
        raise AssertionError("no table under %r after %r" % (heading, after))
    return [[cell.strip() for cell in line.strip().strip("|").split("|")] for line in found.group(0).splitlines()[2:]]


def blocks(example):
    """{label: its block, the lines from the label to the next}."""
    pattern = re.compile(EXAMPLES[example]["label"], re.MULTILINE)
    text = read(example)
    found = list(pattern.finditer(text))
    return {m.group(1): text[m.end():(found[i + 1].start() if i + 1 < len(found) else len(text))]
            for i, m in enumerate(found)}


def guarded(example, text):
    """[(condition, a label's block, a macro's body or the guarded lines)] of the guards in `text`."""
    source, rows = read(example), EXAMPLES[example]
    found = []
    for condition, pattern in rows["guards"].items():
        for target in re.findall(pattern, text, re.MULTILINE | re.DOTALL):
            macro = re.search(r"^!macro %s\n(.*?)^!macroend" % re.escape(target), source, re.MULTILINE | re.DOTALL)
            found.append((condition, blocks(example).get(target) or (macro and macro.group(1)) or target))
    return found


def verdict(example, text):
    """(verdict, exit code or None) of a block, its guards left out."""
    rows = EXAMPLES[example]
    for pattern in rows["guards"].values():
        text = re.sub(pattern, "", text, flags=re.MULTILINE | re.DOTALL)
    stated = sorted((m.start(), given or m.group(1)) for pattern, given in rows["verdicts"]
                    for m in re.finditer(pattern, text, re.MULTILINE))
    code = rows["code"] and re.findall(rows["code"], text, re.MULTILINE)
    return (stated[0][1] if stated else rows["default"]), (code[0] if code else None)


def treat_as(cell):
    """(verdict, the exception's verdict, [its conditions]) of a "Treat as" cell:
    "**success, restart required** (but **failed** on Windows 95 and NT 4.0, and
    without administrator rights: ...)"; without an exception (verdict, None, [])."""
    verdict = re.match(r"\*\*([^*]+)\*\*", cell)
    if verdict is None or verdict.group(1) not in MSI_VERDICTS:
        raise AssertionError("the cell does not begin with a bold verdict of %r: %r" % (sorted(MSI_VERDICTS), cell))
    found = re.search(r"\(but \*\*([^*]+)\*\* on ([^:;)]+)", cell)
    if not found:
        return verdict.group(1), None, []
    known = list(next(iter(EXAMPLES.values()))["guards"])
    conditions = [condition for condition in known if condition in found.group(2)]
    rest = re.sub("|".join(map(re.escape, known)), "", found.group(2))
    if re.sub(r"\b(and|or)\b|[,\s]", "", rest):
        raise AssertionError("the exception names a condition the examples do not guard: %r (known: %r)"
                             % (found.group(2), known))
    return verdict.group(1), found.group(1), conditions


class StatusTables(unittest.TestCase):
    def test_exit_status_table_lists_every_status_once(self):
        # The guide's table, and the README's list: each course with its "(exit N)"; and the README's link
        # to the guide.
        for where, values in (("the guide's table", [row[0] for row in table("## Exit statuses")]),
                              ("the README's list", re.findall(r"\(exit (-?\d+)\)", read("README.md")))):
            self.assertEqual(sorted(map(int, values)), sorted(facts.STATUS), "statuses in %s, in statuses.inc" % where)
        self.assertIn("docs/integration.md", read("README.md"))

    def test_examples_branch_on_every_status_as_the_guide_says(self):
        rows = table("## Exit statuses")
        for example, rules in EXAMPLES.items():
            source = read(example)
            # [(status, label)] of the example's branches on the status.
            branched = [(int(value), label) for value, label in re.findall(rules["branch"], source, re.MULTILINE)]
            labelled = blocks(example)
            targets = dict(branched)
            with self.subTest(example=example):
                missing = sorted(set(facts.STATUS) - set(targets))
                self.assertEqual(missing, [], "statuses without a branch; branches: %r" % branched)
                for alias in rules["aliases"]:
                    self.assertEqual(targets.get(alias), targets.get(-1),
                                     "%d goes to %r, -1 to %r" % (alias, targets.get(alias), targets.get(-1)))
                self.assertEqual(sorted(set(targets.values()) - set(labelled)), [],
                                 "branches to missing labels; labels: %r" % sorted(labelled))
            run = re.search(rules["run"], source, re.MULTILINE)
            self.assertTrue(run, "%s: no line runs the tool (%r)" % (example, rules["run"]))
            before = source[:run.start()]
            for row in rows:
                with self.subTest(example=example, status=row[0]):
                    block = labelled[targets[int(row[0])]]
                    treat, exception, conditions = treat_as(row[2])
                    wanted = [("", treat, block)]
                    guards = guarded(example, before) + guarded(example, block)
                    for condition in conditions:
                        found = [text for named, text in guards if named == condition]
                        self.assertTrue(found, "the guide makes an exception %r; no guard reads %r"
                                        % (condition, rules["guards"][condition]))
                        wanted += [(condition, exception, text) for text in found]
                    for condition, treat, text in wanted:
                        given, code = verdict(example, text)
                        self.assertEqual(given, treat, "%s: the guide says %r; the example's text: %r"
                                         % (condition or "verdict", treat, text))
                        # A failure sets any code but those of success, or
                        # none where it cannot (the batch under COMMAND.COM).
                        if rules["code"]:
                            self.assertTrue(code == VERDICT_CODES[treat] if VERDICT_CODES[treat] else
                                            code not in set(VERDICT_CODES.values()) - {None},
                                            "%s: exit code %r for %r" % (condition or "verdict", code, treat))

    def test_custom_action_maps_as_the_guide_says(self):
        # The custom action's verdict of each status (statuses.inc), and of a
        # status where nothing is scheduled (verdict.cpp).
        rows = {row["code"]: MSI_VERDICTS[row["treat"]][0] for row in facts.STATUSES}
        name, unscheduled = re.search(r"UNSCHEDULED_ROW = \{\s*(RUN_\w+), (VERDICT_\w+),", read(MSICA)).groups()
        unscheduled_status = next(row["code"] for row in facts.STATUSES if row["name"] == name)
        statuses = table("## Exit statuses")
        for row in statuses:
            with self.subTest(status=row[0]):
                self.assertEqual(rows[int(row[0])], MSI_VERDICTS[treat_as(row[2])[0]][0], "the guide says %r" % row[2])
        # The one exception the guide makes: a 4 on Windows 95 and NT 4.0.
        four = [row[2] for row in statuses if int(row[0]) == unscheduled_status][0]
        self.assertIn("**failed** on Windows 95 and NT 4.0", four)
        self.assertEqual(unscheduled, "VERDICT_FAILED")

        # The guide's table of the custom action: every status once, and the
        # exception, with the custom action's verdict and msiexec's exit code.
        wanted = dict(rows)
        wanted["%d with nothing scheduled (Windows 95 and NT 4.0)" % unscheduled_status] = unscheduled
        shown = {}
        for status, verdict, ends, shown_by in table("### Windows Installer", "**Status mapping.**"):
            with self.subTest(row=status):
                key = int(status) if re.fullmatch(r"-?\d+", status) else status
                code, exit_code = MSI_VERDICTS[treat_as(verdict)[0]]
                shown[key] = code
                self.assertEqual(ends.split(",")[0], exit_code, "msiexec ends with %r" % ends)
                # That each test it names exists, test_scenarios_and_simulator_tests_the_guide_names_exist
                # sees, as it sees every `Class.test_name` of the guide.
                self.assertTrue(re.search(r"`MsiExample\.\w+`", shown_by) or shown_by == NOT_TRIED,
                                "shown by %r" % shown_by)
        self.assertEqual(shown, wanted, "the guide's rows, the custom action's")

    def test_custom_actions_table_is_the_package(self):
        # Each row: the action, its sequence number and kind, as the package
        # declares them; every action of the package's sequence has a row,
        # and every DLL entry it names is an export of halunmsi.dll.
        package = read("docs/examples/halunupd.wxs")
        actions = {name: dict(re.findall(r'(\w+)="([^"]*)"', attributes)) for name, attributes in
                   re.findall(r'<CustomAction Id="(\w+)"([^>]*)/>', package)}
        sequence = {name: (number, condition.replace("$$", "$")) for name, number, condition in
                    re.findall(r'<Custom Action="(\w+)" Sequence="(\d+)">([^<]*)</Custom>', package)}
        exports = set(re.findall(r"^\s+(\w+)$", read("src/msica/halunmsi.def"), re.MULTILINE))
        rows = table("### Windows Installer")
        self.assertEqual([row[0].strip("`") for row in rows], sorted(sequence, key=lambda n: int(sequence[n][0])),
                         "the table's actions, in the package's order")
        for action, kind, _, _ in rows:
            name = action.strip("`")
            with self.subTest(action=name):
                declared, (number, condition) = actions[name], sequence[name]
                words = [word.strip() for word in kind.split(",")]
                self.assertEqual(words[0], number, "sequence number")
                if "DllEntry" in declared:
                    self.assertIn(declared["DllEntry"], exports, "halunmsi.def exports")
                    self.assertEqual(words[1], declared["Execute"], "kind")
                    impersonated = declared.get("Impersonate", "yes") == "yes"
                    if declared["Execute"] == "deferred":
                        self.assertEqual(words[2], "impersonated" if impersonated else "not impersonated")
                # The tool's actions run when this session installs the
                # staged executable's component; the removal's on every
                # removal or on the product's, not an upgrade's.
                conditions = {'$StagedExecutable=3': None, 'REMOVE~="ALL"': "on every removal",
                              'REMOVE~="ALL" AND NOT UPGRADINGPRODUCTCODE': "on the product's removal"}
                self.assertIn(condition, conditions, "condition")
                for text in filter(None, conditions.values()):
                    self.assertEqual(text in kind, conditions[condition] == text, kind)

    def test_leaves_table_rows_agree_with_the_statuses_and_name_each_scenario_once(self):
        named = []
        for row in run_e2e.ROWS:
            with self.subTest(run=row["run"]):
                self.assertEqual(("shown_by" in row) + ("not_tried" in row), 1, "shown_by or not_tried")
                self.assertTrue(row.get("shown_by") or row["not_tried"].startswith(NOT_TRIED))
                self.assertIn(row["status"], facts.STATUS, "status not in statuses.inc")
                for column, words in LEAVES_WORDS.items():
                    self.assertIn(row[column], words, "column %s" % column)
                # Only the courses whose status starts the executable do.
                self.assertEqual(row["started"] == "yes", facts.STATUS[row["status"]]["starts"],
                                 "started %r with status %d" % (row["started"], row["status"]))
                # That each scenario exists is the guide's to show: its table is this data, and
                # test_scenarios_and_simulator_tests_the_guide_names_exist finds every name it gives.
                named += row.get("shown_by", [])
        twice = sorted({name for name in named if named.count(name) > 1})
        self.assertEqual(twice, [], "scenarios named by more than one row")
        # Every status is shown by a scenario.
        shown = {row["status"] for row in run_e2e.ROWS if row.get("shown_by")}
        self.assertEqual(sorted(set(facts.STATUS) - shown), [],
                         "statuses that no row shows by a scenario; shown: %r" % sorted(shown))

    def test_scenarios_and_simulator_tests_the_guide_names_exist(self):
        sources = "".join(read(os.path.join("tests", name)) for name in
                          sorted(os.listdir(os.path.join(ROOT, "tests"))) if name.endswith(".cpp"))
        simulator_tests = {"%s.%s" % test for test in re.findall(r"\bTEST_[FP]\((\w+),\s*(\w+)\)", sources)}
        # Rows: how the guide names one, those that exist, where they are.
        # The examples' tests under Wine, as `Class.test_name`.
        example_tests = {"%s.%s" % (cls.__name__, name) for cls in
                         (test_batch_example.BatchExample, test_nsis_example.NsisExample, test_msi_example.MsiExample)
                         for name in dir(cls) if name.startswith("test_")}
        for pattern, defined, where in ((r"`e2e\.([\w-]+\.\w+)`", set(run_e2e.SCENARIOS), "run_e2e.py"),
                                        (r"`(\w+Test\.\w+)`", simulator_tests, "tests/*.cpp"),
                                        (r"`(\w+Example\.\w+)`", example_tests, "tests/guide/test_*_example.py")):
            with self.subTest(where=where):
                named = set(re.findall(pattern, guide()))
                self.assertTrue(named, "the guide names none")
                self.assertEqual(sorted(named - defined), [], "named in the guide, not in %s" % where)


class NumbersAndNames(unittest.TestCase):
    def test_timing_bounds_are_the_constants(self):
        constants = facts.CONSTANTS
        rows = table("## How long a run takes")
        self.assertGreaterEqual(len(rows), 3, "rows of the timing table: %r" % rows)
        for step, bound, named in rows:
            with self.subTest(step=step):
                names = re.findall(r"`([A-Z_]+)`", named)
                self.assertTrue(names and all(name in constants for name in names),
                                "constants %r, known: %r" % (names, sorted(constants)))
                # Milliseconds are given in seconds, counts as they are, in order.
                wanted = [constants[name] // 1000 if name.endswith("_MS") else constants[name]
                          for name in names]
                given = [int(number) for number in re.findall(r"\d+", bound)]
                self.assertEqual(given, wanted, "bound %r for %r" % (bound, names))

    def test_numbers_are_the_constants(self):
        # Every number the guide takes from the code is a span scripts/guide.py fills.
        _, changed = scripts_guide.filled(read(GUIDE))
        self.assertEqual(changed, [], "run scripts/guide.py: (span, the guide, the constants)")
        # One more attempt changes every span that quotes the attempts, and only those.
        constants = dict(facts.CONSTANTS, LIBRARY_DELETE_ATTEMPTS=facts.CONSTANTS["LIBRARY_DELETE_ATTEMPTS"] + 1)
        _, changed = scripts_guide.filled(read(GUIDE), constants)
        quoting = re.findall(r"<!--n:([^>]*LIBRARY_DELETE_ATTEMPTS[^>]*)-->", read(GUIDE))
        self.assertGreaterEqual(len(quoting), 5, "spans quoting the attempts")
        self.assertEqual([expression for expression, _, _ in changed], quoting)

    def test_texts_are_the_string_table_and_the_documented_results(self):
        # Rows: how the guide must show a text, and the text: the registry names
        # and texts of the string table, then the results the Wine tests expect,
        # stated apart from it (lab/facts.py DOCUMENTED).
        documented, text = facts.DOCUMENTED, " ".join(guide().split())
        line = documented["rename_line"].format(dir="C:\\WINDOWS\\SYSTEM", installed=facts.MANAGED["installed_lib"],
                                                staged=facts.MANAGED["staged_lib"])
        rows = [(form, facts.TEXTS["TEXT_" + name].strip()) for name, form in (
            ("MARKER_KEY", "`HKEY_LOCAL_MACHINE\\%s`"), ("MARKER_VALUE", "`%s`"), ("MARKER_COMPLETE", "`%s`"),
            ("MARKER_START", "`%s`"), ("RESTART_ARGUMENT", "` %s`"), ("MINIMUM_VERSION", "below %s"))]
        rows += [("`%s`", documented["complete"]), ("`%s`", documented["relaunch_argument"]),
                 ("`%s`", documented["rename_section"].strip()), ("`%s`", line.strip()),
                 ("`%s` and `%s`", tuple(facts.moves("c:\\windows\\system32", "lib")))]
        for form, shown in rows:
            with self.subTest(form=form, text=shown):
                self.assertIn(form % shown, text)

    def test_version_examples_are_rows_of_the_version_gate(self):
        rows = table("## Requirements on the staged files")
        self.assertGreaterEqual(len(rows), 5, "rows of the version table: %r" % rows)
        # {FileVersion text: [variants]} of the resident fixtures.
        listing = re.search(r"set\(RESIDENT_VARIANTS(.*?)\)", read("tests/e2e/fixtures/CMakeLists.txt"), re.DOTALL)
        variants = {}
        for variant, text in (entry.split("=", 1) for entry in re.findall(r'"([^"]*)"', listing.group(1))):
            variants.setdefault(text, []).append(variant)
        # {installed variant: the status e2e.version-gate expects} of the rows staging 4.60.
        gate = {installed: status for installed, staged, status in run_e2e.VERSION_GATE_ROWS if staged == "v460"}
        for version, passes in rows:
            with self.subTest(version=version):
                carriers = variants.get(version.strip("`"), [])
                self.assertTrue(carriers, "no resident fixture carries it; fixtures: %r" % sorted(variants))
                statuses = [gate[variant] for variant in carriers if variant in gate]
                self.assertTrue(statuses, "e2e.version-gate installs none of %r" % carriers)
                self.assertEqual(statuses[0] == 3, passes == "yes",
                                 "the guide says %r, the scenario expects status %d" % (passes, statuses[0]))


class Examples(unittest.TestCase):
    maxDiff = None  # a block that differs from its file shows the whole difference

    def test_guide_shows_the_installer_examples_as_they_are(self):
        # Rows: the language of the block, the file it shows.
        for language, example in (("nsis", "docs/examples/halunupd.nsi"), ("xml", "docs/examples/halunupd.wxs")):
            with self.subTest(example=example):
                blocks = re.findall(r"^```%s\n(.*?)^```$" % language, guide(), re.MULTILINE | re.DOTALL)
                self.assertEqual(len(blocks), 1, "%s blocks in the guide: %d" % (language, len(blocks)))
                self.assertEqual(blocks[0], read(example), "the guide's %s block, then %s" % (language, example))

    def test_batch_example_keeps_crlf_line_ends(self):
        with open(os.path.join(ROOT, "docs/examples/run-halunupd.bat"), "rb") as f:
            data = f.read()
        bare = data.replace(b"\r\n", b"").count(b"\n")
        self.assertEqual(bare, 0, "%d lines end in a bare line feed" % bare)


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    ROOT = sys.argv[1]
    sys.path[:0] = [os.path.join(ROOT, "tests", "e2e"), os.path.join(ROOT, "tests", "guide")]
    import run_e2e  # noqa: E402
    from lab import facts  # noqa: E402
    import test_msi_example  # noqa: E402
    import test_batch_example  # noqa: E402
    import test_nsis_example  # noqa: E402
    sys.path.insert(0, os.path.join(ROOT, "scripts"))
    import guide as scripts_guide  # noqa: E402
    read = facts.read
    unittest.main(argv=[sys.argv[0]] + sys.argv[2:])
