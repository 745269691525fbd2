#!/usr/bin/python3
"""The launcher against its floor, on a desktop of its own: one table.

Run by hand, never as a test (bench/run builds first, then runs this):

    bench/run                      5 rounds, 60 s of idle per round
    bench/run --rounds 3 --idle 5  a quick look

It drives the real built launcher as a desktop session would have it, on the
desktop tests' own session (tests/desktop/desktop.py: its own Xvfb, its own
session bus, the accessibility bus and its registry up), with a tray host
stand-in (bench/tray_host.py) and the exec stamp as the default
browser. The launcher runs from the session's bundle, in which a scripted
server, linked statically (bench/fake_server.cc), stands in the server's place.

Each figure is taken side by side with its floor in the same round, in
alternating order, over several rounds, and shown as median (min–max).
"Met?" judges the median, but the worst round for what must never happen
(wake-ups at idle, memory growing with the flood):

  Drain       the fake server writes 1 GiB of 100-byte lines in 65,500-byte
              writes; its own write rate (between two "mark" steps) while the
              launcher reads, against the same writer into `cat > /dev/null`.
              Also the launcher's peak resident memory during the flood
              (VmHWM, reset just before through /proc/PID/clear_refs) against
              its resident memory just before (VmRSS).
  Idle        over --idle seconds with a quiet server: CPU time (utime+stime
              of /proc/PID/stat, in whole ticks; and the threads' on-CPU
              time from schedstat, exact) and context switches (summed over
              /proc/PID/task/*/status), against the floor program.
  Memory      RSS and PSS (/proc/PID/smaps_rollup) once started (tray up,
              port not yet announced), and after one open and the idle
              window; against the floor program (bench/floor.cc: a
              GApplication that holds itself and owns one bus name).
  Start-up    exec (bench_stamp takes the time and execs) to the server's
              first step (a "mark"); the floor: exec to owning its name.
  Quit        the tray menu's quit clicked, to the launcher's exit, and from
              the server's exit to the launcher's (both as their pidfds tell,
              watched by bench_exit_watch); the floor: its "quit" action
              called on the bus, to its exit.
  Port→open   the server's "mark" just before it prints its port, to the
              recorder browser's stamp, the tray's "open" clicked once a
              millisecond until the launcher acts on a click; the floor: one
              click in a launcher that has known its port for a while (its
              first open too), to the browser's stamp: the hand-off alone.
  XEmbed      the launcher in trayer, with no StatusNotifierItem watcher on
              the bus: its peak resident memory (VmHWM) from its start until
              its menu is first opened, against its RSS on the tray host
              stand-in's desktop ("started, tray up") in the same round; and
              an XTest click on the docked icon to the menu's window mapped
              on the screen, the first (the GTK module loaded and GTK
              started meanwhile) and a second (right button).

The table goes to standard output, ready for docs/benchmarks.md, under a line that
names the machine and its load average during the run (a shared machine's
other work shows in every figure; --nice runs the whole desktop ahead of it).
Progress and the detail (where the memory goes, by mapping; threads; the
launcher's CPU time while it drains) go to standard error.

Other options: --launcher PATH measures another build of the launcher (a
scratch copy with a change to try); --launcher-env NAME=VALUE sets a variable
for the launcher alone (MALLOC_ARENA_MAX=1, say); --skip drain|session.
"""

import argparse
import os

from bench_desktop import BenchDesktop, log
from machine import load_average, machine
from report import detail, table
from runs import Results, drain_cat, drain_round, session_round
from units import GIB, MB
from xembed_round import xembed_round

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build-bench"))
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--idle", type=float, default=60.0, help="seconds of the idle window (default 60)")
    parser.add_argument("--flood", type=int, default=GIB, help="bytes the fake server writes (default 1 GiB)")
    parser.add_argument("--launcher", help="another build of the launcher (default: the build dir's)")
    parser.add_argument("--launcher-env", action="append", default=[], metavar="NAME=VALUE",
                        help="a variable for the launcher alone (not the floor)")
    parser.add_argument("--skip", action="append", default=[], choices=["drain", "session", "xembed"])
    parser.add_argument("--nice", type=int, default=0,
                        help="run the desktop and all in it at this niceness (negative: ahead of the rest "
                             "of a shared machine; needs root)")
    parser.add_argument("--keep", action="store_true", help="keep the temporary directory")
    args = parser.parse_args()
    args.build_dir = os.path.abspath(args.build_dir)  # the bundle links into it
    if args.nice:
        os.setpriority(os.PRIO_PROCESS, 0, args.nice)

    launcher = os.path.abspath(args.launcher or os.path.join(args.build_dir, "bin", "quillary"))
    server = os.path.join(args.build_dir, "bench", "bench_fake_server")
    launcher_env = [entry.split("=", 1) for entry in args.launcher_env]
    desktop = BenchDesktop(args.build_dir, launcher, server, launcher_env)
    results = Results()
    loads = []
    try:
        log(f"desktop: {desktop.dir}, display {desktop.display}, accessibility bus {desktop.a11y_address}")
        # One of each first, not counted: caches warm, files in memory.
        warm = Results()
        session_round(desktop, warm, True, 0.1, False)
        drain_cat(desktop, warm, min(args.flood, 64 * MB), False)
        for r in range(args.rounds):
            loads.append(load_average())
            launcher_first = r % 2 == 0
            if "drain" not in args.skip:
                drain_round(desktop, results, args.flood, launcher_first)
            if "session" not in args.skip:
                session_round(desktop, results, launcher_first, args.idle, r == args.rounds - 1)
            if "xembed" not in args.skip:
                xembed_round(desktop, results)
            log(f"round {r + 1}/{args.rounds} done")
        loads.append(load_average())
    finally:
        desktop.close(args.keep)
    print(machine(args, loads))
    print()
    print(table(results, args))
    for line in detail(results):
        log(line)


if __name__ == "__main__":
    main()
