#!/usr/bin/env python3
"""Checks of the built halunupd.exe and halunmsi.dll, read straight out of
the PE files.

  check_pe.py facts EXE [--objdump OBJDUMP]   headers, imports, size budget
  check_pe.py dll DLL [--objdump OBJDUMP]     the custom action DLL: the same, and its exports
  check_pe.py strings EXE STRINGS_INC         the string table, byte for byte as the source has it
  check_pe.py manifest EXE                    the embedded application manifest

Each prints what it found and exits 1 with the differences when a check fails.
"""

import argparse
import os
import re
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

sys.path[:0] = [os.path.dirname(os.path.abspath(__file__)),
                os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e")]
import peimage  # noqa: E402
from lab import facts  # noqa: E402

# What the tool may import, by DLL: the operations it calls directly. The
# version functions (version.dll), the process functions (psapi.dll) and the
# toolhelp and WOW64 functions of KERNEL32 are bound at run time and must not
# appear here.
ALLOWED_IMPORTS = {
    "KERNEL32.DLL": {
        "FindFirstFileA", "FindClose", "DeleteFileA", "CopyFileA", "MoveFileExA",
        "CreateFileA", "ReadFile", "WriteFile", "SetFilePointer", "SetEndOfFile",
        "CloseHandle", "GetSystemDirectoryA", "GetWindowsDirectoryA", "GetShortPathNameA",
        "GetVersionExA", "CreateProcessA", "Sleep", "GetTickCount", "WaitForSingleObject",
        "GetLastError", "ExitProcess", "OpenProcess", "GetCurrentProcess",
        "LoadLibraryA", "GetProcAddress", "FreeLibrary", "GetProcessHeap", "HeapAlloc", "HeapFree",
        "lstrcpyA", "lstrcatA", "lstrlenA", "lstrcmpA",
    },
    "USER32.DLL": {"LoadStringA", "wsprintfA", "FindWindowA", "SendMessageTimeoutA"},
    "ADVAPI32.DLL": {"RegOpenKeyExA", "RegQueryValueExA", "RegSetValueExA", "RegCloseKey"},
}
# Without these the program cannot end or read its own texts.
REQUIRED_IMPORTS = {"KERNEL32.DLL": {"ExitProcess"}, "USER32.DLL": {"LoadStringA"}}

# halunmsi.dll, the custom actions of the Windows Installer example: a DLL of
# its own, built from the tool's code, under its own budget (the removal's
# restart-time deletions bring the tool's wininit.ini merge), with its eight
# exports, importing from KERNEL32, USER32, ADVAPI32 and msi.dll only (ANSI
# functions, present since Windows Installer 1.0). From the tool's KERNEL32
# list, what the tool's code it is built from calls; CopyFileA, MoveFileExA,
# Sleep, WriteFile, SetFilePointer and SetEndOfFile come with the object
# files of the replacement, whose functions that call them the link leaves out.
DLL_ALLOWED_IMPORTS = {
    "KERNEL32.DLL": (ALLOWED_IMPORTS["KERNEL32.DLL"] - {"ExitProcess"}) | {"GetExitCodeProcess"},
    "USER32.DLL": ALLOWED_IMPORTS["USER32.DLL"] | {"GetWindowThreadProcessId"},
    "ADVAPI32.DLL": {"RegOpenKeyExA", "RegQueryValueExA", "RegCloseKey"},
    "MSI.DLL": {"MsiGetPropertyA", "MsiSetMode", "MsiProcessMessage", "MsiCreateRecord",
                "MsiRecordSetStringA", "MsiRecordSetInteger", "MsiCloseHandle"},
}
DLL_REQUIRED_IMPORTS = {"MSI.DLL": {"MsiGetPropertyA", "MsiSetMode", "MsiProcessMessage"},
                        "USER32.DLL": {"LoadStringA"}}
DLL_EXPORTS = ["CloseHalunexe", "CloseHalunexeForRemoval", "RemoveHalunexe", "RemoveHalunupdStaged",
               "RequestHalunupdRestart", "RequestRemovalRestart", "RunHalunupd", "StartHalunexe"]

# What each kind of file must be: the size budget, the subsystem, whether it
# is a DLL, its imports allowed and required, its exports.
KINDS = {
    "exe": (16 * 1024, 3, False, ALLOWED_IMPORTS, REQUIRED_IMPORTS, []),
    "dll": (20 * 1024, 2, True, DLL_ALLOWED_IMPORTS, DLL_REQUIRED_IMPORTS, DLL_EXPORTS),
}
C_RUNTIME = re.compile(r"^(msvcr.*|msvcp.*|ucrtbase.*|api-ms-win-crt-.*|vcruntime.*|crtdll|libgcc.*|libstdc\+\+.*)\.dll$",
                       re.IGNORECASE)

LANGUAGE_EN_US = 1033
IMAGE_SCN_MEM_WRITE = 0x80000000

MANIFEST_ID = 1
EXPECTED_SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}": "Windows Vista",
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "Windows 7",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "Windows 8",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "Windows 8.1",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "Windows 10 and 11",
}


class Report(list):
    """The failures of one check, each a message."""
    def check(self, condition, message):
        if not condition:
            self.append(message)

    def finish(self, what):
        for failure in self:
            print("FAIL: " + failure)
        print("%s: %s" % (what, "%d failure(s)" % len(self) if self else "ok"))
        return 1 if self else 0


def load(path):
    with open(path, "rb") as f:
        return peimage.PeImage(f.read())


# --- facts -----------------------------------------------------------------

def objdump_imports(objdump, exe):
    """The import table as objdump -p reads it: {DLL (upper case): {names}}.
    Each DLL's block runs from its name to the next blank line."""
    text = subprocess.run([objdump, "-p", exe], check=True, capture_output=True, text=True).stdout
    imports = {}
    for dll, block in re.findall(r"^\s*DLL Name:\s*(\S+)\n(.*?)(?:\n\s*\n|\Z)", text, re.MULTILINE | re.DOTALL):
        members = re.findall(r"^\s*[0-9a-f]+\s+\d+\s+(\S+)\s*$", block, re.MULTILINE)
        imports.setdefault(dll.upper(), set()).update(members)
    return imports


def check_facts(exe, objdump, kind="exe"):
    budget, subsystem, is_dll, allowed_imports, required_imports, exports = KINDS[kind]
    report = Report()
    size = os.path.getsize(exe)
    print("size: %d bytes (budget %d)" % (size, budget))
    report.check(size <= budget, "size %d bytes is over the budget of %d" % (size, budget))

    image = load(exe)
    print("machine 0x%04x, magic 0x%04x, subsystem %d, subsystem version %d.%d, OS version %d.%d"
          % ((image.machine, image.magic, image.subsystem) + image.subsystem_version + image.os_version))
    report.check(image.machine == peimage.IMAGE_FILE_MACHINE_I386,
                 "machine 0x%04x, expected i386 (0x014c)" % image.machine)
    report.check(image.subsystem == subsystem,
                 "subsystem %d, expected %s (%d)" % (image.subsystem, "the console" if subsystem == 3
                                                     else "Windows", subsystem))
    report.check(image.subsystem_version == (4, 0),
                 "subsystem version %d.%d, expected 4.0" % image.subsystem_version)
    report.check(image.os_version[0] <= 4, "OS version %d.%d, expected at most 4.x" % image.os_version)
    report.check(bool(image.characteristics & 0x2000) == is_dll,
                 "the image is %smarked as a DLL" % ("not " if is_dll else ""))
    found_exports = image.exports()
    print("exports: %s" % ", ".join(found_exports))
    report.check(found_exports == exports, "exports %r, expected %r" % (found_exports, exports))
    # Windows 95 and 98 load neither thread-local storage nor delayed imports.
    for index, name in ((9, "thread-local storage"), (13, "delay import")):
        rva, size_ = image.directory(index)
        report.check(rva == 0 and size_ == 0, "%s directory present (RVA 0x%x, %d bytes)" % (name, rva, size_))

    # The Windows 95/98 loader maps sections at 4 KiB pages and writes the
    # import address table in place: it refuses smaller alignments and cannot
    # bind imports in a read-only section.
    report.check(image.section_alignment == 0x1000,
                 "section alignment 0x%x, expected 0x1000" % image.section_alignment)
    report.check(image.file_alignment >= 0x200 and image.file_alignment & (image.file_alignment - 1) == 0,
                 "file alignment 0x%x, expected a power of two of at least 0x200" % image.file_alignment)
    iat_rva, iat_size = image.directory(12)
    if iat_rva:
        section = image.section_at(iat_rva)[0]
        report.check(image.section_flags[section] & IMAGE_SCN_MEM_WRITE,
                     "import address table in section %s, which is not writable (flags 0x%08x)"
                     % (section, image.section_flags[section]))

    found = {}
    for dll, names in image.imports():
        print("imports %s: %s" % (dll, ", ".join(sorted(names))))
        found.setdefault(dll.upper(), set()).update(names)
    print("import count: %d functions from %d DLLs" % (sum(len(names) for names in found.values()), len(found)))
    for dll, names in sorted(found.items()):
        report.check(not C_RUNTIME.match(dll), "imports the C runtime %s" % dll)
        allowed = allowed_imports.get(dll)
        if allowed is None:
            report.check(False, "imports from %s (%s), which is not allowed" % (dll, ", ".join(sorted(names))))
            continue
        ordinals = sorted(n for n in names if n.startswith("#"))
        report.check(not ordinals, "imports %s by ordinal: %s" % (dll, ", ".join(ordinals)))
        extra = sorted(names - allowed - set(ordinals))
        report.check(not extra, "imports from %s functions outside the allow-list: %s" % (dll, ", ".join(extra)))
    for dll, names in required_imports.items():
        missing = sorted(names - found.get(dll, set()))
        report.check(not missing, "does not import %s from %s" % (", ".join(missing), dll))

    if objdump:
        # A second, independent reading of the import table.
        theirs = objdump_imports(objdump, exe)
        report.check(theirs == found, "objdump reads the imports as %r, this parser as %r"
                     % (sorted((k, sorted(v)) for k, v in theirs.items()),
                        sorted((k, sorted(v)) for k, v in found.items())))
    return report.finish("PE facts")


# --- strings ---------------------------------------------------------------

def check_strings(exe, strings_inc):
    report, pe, source = Report(), os.path.basename(exe), os.path.basename(strings_inc)
    resources = load(exe).resources()
    languages = sorted({lang for (t, _, lang) in resources if t == peimage.RT_STRING})
    print("string table languages: %s" % languages)
    report.check(languages == [LANGUAGE_EN_US], "string table languages %s, expected only %d"
                 % (languages, LANGUAGE_EN_US))
    from_pe = peimage.string_table(resources, LANGUAGE_EN_US)
    # The resource holds UTF-16, one 16-bit unit for each byte of the source's texts.
    from_pe = {number: utf16.decode("utf-16-le", errors="replace") for number, utf16 in from_pe.items()}
    for number, text in sorted(from_pe.items()):
        print("  %2d: %r" % (number, text))
    with open(strings_inc, encoding="latin-1") as f:
        try:
            from_source = {number: text.decode("latin-1") for number, text in facts.string_table(f.read()).items()}
        except ValueError as error:
            from_source = {}
            report.check(False, "%s: %s" % (strings_inc, error))
    # Text by text, the PE file's against the source's.
    for number in sorted(set(from_source) | set(from_pe)):
        want, got = from_source.get(number), from_pe.get(number)
        report.check(got == want, "text %d: %s has %s, %s has %s" % (
            number, pe, "none" if got is None else repr(got), source, "none" if want is None else repr(want)))
    # The texts the guide documents, as the tests state them apart from the table.
    for name, documented in (("TEXT_MARKER_COMPLETE", facts.DOCUMENTED["complete"]),
                             ("TEXT_RESTART_ARGUMENT", facts.DOCUMENTED["relaunch_argument"]),
                             ("TEXT_RENAME_SECTION", facts.DOCUMENTED["rename_section"])):
        number = facts.TEXT_ROWS[name][0]
        report.check(from_pe.get(number) == documented, "text %d (%s): %s has %r, the guide documents %r"
                     % (number, name, pe, from_pe.get(number), documented))
    return report.finish("string table")


# --- manifest --------------------------------------------------------------

def local_name(tag):
    return tag.rsplit("}", 1)[-1]


def check_manifest(exe):
    report = Report()
    resources = load(exe).resources()
    manifests = {(name, lang): data for (t, name, lang), data in resources.items() if t == peimage.RT_MANIFEST}
    print("manifest resources (name, language): %s" % sorted(manifests))
    report.check([name for name, _ in manifests] == [MANIFEST_ID],
                 "manifest resources %s, expected exactly one, numbered %d" % (sorted(manifests), MANIFEST_ID))
    if not manifests:
        return report.finish("manifest")
    data = next(iter(manifests.values()))
    print(data.decode("utf-8", errors="replace"))
    try:
        root = ElementTree.fromstring(data)
    except ElementTree.ParseError as error:
        report.check(False, "manifest is not well-formed XML: %s" % error)
        return report.finish("manifest")

    report.check(root.tag == "{urn:schemas-microsoft-com:asm.v1}assembly",
                 "root element %s, expected assembly in urn:schemas-microsoft-com:asm.v1" % root.tag)
    levels = [e for e in root.iter() if local_name(e.tag) == "requestedExecutionLevel"]
    report.check(len(levels) == 1, "%d requestedExecutionLevel elements, expected 1" % len(levels))
    # Rows: the element, its attribute, the value it must have.
    for element, name, wanted in [(root, "manifestVersion", "1.0")] + [
            (level, key, value) for level in levels for key, value in (("level", "asInvoker"), ("uiAccess", "false"))]:
        report.check(element.get(name) == wanted, "%s %r, expected %r" % (name, element.get(name), wanted))
    # The execution level at its place, each element of the path one of its kind, in an asm namespace.
    path = ["trustInfo", "security", "requestedPrivileges", "requestedExecutionLevel"]
    node = root
    for step in path:
        children = [e for e in node if local_name(e.tag) == step]
        if len(children) != 1 or not children[0].tag.startswith("{urn:schemas-microsoft-com:asm.v"):
            report.check(False, "no single %s in an asm namespace under %s (path %s): %s"
                         % (step, local_name(node.tag), "/".join(path), [e.tag for e in children]))
            break
        node = children[0]

    supported = [e for e in root.iter("{urn:schemas-microsoft-com:compatibility.v1}supportedOS")]
    ids = [e.get("Id", "").lower() for e in supported]
    print("supportedOS: %s" % ", ".join(EXPECTED_SUPPORTED_OS.get(i, i) for i in ids))
    missing = sorted(EXPECTED_SUPPORTED_OS[i] for i in set(EXPECTED_SUPPORTED_OS) - set(ids))
    unknown = sorted(set(ids) - set(EXPECTED_SUPPORTED_OS))
    report.check(not missing, "supportedOS missing for %s" % ", ".join(missing))
    report.check(not unknown, "unknown supportedOS ids %s" % unknown)
    report.check(len(ids) == len(set(ids)), "supportedOS ids repeated: %s" % ids)
    for element in supported:
        parents = [p for p in root.iter() if element in list(p)]
        report.check(parents and local_name(parents[0].tag) == "application",
                     "supportedOS %s is not inside compatibility/application" % element.get("Id"))
    return report.finish("manifest")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)
    for command, arguments in (("facts", ["--objdump"]), ("dll", ["--objdump"]), ("strings", ["strings_inc"]),
                               ("manifest", [])):
        command_parser = sub.add_parser(command)
        for argument in ["exe"] + arguments:
            command_parser.add_argument(argument)
    args = parser.parse_args(argv)
    try:
        if args.command == "strings":
            return check_strings(args.exe, args.strings_inc)
        if args.command == "manifest":
            return check_manifest(args.exe)
        return check_facts(args.exe, args.objdump, "exe" if args.command == "facts" else "dll")
    except (peimage.PeError, OSError) as error:
        print("FAIL: %s: %s" % (args.exe, error))
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
