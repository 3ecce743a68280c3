#!/usr/bin/env python3
"""Benchmark: the whole-process wall time of a same-version run of
halunupd.exe under Wine against a program that does nothing under Wine, as a
ratio over repeated runs, and the size of halunupd.exe.

    python3 bench/bench.py [--exe build/win/halunupd.exe] [--exe64 build/win64/halunupd.exe]
                           [--runs 30]

Both programs run in the same prefix and session (one wineserver kept
running), alternately, so that Wine's start-up cost is common to both; the
staged copies the same-version run deletes are put back between runs,
outside the timing. Needs the Windows builds (which build the fixtures,
nothing.exe among them). Where this host cannot run 32-bit Wine, the x86_64
build runs in a 64-bit prefix instead of the shipped i686 build; the report
says which.
"""

import argparse
import os
import statistics
import sys
import time

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import winehost  # noqa: E402

SYS = winehost.SYSTEM_DIR


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--exe", default=os.path.join(ROOT, "build", "win", "halunupd.exe"))
    parser.add_argument("--exe64", default=os.path.join(ROOT, "build", "win64", "halunupd.exe"))
    parser.add_argument("--runs", type=int, default=30)
    parser.add_argument("--version", default="winxp", help="Windows version Wine reports")
    args = parser.parse_args()
    try:
        _, exe, fixtures, described = winehost.pick_build(args.exe, args.exe64)
    except winehost.WineUnavailable as error:
        sys.exit("bench: cannot run under Wine: %s" % error)
    shipped = os.path.abspath(args.exe)
    nothing = os.path.join(fixtures, "nothing.exe")
    for path in (exe, nothing):
        if not os.path.exists(path):
            sys.exit("missing %s: build the Windows build first" % path)

    base = winehost.base_prefix(os.path.join(os.path.dirname(exe), "e2e-cache"))
    prefix = winehost.Prefix.fresh(base, "halunupd-bench")
    timings = {"halunupd.exe": [], "nothing.exe": []}
    try:
        prefix.set_version("halunupd.exe", args.version)
        prefix.set_version("nothing.exe", args.version)
        prefix.add_key("HKLM\\Software\\Morvane of Brastow\\Morvane Lumetra 4.5",
                       {"Vastel": "installing"})
        prefix.put(SYS + "\\halunexe.exe", os.path.join(fixtures, "halunexe-v450.exe"))
        prefix.put(SYS + "\\halundll.dll", os.path.join(fixtures, "halundll-a.dll"))
        prefix.put("C:\\bench\\halunupd.exe", exe)
        prefix.put("C:\\bench\\nothing.exe", nothing)
        prefix.boot()
        for run in range(args.runs + 1):  # the first round warms the caches
            prefix.put(SYS + "\\halunexe.ex$", os.path.join(fixtures, "halunexe-v450b.exe"))
            prefix.put(SYS + "\\halundll.dl$", os.path.join(fixtures, "halundll-b.dll"))
            for name, expected in (("halunupd.exe", 2), ("nothing.exe", 0)):
                started = time.perf_counter()
                result = prefix.run(["C:\\bench\\" + name], timeout=60)
                elapsed = time.perf_counter() - started
                if result.returncode != expected:
                    sys.exit("%s exited %d, expected %d" % (name, result.returncode, expected))
                if run > 0:
                    timings[name].append(elapsed)
    finally:
        prefix.close()

    tool, idle = timings["halunupd.exe"], timings["nothing.exe"]
    ratios = sorted(t / n for t, n in zip(tool, idle))
    print("ran %s" % described)
    print("runs: %d each, alternating, Windows version %s" % (args.runs, args.version))
    for name, values in timings.items():
        print("%-13s median %.1f ms, min %.1f ms, max %.1f ms"
              % (name, 1000 * statistics.median(values), 1000 * min(values), 1000 * max(values)))
    print("wall-time ratio halunupd.exe / nothing.exe: %.2f (median of medians), "
          "%.2f (median of paired ratios)"
          % (statistics.median(tool) / statistics.median(idle), statistics.median(ratios)))
    print("PE size: shipped halunupd.exe %d bytes (%.1f KiB); the build run %d bytes;"
          " nothing.exe %d bytes"
          % (os.path.getsize(shipped), os.path.getsize(shipped) / 1024, os.path.getsize(exe),
             os.path.getsize(nothing)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
