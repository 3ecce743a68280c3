#!/usr/bin/env python3
"""Fills the numbers of the integration guide from the constants of the code,
and its table of what each run leaves from tests/guide/leaves.json.

A number the guide takes from the code is written as a marked span,
<!--n:EXPRESSION-->30<!--/n-->, where EXPRESSION is arithmetic over the
enum constants the guide quotes (read by tests/e2e/lab/facts.py), ending in
" in words" for a number spelled out ("ten"; up to twelve, digits above). Every span is rewritten with
its value: a whole number with thousands separators, else as a decimal.

    guide.py           rewrites docs/integration.md
    guide.py --check   exits 1, naming the spans that differ, when the guide is
                       not as it would be rewritten (the guide text test runs it)
"""

import ast
import operator
import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from lab import facts  # noqa: E402

GUIDE = "docs/integration.md"
# The table of what each run leaves, written from tests/guide/leaves.json
# (as the end-to-end runner reads it) between these two lines.
TABLE = re.compile(r"(<!--table:leaves-->\n\n)(.*?)(\n\n<!--/table-->)", re.DOTALL)
# Its columns, as leaves.json names them, before "Shown by".
LEAVES_COLUMNS = ["status", "run", "installed_exe", "installed_lib", "staged_exe", "staged_lib",
                  "restart", "started", "marker"]
SPAN = re.compile(r"<!--n:([^>]*?)-->(.*?)<!--/n-->", re.DOTALL)
WORDS = "zero one two three four five six seven eight nine ten eleven twelve".split()
OPERATORS = {ast.Add: operator.add, ast.Sub: operator.sub, ast.Mult: operator.mul, ast.Div: operator.truediv}


def value(expression, constants):
    """The value of `expression`: constants, numbers and + - * / only."""
    def evaluate(node):
        if isinstance(node, ast.BinOp) and type(node.op) in OPERATORS:
            return OPERATORS[type(node.op)](evaluate(node.left), evaluate(node.right))
        if isinstance(node, ast.Constant) and isinstance(node.value, int):
            return node.value
        if isinstance(node, ast.Name) and node.id in constants:
            return constants[node.id]
        raise ValueError("%r: %s is not a constant the guide may quote" % (expression, ast.dump(node)))
    return evaluate(ast.parse(expression, mode="eval").body)


def shown(expression, constants):
    """The text of a span of `expression`."""
    spelled = expression.endswith(" in words")
    number = value(expression[:-len(" in words")] if spelled else expression, constants)
    if number == int(number):
        number = int(number)
        return WORDS[number] if spelled and 0 <= number < len(WORDS) else "{:,}".format(number)
    return str(number)


def leaves_table():
    """The guide's table of what each run leaves, as leaves.json gives it."""
    import run_e2e  # noqa: E402 (beside lab, in tests/e2e)
    titles = (["Status", "Run"] + ["`%s`" % facts.MANAGED[key] for key in LEAVES_COLUMNS[2:6]]
              + ["At the restart", "Started", "Marker", "Shown by"])
    lines = ["| %s |" % " | ".join(titles), "|%s" % ("---|" * len(titles))]
    for row in run_e2e.ROWS:
        shown = row.get("not_tried") or ", ".join("`e2e.%s`" % name for name in row["shown_by"])
        lines.append("| %s |" % " | ".join([str(row[key]) for key in LEAVES_COLUMNS] + [shown]))
    return "\n".join(lines)


def filled(text, constants=None):
    """`text` with every span rewritten, and [(expression, was, is)] of those that changed."""
    constants = facts.CONSTANTS if constants is None else constants
    changed = []

    def fill(match):
        expression, was = match.group(1), match.group(2)
        now = shown(expression, constants)
        if now != was:
            changed.append((expression, was, now))
        return "<!--n:%s-->%s<!--/n-->" % (expression, now)
    text = SPAN.sub(fill, text)
    table = TABLE.search(text)
    if table is None:
        raise ValueError("%s has no table of what each run leaves" % GUIDE)
    if table.group(2) != leaves_table():
        changed.append(("the table of what each run leaves", "as written", "as leaves.json gives it"))
        text = text[:table.start(2)] + leaves_table() + text[table.end(2):]
    return text, changed


def main(argv):
    path = os.path.join(facts.ROOT, GUIDE)
    with open(path, encoding="utf-8") as f:
        text = f.read()
    result, changed = filled(text)
    if argv[1:] == ["--check"]:
        for expression, was, now in changed:
            print("%s: %s says %r, its source %r" % (GUIDE, expression, was, now))
        return 1 if changed else 0
    if argv[1:]:
        sys.exit(__doc__)
    with open(path, "w", encoding="utf-8") as f:
        f.write(result)
    print("%s: %d span(s) rewritten" % (GUIDE, len(changed)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
