#!/usr/bin/env python3
"""Shows one run of the built halunupd.exe under Wine, on a throwaway machine
of the lab layer (tests/e2e/lab), and prints what happened. Called by
scripts/demo.sh.

    demo.py --exe build/win/halunupd.exe --exe64 build/win64/halunupd.exe
            [typical | old-version-98 | locked-library]
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import lab  # noqa: E402
from lab import facts  # noqa: E402

EXAMPLES = {
    "typical": dict(title="Windows XP, 4.50 installed, 4.60 staged, the resident running",
                    family="winxp", resident=True),
    "old-version-98": dict(title="Windows 98, 4.4 installed (below the minimum 4.42), 4.60 staged; then a restart",
                           family="win98", installed=("v44", "a"), restart=True),
    "locked-library": dict(title="Windows XP, 4.50 installed, 4.60 staged, the library held open throughout; "
                                 "then a restart", family="winxp", hold_library=True, restart=True),
}


def show_files(machine, snapshot, heading):
    print(heading)
    for name in (facts.MANAGED[key] for key in ("installed_exe", "installed_lib", "staged_exe", "staged_lib")):
        file = snapshot.files[name]
        fixture = machine.identify(file) or ""
        what = ("(absent)" if file is None else "executable, FileVersion %r" % file.version if file.version
                else "library variant %s" % fixture[-5] if fixture.startswith("halundll-")
                else "executable without a version resource")
        print("    %-14s %s%s" % (name, what, ", %d bytes" % file.size if file else ""))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--exe", help="the shipped i686 build")
    parser.add_argument("--exe64", help="its x86_64 build")
    parser.add_argument("example", nargs="?", default="typical", choices=sorted(EXAMPLES))
    args = parser.parse_args()
    example = EXAMPLES[args.example]
    try:
        target = lab.target(example["family"], args.exe, args.exe64)
    except lab.Unavailable as error:
        print("demo: cannot run under Wine: %s" % error, file=sys.stderr)
        return 1
    print("== halunupd demo: %s\n   %s\n   Running %s\n" % (args.example, example["title"], target.described))
    with lab.Machine(target, os.path.join(os.path.dirname(target.exe), "e2e-cache"), "halunupd-demo",
                     log=lambda text: print("   (%s)" % text)) as m:
        m.place(installed=example.get("installed", ("v450", "a")), staged=("v460", "b"))
        m.set_marker("installing")
        print("Windows version reported to halunupd.exe: %s" % target.family["wine_version"])
        print("Marker before: %s\\%s = %r" % (facts.MARKER_KEY, facts.MARKER_VALUE, "installing"))
        show_files(m, m.snapshot(), "Files in %s before:" % m.sys)
        if example.get("resident"):
            m.start_resident()
            print("Resident running: %s" % m.snapshot().texts()[0])
        if example.get("hold_library"):
            m.hold(m.where("installed_lib"), 30000)
            print("Library held open (no delete sharing) by holder.exe")

        print("\nRunning %s ..." % m.tool)
        status, elapsed, _ = m.run([m.tool], timeout=120)
        # Wine reports the exit code's low byte: -1 as 255.
        signed = status - 256 if status >= 128 else status
        row = facts.STATUS.get(signed, {"meaning": "not an exit status of the tool", "starts": False})
        shown = "%d (shown as %d by Wine)" % (signed, status) if signed != status else str(status)
        print("Exit status %s after %.1f s: %s\n" % (shown, elapsed, row["meaning"]))
        after = m.snapshot(facts.DOCUMENTED["relaunch_argument"] if row["starts"] else None, 5)
        show_files(m, after, "Files after:")
        events = ["process %d: %s" % event for event in after.events
                  if event[1].startswith("notice") or event[1] == "exit notice"]
        relaunches = ["process %d: %s" % (pid, text[6:]) for pid, text in after.events
                      if text.startswith("start ") and text.endswith(facts.DOCUMENTED["relaunch_argument"])]
        print("Notice (%s to the %s window): %s" % (facts.NOTICE_MESSAGE.replace(" ", ""), facts.STUB_WINDOW_CLASS,
                                                    "; ".join(events) or "none received"))
        print("Relaunch: %s" % ("; ".join(relaunches) or "none"))
        if after.wininit is not None:
            print("C:\\windows\\wininit.ini:")
            for line in after.wininit.decode("latin-1").split("\r\n"):
                print("    %r" % line)
        if after.pending:
            print("PendingFileRenameOperations:\n    " + "\n    ".join(after.pending))
        print("Marker after: %s\\%s = %r" % (facts.MARKER_KEY, facts.MARKER_VALUE, after.marker))
        if example.get("restart"):
            print("\nRestarting (wine wineboot -r performs the scheduled replacement) ...")
            m.restart()
            show_files(m, m.snapshot(), "Files after the restart:")
    print("\nThe throwaway prefix was removed.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
