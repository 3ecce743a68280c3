#!/usr/bin/env python3
"""Benchmark: the whole-process wall time of a same-version run of
halunupd.exe under Wine against a program that does nothing under Wine, as a
ratio over repeated runs, and the size of halunupd.exe.

    python3 bench/bench.py [--exe build/win/halunupd.exe] [--exe64 build/win64/halunupd.exe]
                           [--runs 30] [--family winxp]

Both programs run on the same machine of the lab layer (tests/e2e/lab), in
one session, alternately, so that Wine's start-up cost is common to both; the
staged copies the same-version run deletes are put back between runs,
outside the timing. Where this host cannot run 32-bit Wine, the x86_64 build
runs in a 64-bit prefix instead of the shipped i686 build; the report says
which.
"""

import argparse
import os
import statistics
import sys

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import lab  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--exe", default=os.path.join(ROOT, "build", "win", "halunupd.exe"))
    parser.add_argument("--exe64", default=os.path.join(ROOT, "build", "win64", "halunupd.exe"))
    parser.add_argument("--runs", type=int, default=30)
    parser.add_argument("--family", default="winxp", choices=sorted(lab.facts.FAMILIES))
    args = parser.parse_args()
    try:
        target = lab.target(args.family, args.exe, args.exe64)
    except lab.Unavailable as error:
        sys.exit("bench: cannot run under Wine: %s" % error)
    nothing = os.path.join(target.fixtures, "nothing.exe")
    if not os.path.exists(nothing):
        sys.exit("missing %s: build the Windows build first" % nothing)
    timings = {"halunupd.exe": [], "nothing.exe": []}
    with lab.Machine(target, os.path.join(os.path.dirname(target.exe), "e2e-cache"), "halunupd-bench") as m:
        m.set_version("nothing.exe", target.family["wine_version"])
        m.set_marker("installing")
        m.put("C:\\bench\\halunupd.exe", target.exe)
        m.put("C:\\bench\\nothing.exe", nothing)
        for run in range(args.runs + 1):  # the first round warms the caches
            m.place(installed=("v450", "a"), staged=("v450b", "b"))
            for name, expected in (("halunupd.exe", 2), ("nothing.exe", 0)):
                status, elapsed, _ = m.run(["C:\\bench\\" + name])
                if status != expected:
                    sys.exit("%s exited %d, expected %d" % (name, status, expected))
                if run > 0:
                    timings[name].append(elapsed)

    tool, idle = timings["halunupd.exe"], timings["nothing.exe"]
    ratios = sorted(t / n for t, n in zip(tool, idle))
    print("ran %s" % target.described)
    print("runs: %d each, alternating, Windows version %s" % (args.runs, target.family["wine_version"]))
    for name, values in timings.items():
        print("%-13s median %.1f ms, min %.1f ms, max %.1f ms"
              % (name, 1000 * statistics.median(values), 1000 * min(values), 1000 * max(values)))
    print("wall-time ratio halunupd.exe / nothing.exe: %.2f (median of medians), %.2f (median of paired ratios)"
          % (statistics.median(tool) / statistics.median(idle), statistics.median(ratios)))
    shipped = os.path.abspath(args.exe)
    print("PE size: shipped halunupd.exe %d bytes (%.1f KiB); the build run %d bytes; nothing.exe %d bytes"
          % (os.path.getsize(shipped), os.path.getsize(shipped) / 1024, os.path.getsize(target.exe),
             os.path.getsize(nothing)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
