"""The report: each figure as median (min–max) over the rounds, beside its
floor, with the ratio, the target and whether it is met ("Met?"), as one
Markdown table; and the detail for standard error. What each figure is, is
told at the head of launcher_bench.py."""

import statistics

from units import GIB, MB
from xembed_round import xembed_rows


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
    rows += xembed_rows(v, figure, ratio_cell, met, median)

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
    # (see idle_window in proc_readers.py); the on-CPU time is exact.
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


def detail(results):
    """The lines for standard error: where the memory goes, by mapping, and
    threads (last round); the launcher's CPU time while it drains; the
    figures beside those in the table."""
    d = results.detail
    if "smaps.launcher" in d:
        yield "\nWhere the memory goes at idle (kB, last round):"
        launcher, floor = d["smaps.launcher"], d["smaps.floor"]
        kinds = sorted(set(launcher) | set(floor),
                       key=lambda k: -(launcher.get(k, {"Rss": 0})["Rss"] - floor.get(k, {"Rss": 0})["Rss"]))
        yield f"  {'mapping':<40} {'launcher Rss':>12} {'Pss':>7} {'floor Rss':>10} {'Pss':>7} {'Δ Rss':>7}"
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
            yield f"  {name:<40} {a['Rss']:>12} {a['Pss']:>7} {b['Rss']:>10} {b['Pss']:>7} {a['Rss'] - b['Rss']:>+7}"
        yield (f"  {'the rest (the same Rss in both)':<40} {same[0]:>12} {same[1]:>7} {same[2]:>10} {same[3]:>7} "
               f"{0:>+7}")
        yield (f"  {'total':<40} {totals[0]:>12} {totals[1]:>7} {totals[2]:>10} {totals[3]:>7} "
               f"{totals[0] - totals[2]:>+7}")
        yield f"  threads: launcher {d['threads.launcher']}, floor {d['threads.floor']}"
    v = results.values
    for key in ("drain", "drain.port"):
        if f"{key}.cpu" in v:
            yield (f"Launcher's CPU while it drained ({key}): median {median(v[key + '.cpu']) / 1e6:.0f} ms; "
                   f"sampled peak VmRSS {median(v[key + '.sampled_rss']) / MB:.2f} MiB")
    if "quit.server" in v:
        yield f"Quit: click → server's exit {figure(v['quit.server'], 1e6, 'ms', 2)}"
    if "open.count" in v:
        yield (f"Port → open: opens per measurement {v['open.count']}; a second open, click → browser "
               f"{figure(v['open.again'], 1e6, 'ms', 2)}")
