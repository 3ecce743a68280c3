"""The facts the tests share, each read from the tool's sources or from
tests/families.json; `facts.py OUT.h` writes them as the fixtures' C header."""

import json
import os
import re
import sys

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", ".."))


def read(relative):
    with open(os.path.join(ROOT, relative), encoding="utf-8") as f:
        return f.read()


C_ESCAPES = {"\\": 0x5C, '"': 0x22, "'": 0x27, "?": 0x3F, "a": 7, "b": 8, "f": 12,
             "n": 10, "r": 13, "t": 9, "v": 11}


def c_literal_bytes(body):
    """The bytes a C string literal's body (between the quotes) stands for."""
    def escape(match):
        e = match.group(1)
        if not e:
            raise ValueError("literal ends in a lone backslash: %r" % body)
        if e in C_ESCAPES:
            return chr(C_ESCAPES[e])
        if re.fullmatch(r"x[0-9a-fA-F]+", e):
            return chr(int(e[1:], 16) & 0xFF)
        if re.fullmatch(r"[0-7]{1,3}", e):
            return chr(int(e, 8) & 0xFF)
        raise ValueError("unknown escape \\%s in %r" % (e, body))
    # An escape: \x and all the hex digits after it, up to three octal digits, or one character.
    return re.sub(r"\\(x[0-9a-fA-F]+|[0-7]{1,3}|.|$)", escape, body).encode("latin-1")


def c_literal(data):
    """`data` (bytes) as a C string literal, every byte outside plain text in octal."""
    return '"%s"' % "".join("\\" + chr(b) if chr(b) in '"\\' else chr(b) if 32 <= b < 127 else "\\%03o" % b
                            for b in data)


_LITERAL = r'"(?:[^"\\\n]|\\.)*"'
# The kinds of field of a table's row: a name, a number, string literals
# (joined when they follow one another).
_FIELDS = {"w": r"[A-Za-z_]\w*", "n": r"-?\d+", "s": r"(?:\s*%s)+" % _LITERAL}


def rows(text, macro, kinds):
    """The rows `macro(field, ...)` of `text`, a field of each of `kinds` (of
    _FIELDS): a name, an int, the literals' bytes. An unreadable row is an error."""
    text = re.sub(r"//[^\n]*", " ", re.sub(r"/\*.*?\*/", " ", text, flags=re.DOTALL))
    pattern = r"\b%s\s*\(%s\)" % (macro, ",".join(r"\s*(%s)\s*" % _FIELDS[kind] for kind in kinds))
    found = [[int(field) if kind == "n" else field if kind == "w" else
              b"".join(c_literal_bytes(part[1:-1]) for part in re.findall(_LITERAL, field))
              for kind, field in zip(kinds, match.groups())] for match in re.finditer(pattern, text)]
    mentions = len(re.findall(r"\b%s\s*\(" % macro, text))
    if mentions != len(found):
        raise ValueError("%d %s rows, of which only %d could be read" % (mentions, macro, len(found)))
    return found


def string_table(text):
    """{number: bytes} of the string table's source `text` (strings.inc)."""
    table = {}
    for name, number, data in rows(text, "HALUNUPD_TEXT", "wns"):
        if number in table:
            raise ValueError("number %d appears twice" % number)
        table[number] = data
    return table


# The string table: {name: (number, bytes)}.
TEXT_ROWS = {name: (number, data) for name, number, data in
             rows(read("src/resources/strings.inc"), "HALUNUPD_TEXT", "wns")}
# C string literals of the other names the Wine side shares, as the sources spell them: {name: bytes}.
_LITERALS = {name: data for name, (number, data) in TEXT_ROWS.items()}
for _file, _names in (("src/files/paths.cpp", r"\w+_NAME"), ("src/files/version.cpp", "FILE_VERSION_QUERY"),
                      ("src/notice/notice.cpp", "STUB_WINDOW_CLASS")):
    _LITERALS.update((name, c_literal_bytes(body)) for name, body in
                     re.findall(r'const CHAR (%s)\[\] = "((?:[^"\\]|\\.)*)";' % _names, read(_file)))
NOTICE_MESSAGE = re.search(r"NOTICE_MESSAGE = ([^}]+?) \}", read("src/notice/notice.h")).group(1)
TEXTS = {name: data.decode("latin-1") for name, data in _LITERALS.items()}

# The exit statuses (src/base/statuses.inc), in the table's order: code,
# name, what a setup treats it as (as the guide words it), whether its
# course starts the resident, whether it reports the pair done, its meaning.
TREAT_AS = {"DONE": "success", "RESTART": "success, restart required", "FAILED": "failed"}
STATUSES = [dict(code=code, name=name, treat=TREAT_AS[treat], starts=starts == "TRUE", done=done == "TRUE",
                 meaning=meaning.decode("latin-1"))
            for name, code, treat, starts, done, meaning in rows(read("src/base/statuses.inc"), "HALUNUPD_STATUS", "wnwwws")]
STATUS = {row["code"]: row for row in STATUSES}

# The enum constants the guide quotes, evaluated from literals and the
# constants before them: {name: value}.
CONSTANTS = {}
for _header in ("src/base/state.h", "src/notice/notice.h", "src/replace/replace.h"):
    for _body in re.findall(r"\benum\s*\{([^}]*)\}", read(_header)):
        for _name, _expression in re.findall(r"\b([A-Z][A-Z0-9_]*)\s*=\s*([^,]+)", _body):
            try:
                CONSTANTS[_name] = int(eval(_expression, {"__builtins__": {}}, dict(CONSTANTS)))
            except (NameError, SyntaxError):
                pass

# Managed files: key -> base name, as the tool names them (its KEY_NAME constant).
MANAGED = {key: TEXTS[key.upper() + "_NAME"].lstrip("\\")
           for key in ("installed_exe", "staged_exe", "installed_lib", "staged_lib")}
MARKER_KEY = "HKLM\\" + TEXTS["TEXT_MARKER_KEY"]
MARKER_VALUE = TEXTS["TEXT_MARKER_VALUE"]
STUB_WINDOW_CLASS = TEXTS["STUB_WINDOW_CLASS"]

# What the integration guide says a run leaves, stated here by hand rather
# than read from the tool's string table, so that a wrong text in the tool
# fails the Wine tests (tests/guide/test_guide_text.py checks the guide
# shows each): the marker's text, the relaunch's argument, a wininit.ini
# rename section and line, the two strings of a delayed move.
DOCUMENTED = {"complete": "Complete", "relaunch_argument": " /init", "rename_section": "[Rename]\r\n",
              "rename_line": "{dir}\\{installed} = {dir}\\{staged}\r\n",
              "move": ("\\??\\{dir}\\{staged}", "!\\??\\{dir}\\{installed}")}


def moves(directory, *files):
    """PendingFileRenameOperations as the guide says the tool queues the
    delayed moves of `files` ("lib", "exe") in `directory`, in that order."""
    return [text.format(dir=directory.lower(), staged=MANAGED["staged_" + f], installed=MANAGED["installed_" + f])
            for f in files for text in DOCUMENTED["move"]]

_families = json.loads(read("tests/families.json"))
# The families the Wine scenarios run (column "wine"), oldest first: name -> row.
FAMILIES = {row["name"]: row for row in (dict(zip(_families["columns"], cells)) for cells in _families["rows"])
            if row["wine"]}


def families(*traits, one_per=()):
    """The families Wine runs with every one of `traits` (functions of a row),
    oldest first, only the oldest of each combination of the `one_per`
    columns' values. ValueError when there is none."""
    chosen = {}
    for name, row in FAMILIES.items():
        if all(trait(row) for trait in traits):
            chosen.setdefault(tuple(row[column] for column in one_per) if one_per else name, name)
    if not chosen:
        raise ValueError("no family the Wine scenarios run has the traits asked for")
    return list(chosen.values())


def header():
    # The sources it reads are the DEPENDS of the header in tests/e2e/fixtures/CMakeLists.txt.
    lines = ["/* Generated by tests/e2e/lab/facts.py from the tool's sources: do not edit. */"]
    lines += ["#define FACT_%s %s" % (name, c_literal(data)) for name, data in sorted(_LITERALS.items())]
    lines.append("#define FACT_NOTICE_MESSAGE (%s)" % NOTICE_MESSAGE)
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    with open(sys.argv[1], "w") as out:
        out.write(header())
