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

The table goes to standard output, ready for the README, under a line that
names the machine and its load average during the run (a shared machine's
other work shows in every figure; --nice runs the whole desktop ahead of it).
Progress and the detail (where the memory goes, by mapping; threads; the
launcher's CPU time while it drains) go to standard error.

Other options: --launcher PATH measures another build of the launcher (a
scratch copy with a change to try); --launcher-env NAME=VALUE sets a variable
for the launcher alone (MALLOC_ARENA_MAX=1, say); --skip drain|session.
"""

import argparse
import ctypes
import os
import platform
import re
import statistics
import subprocess
import time

from bench_desktop import BenchDesktop, log
from runs import Results, drain_cat, drain_launcher, session_round
from units import GIB, KB, MB

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


# ---------------------------------------------------------------- the table

def median(values):
    return statistics.median(values)


def spread(values, scale, digits):
    low, high = min(values) / scale, max(values) / scale
    return f"{low:.{digits}f}–{high:.{digits}f}"


def figure(values, scale, unit, digits):
    if not values:
        return "—"
    return f"{median(values) / scale:.{digits}f} {unit} ({spread(values, scale, digits)})".replace("  ", " ")


def paired_ratios(a, b):
    return [x / y for x, y in zip(a, b) if y]


def ratio_cell(ratios, digits=2):
    if not ratios:
        return "—"
    return f"{median(ratios):.{digits}f} ({min(ratios):.{digits}f}–{max(ratios):.{digits}f})"


def met(condition):
    return "yes" if condition else "**no**"


def table(results, args):
    v = results.values
    rows = []
    flood_gib = args.flood / GIB
    size = f"{flood_gib:g} GiB" if flood_gib >= 1 else f"{args.flood / MB:g} MiB"

    for key, label in (("drain", "port not announced"), ("drain.port", "port announced")):
        if f"{key}.launcher" not in v:
            continue
        ratios = paired_ratios(v[f"{key}.launcher"], v[f"{key}.floor"])
        rows.append((f"Drain ({label}): writer's rate, {size} of 100-byte lines",
                     figure(v[f"{key}.launcher"], 1e9, "GB/s", 2), figure(v[f"{key}.floor"], 1e9, "GB/s", 2) +
                     " into `cat`", ratio_cell(ratios), "≥ 0.9", met(median(ratios) >= 0.9)))
        growth = [p - i for p, i in zip(v[f"{key}.peak_rss"], v[f"{key}.idle_rss"])]
        rows.append((f"Drain ({label}): peak RSS during the flood (VmHWM)",
                     figure(v[f"{key}.peak_rss"], MB, "MiB", 1), figure(v[f"{key}.idle_rss"], MB, "MiB", 1) +
                     " idle, before", f"+{median(growth) / MB:.2f} MiB (max +{max(growth) / MB:.2f})",
                     "≤ idle + 4 MB", met(max(growth) <= 4e6)))

    if "idle.cpu.launcher" in v:
        rows += session_rows(v, args)

    lines = ["| Figure | Launcher | Floor | Ratio | Target | Met? |", "|---|---|---|---|---|---|"]
    for row in rows:
        lines.append("| " + " | ".join(row) + " |")
    return "\n".join(lines)


def session_rows(v, args):
    rows = []
    idle = f"{args.idle:g} s"
    cpu_l, cpu_f = v["idle.cpu.launcher"], v["idle.cpu.floor"]
    run_l, run_f = v["idle.run.launcher"], v["idle.run.floor"]
    def cpu_cell(cpu, run):
        return (f"{median(cpu) / 1e6:.0f} ms (max {max(cpu) / 1e6:.0f}); "
                f"on-CPU {median(run) / 1e6:.3f} ms (max {max(run) / 1e6:.3f})")

    # utime+stime counts whole ticks and may take in a tick spent earlier
    # (see idle_window); the on-CPU time is exact.
    rows.append((f"Idle {idle}: CPU time, utime+stime; on-CPU time from schedstat",
                 cpu_cell(cpu_l, run_l), cpu_cell(cpu_f, run_f), "—", "≤ 10 ms",
                 met(median(cpu_l) <= 10e6 and max(run_l) <= 10e6)))
    sw_l, sw_f = v["idle.switches.launcher"], v["idle.switches.floor"]
    rows.append((f"Idle {idle}: context switches, all threads",
                 figure(sw_l, 1, "", 0), figure(sw_f, 1, "", 0), "—", "0 (no periodic wake-up)",
                 met(max(sw_l) <= 2)))

    for when, label in (("start", "started, tray up"), ("idle", "after one open and the idle window")):
        rss_l, rss_f = v[f"rss.{when}.launcher"], v[f"rss.{when}.floor"]
        ratio = median(rss_l) / median(rss_f)
        rows.append((f"Memory ({label}): RSS", figure(rss_l, MB, "MiB", 2), figure(rss_f, MB, "MiB", 2),
                     f"{ratio:.2f}", "≤ 1.5× floor", met(ratio <= 1.5)))
        pss_l, pss_f = v[f"pss.{when}.launcher"], v[f"pss.{when}.floor"]
        rows.append((f"Memory ({label}): PSS", figure(pss_l, MB, "MiB", 2), figure(pss_f, MB, "MiB", 2),
                     f"{median(pss_l) / median(pss_f):.2f}", "(reported)", "—"))

    start_l, start_f = v["startup.launcher"], v["startup.floor"]
    ratio = median(start_l) / median(start_f)
    rows.append(("Start-up: exec → server's first step (floor: exec → its bus name owned)",
                 figure(start_l, 1e6, "ms", 2), figure(start_f, 1e6, "ms", 2), f"{ratio:.2f}",
                 "≤ 1.5× floor and < 20 ms", met(ratio <= 1.5 and median(start_l) < 20e6)))

    rows.append(("Quit: tray click → launcher's exit (floor: quit action called → exit)",
                 figure(v["quit.launcher"], 1e6, "ms", 2), figure(v["quit.floor"], 1e6, "ms", 2),
                 f"{median(v['quit.launcher']) / median(v['quit.floor']):.2f}", "(reported)", "—"))
    rows.append(("Quit: server's exit → launcher's exit", figure(v["quit.after_server"], 1e6, "ms", 2), "—", "—",
                 "≤ 10 ms", met(median(v["quit.after_server"]) <= 10e6)))

    rows.append(("Port → open: server announces → browser reached, tray clicked once a ms "
                 "(floor: one click → browser, port known)",
                 figure(v["open.launcher"], 1e6, "ms", 2), figure(v["open.floor"], 1e6, "ms", 2),
                 f"{median(v['open.launcher']) / median(v['open.floor']):.2f}", "(reported)", "—"))
    return rows


def machine(args):
    model = "?"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        total = int(f.readline().split()[1]) * KB
    glibc = os.confstr("CS_GNU_LIBC_VERSION") or "?"
    glib = glib_version()
    compiler, build_type = "?", "?"
    try:
        with open(os.path.join(args.build_dir, "CMakeCache.txt")) as f:
            cache = f.read()
        build_type = re.search(r"^CMAKE_BUILD_TYPE:\w+=(.*)$", cache, re.M).group(1) or "none"
        cxx = re.search(r"^CMAKE_CXX_COMPILER:\w+=(.*)$", cache, re.M).group(1)
        compiler = subprocess.run([cxx, "-dumpfullversion"], capture_output=True, text=True).stdout.strip()
        compiler = f"{os.path.basename(cxx)} {compiler}"
    except (OSError, AttributeError):
        pass
    loads = "–".join(f"{load:.1f}" for load in (min(LOADS), max(LOADS))) if LOADS else "?"
    return (f"Machine: {model}, {os.cpu_count()} cores, Linux {platform.release()}, "
            f"{total / GIB:.1f} GiB RAM, {glibc}, GLib {glib}; {compiler}, {build_type}; "
            f"{args.rounds} rounds, idle window {args.idle:g} s; load average (1 min) during the run {loads}"
            + (f"; run at nice {args.nice}" if args.nice else "") + ".")


def glib_version():
    """The version of the GLib that programs load here (not the one the
    Python bindings were built with)."""
    try:
        library = ctypes.CDLL("libglib-2.0.so.0")
        return ".".join(str(ctypes.c_uint.in_dll(library, f"glib_{part}_version").value)
                        for part in ("major", "minor", "micro"))
    except (OSError, ValueError):
        return "?"


# The machine may be shared: its load is noted with the results.
LOADS = []


def note_load():
    with open("/proc/loadavg") as f:
        LOADS.append(float(f.read().split()[0]))


def print_detail(results):
    d = results.detail
    if "smaps.launcher" in d:
        log("\nWhere the memory goes at idle (kB, last round):")
        launcher, floor = d["smaps.launcher"], d["smaps.floor"]
        kinds = sorted(set(launcher) | set(floor),
                       key=lambda k: -(launcher.get(k, {"Rss": 0})["Rss"] - floor.get(k, {"Rss": 0})["Rss"]))
        log(f"  {'mapping':<40} {'launcher Rss':>12} {'Pss':>7} {'floor Rss':>10} {'Pss':>7} {'Δ Rss':>7}")
        totals = [0, 0, 0, 0]
        same = [0, 0, 0, 0]
        for kind in kinds:
            a = launcher.get(kind, {"Rss": 0, "Pss": 0, "count": 0})
            b = floor.get(kind, {"Rss": 0, "Pss": 0, "count": 0})
            row = [a["Rss"], a["Pss"], b["Rss"], b["Pss"]]
            totals = [t + x for t, x in zip(totals, row)]
            if a["Rss"] == b["Rss"]:
                same = [t + x for t, x in zip(same, row)]
                continue
            counted = kind in ("thread stacks", "malloc arenas of threads")
            name = kind + (f" ({a['count']} mappings)" if counted else "")
            log(f"  {name:<40} {a['Rss']:>12} {a['Pss']:>7} {b['Rss']:>10} {b['Pss']:>7} {a['Rss'] - b['Rss']:>+7}")
        log(f"  {'the rest (the same Rss in both)':<40} {same[0]:>12} {same[1]:>7} {same[2]:>10} {same[3]:>7} "
            f"{0:>+7}")
        log(f"  {'total':<40} {totals[0]:>12} {totals[1]:>7} {totals[2]:>10} {totals[3]:>7} "
            f"{totals[0] - totals[2]:>+7}")
        log(f"  threads: launcher {d['threads.launcher']}, floor {d['threads.floor']}")
    v = results.values
    for key in ("drain", "drain.port"):
        if f"{key}.cpu" in v:
            log(f"Launcher's CPU while it drained ({key}): median {median(v[key + '.cpu']) / 1e6:.0f} ms; "
                f"sampled peak VmRSS {median(v[key + '.sampled_rss']) / MB:.2f} MiB")
    if "quit.server" in v:
        log(f"Quit: click → server's exit {figure(v['quit.server'], 1e6, 'ms', 2)}")
    if "open.count" in v:
        log(f"Port → open: opens per measurement {v['open.count']}; a second open, click → browser "
            f"{figure(v['open.again'], 1e6, 'ms', 2)}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build-bench"))
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--idle", type=float, default=60.0, help="seconds of the idle window (default 60)")
    parser.add_argument("--flood", type=int, default=GIB, help="bytes the fake server writes (default 1 GiB)")
    parser.add_argument("--launcher", help="another build of the launcher (default: the build dir's)")
    parser.add_argument("--launcher-env", action="append", default=[], metavar="NAME=VALUE",
                        help="a variable for the launcher alone (not the floor)")
    parser.add_argument("--skip", action="append", default=[], choices=["drain", "session"])
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
    try:
        log(f"desktop: {desktop.dir}, display {desktop.display}, accessibility bus {desktop.a11y_address}")
        # One of each first, not counted: caches warm, files in memory.
        warm = Results()
        session_round(desktop, warm, True, 0.1, False)
        drain_cat(desktop, warm, min(args.flood, 64 * MB), False)
        for r in range(args.rounds):
            note_load()
            launcher_first = r % 2 == 0
            if "drain" not in args.skip:
                for port_known in (False, True):
                    arms = (drain_launcher, drain_cat) if launcher_first else (drain_cat, drain_launcher)
                    for arm in arms:
                        arm(desktop, results, args.flood, port_known)
                        time.sleep(0.3)
            if "session" not in args.skip:
                session_round(desktop, results, launcher_first, args.idle, r == args.rounds - 1)
            log(f"round {r + 1}/{args.rounds} done")
        note_load()
    finally:
        desktop.close(args.keep)
    print(machine(args))
    print()
    print(table(results, args))
    print_detail(results)


if __name__ == "__main__":
    main()
