#!/usr/bin/env python3
"""Shows one run of the built halunupd.exe under Wine, in a throwaway prefix,
and prints what happened. Called by scripts/demo.sh.

    demo.py --exe build/win/halunupd.exe --exe64 build/win64/halunupd.exe
            [typical | old-version-98 | locked-library]

It runs the build this host can run under Wine (winehost.pick_build): the
shipped i686 build in a 32-bit prefix, else the x86_64 build in a 64-bit one.
"""

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import winehost  # noqa: E402

SYS = winehost.SYSTEM_DIR
TOOL = "C:\\setup\\halunupd.exe"
MARKER_KEY = "HKLM\\Software\\Morvane of Brastow\\Morvane Lumetra 4.5"
SESSION_KEY = "HKLM\\System\\CurrentControlSet\\Control\\Session Manager"
FILES = ["halunexe.exe", "halundll.dll", "halunexe.ex$", "halundll.dl$"]
COURSES = {0: "nothing staged (only recorded that it ran)",
           1: "fresh install (copied both files into place, started the executable)",
           2: "same version (removed the staged copies)",
           3: "replacement (notified running copies, replaced both files, restarted)",
           4: "restart needed (replacement scheduled for the next restart)",
           255: "running copies could not be listed (-1; nothing replaced)"}

EXAMPLES = {
    "typical": dict(
        title="Windows XP, 4.50 installed, 4.60 staged, the resident running",
        version="winxp", installed=("v450", "a"), staged=("v460", "b"), resident=True),
    "old-version-98": dict(
        title="Windows 98, 4.4 installed (below the minimum 4.42), 4.60 staged; then a restart",
        version="win98", installed=("v44", "a"), staged=("v460", "b"), restart=True),
    "locked-library": dict(
        title="Windows XP, 4.50 installed, 4.60 staged, the library held open throughout; "
              "then a restart",
        version="winxp", installed=("v450", "a"), staged=("v460", "b"), hold_library=True,
        restart=True),
}


def describe(data):
    """A file's identity: the stand-in's FileVersion or library variant."""
    if data is None:
        return "(absent)"
    key = "FileVersion".encode("utf-16-le") + b"\0\0"
    at = data.find(key)
    if at >= 0:
        at += len(key)
        while data[at:at + 2] == b"\0\0":
            at += 2
        end = at
        while data[end:end + 2] != b"\0\0":
            end += 2
        return "executable, FileVersion %r, %d bytes" % (data[at:end].decode("utf-16-le"), len(data))
    at = data.find(b"halundll variant ")
    if at >= 0:
        return "library variant %s, %d bytes" % (chr(data[at + 17]), len(data))
    return "executable without a version resource, %d bytes" % len(data)


def show_files(prefix, heading):
    print(heading)
    for name in FILES:
        print("    %-14s %s" % (name, describe(prefix.read(SYS + "\\" + name))))


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--exe", help="the shipped i686 build")
    parser.add_argument("--exe64", help="its x86_64 build")
    parser.add_argument("example", nargs="?", default="typical", choices=sorted(EXAMPLES))
    args = parser.parse_args()
    try:
        _, exe, fixtures, described = winehost.pick_build(args.exe, args.exe64)
    except winehost.WineUnavailable as error:
        print("demo: cannot run under Wine: %s" % error, file=sys.stderr)
        return 1
    example = EXAMPLES[args.example]

    print("== halunupd demo: %s\n   %s\n   Running %s\n"
          % (args.example, example["title"], described))
    base = winehost.base_prefix(os.path.join(os.path.dirname(exe), "e2e-cache"),
                                log=lambda text: print("   (%s, once, about 15 s)" % text))
    prefix = winehost.Prefix.fresh(base, "halunupd-demo")
    try:
        prefix.set_version("halunupd.exe", example["version"])
        prefix.add_key(MARKER_KEY, {"Vastel": "installing"})
        for (exe_variant, lib_variant), suffix in ((example["installed"], (".exe", ".dll")),
                                                   (example["staged"], (".ex$", ".dl$"))):
            prefix.put(SYS + "\\halunexe" + suffix[0],
                       os.path.join(fixtures, "halunexe-%s.exe" % exe_variant))
            prefix.put(SYS + "\\halundll" + suffix[1],
                       os.path.join(fixtures, "halundll-%s.dll" % lib_variant))
        prefix.put(TOOL, exe)
        prefix.boot()
        print("Windows version reported to halunupd.exe: %s" % example["version"])
        print("Marker before: %s\\Vastel = %r" % (MARKER_KEY, "installing"))
        show_files(prefix, "Files in %s before:" % SYS)

        log_path = SYS + "\\halunstub.log"
        log = lambda: (prefix.read(log_path) or b"").decode("latin-1").splitlines()  # noqa: E731
        if example.get("resident"):
            try:
                prefix.start_until([SYS + "\\halunexe.exe"],
                                   ready=lambda: any(line.endswith(" ready") for line in log()),
                                   begun=log)
            except winehost.NotReady as error:
                print("demo: the resident did not start: %s" % error, file=sys.stderr)
                return 1
            print("Resident running: %s" % log()[0].split(" ", 1)[1])
        if example.get("hold_library"):
            prefix.put("C:\\setup\\holder.exe", os.path.join(fixtures, "holder.exe"))
            holder = prefix.start(["C:\\setup\\holder.exe", SYS + "\\halundll.dll", "30000"])
            print("Library held open (no delete sharing) by holder.exe: %s"
                  % prefix.first_line(holder, 30))

        print("\nRunning %s ..." % TOOL)
        started = time.monotonic()
        result = prefix.run([TOOL], timeout=120)
        elapsed = time.monotonic() - started
        status = result.returncode
        shown = "-1 (shown as 255 by Wine)" if status == 255 else str(status)
        print("Exit status %s after %.1f s: %s\n" % (shown, elapsed, COURSES.get(status, "?")))
        winehost.wait_for(lambda: any("/init" in line for line in log()), 5 if status in (1, 3) else 0)

        show_files(prefix, "Files after:")
        entries = [line.split(" ", 1) for line in log() if " " in line]
        notices = ["process %s: %s" % (pid, event) for pid, event in entries
                   if event.startswith("notice") or event == "exit notice"]
        relaunches = ["process %s: %s" % (pid, event[len("start "):]) for pid, event in entries
                      if event.startswith("start ") and "/init" in event]
        print("Notice (WM_USER+2 to the HALUNSHOW_STUB window): %s"
              % ("; ".join(notices) or "none received"))
        print("Relaunch: %s" % ("; ".join(relaunches) or "none"))
        wininit = prefix.read("C:\\windows\\wininit.ini")
        if wininit is not None:
            print("C:\\windows\\wininit.ini:")
            for line in wininit.decode("latin-1").split("\r\n"):
                print("    %r" % line)
        pending = prefix.reg_value(SESSION_KEY, "PendingFileRenameOperations")  # stops Wine
        if pending is not None:
            print("PendingFileRenameOperations:")
            for text in pending[1]:
                print("    %s" % text)
        marker = prefix.reg_value(MARKER_KEY, "Vastel")
        print("Marker after: %s\\Vastel = %r" % (MARKER_KEY, marker[1] if marker else None))

        if example.get("restart"):
            print("\nRestarting (wine wineboot -r performs the scheduled replacement) ...")
            prefix.restart()
            show_files(prefix, "Files after the restart:")
    finally:
        prefix.close()
    print("\nThe throwaway prefix was removed.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
