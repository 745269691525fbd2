"""What /proc tells of a process and its threads: resident memory (status,
smaps_rollup, and smaps by kind of mapping), CPU time (stat, and each
thread's schedstat), context switches, and what they spent over a window of
doing nothing."""

import os
import re
import time

from units import MB

# Arenas of malloc for threads other than the main one are reserved at
# addresses aligned to their largest size (HEAP_MAX_SIZE on 64-bit glibc).
ARENA_ALIGNMENT = 64 * MB


def proc_status(pid):
    values = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            name, _, value = line.partition(":")
            values[name] = value.strip()
    return values


def status_kb(pid, name):
    return int(proc_status(pid)[name].split()[0])


def tasks(pid):
    return sorted(int(tid) for tid in os.listdir(f"/proc/{pid}/task"))


def thread_names(pid):
    names = []
    for tid in tasks(pid):
        try:
            with open(f"/proc/{pid}/task/{tid}/comm") as f:
                names.append(f.read().strip())
        except FileNotFoundError:
            pass
    return names


def cpu_ns(pid):
    """utime+stime of the whole process (every thread, also those gone)."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = int(fields[11]) + int(fields[12])
    return ticks * 1_000_000_000 // os.sysconf("SC_CLK_TCK")


def thread_counters(pid):
    """{tid: (time on a CPU in ns from schedstat, context switches)} of the
    live threads. Schedstat is finer than utime+stime, which counts in
    clock ticks."""
    counters = {}
    for tid in tasks(pid):
        try:
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                ran = int(f.read().split()[0])
            status = proc_status(f"{pid}/task/{tid}")
        except (FileNotFoundError, ProcessLookupError):
            continue
        counters[tid] = (ran, int(status["voluntary_ctxt_switches"]) + int(status["nonvoluntary_ctxt_switches"]))
    return counters


def run_ns(pid):
    return sum(ran for ran, _ in thread_counters(pid).values())


def idle_window(pids, seconds):
    """What each process spent over `seconds` of doing nothing: {pid:
    {"cpu", "run", "switches", "ended", "started"}}. CPU time is utime+stime
    of /proc/PID/stat: whole clock ticks, and a thread's end may move a tick
    of time spent long before into the window (the kernel rounds the
    process's times anew). On-CPU time ("run") is the threads' schedstat, in
    nanoseconds. The threads are looked at once a second, so that one that
    ends in the window is counted with its last figures, and with one
    context switch more: the wake-up in which it ended."""
    def look():
        return {pid: thread_counters(pid) for pid in pids}

    cpu_before = {pid: cpu_ns(pid) for pid in pids}
    first = look()
    last = {pid: dict(threads) for pid, threads in first.items()}
    deadline = time.monotonic() + seconds
    while True:
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            break
        time.sleep(min(1.0, remaining))
        for pid, threads in look().items():
            last[pid].update(threads)
    final = look()
    spent = {}
    for pid in pids:
        ran = switches = 0
        for tid, (ran_last, switches_last) in last[pid].items():
            ran_first, switches_first = first[pid].get(tid, (0, 0))
            ran += ran_last - ran_first
            switches += switches_last - switches_first
        ended = len(set(last[pid]) - set(final[pid]))
        spent[pid] = {"cpu": cpu_ns(pid) - cpu_before[pid], "run": ran, "switches": switches + ended,
                      "ended": ended, "started": len(set(final[pid]) - set(first[pid]))}
    return spent


def smaps_rollup(pid):
    values = {}
    with open(f"/proc/{pid}/smaps_rollup") as f:
        for line in f:
            match = re.match(r"(\w+):\s+(\d+) kB", line)
            if match:
                values[match.group(1)] = int(match.group(2))
    return values


def smaps_by_kind(pid):
    """Rss and Pss (kB) by what a mapping is: each library or executable,
    the main heap, the main stack, thread stacks, malloc arenas of threads,
    other anonymous memory."""
    mappings = []
    current = None
    with open(f"/proc/{pid}/smaps") as f:
        for line in f:
            header = re.match(r"([0-9a-f]+)-([0-9a-f]+) (\S+) \S+ \S+ \d+\s*(.*)$", line)
            if header:
                current = {"start": int(header.group(1), 16), "end": int(header.group(2), 16),
                           "perms": header.group(3), "path": header.group(4).strip(), "Rss": 0, "Pss": 0}
                mappings.append(current)
                continue
            match = re.match(r"(Rss|Pss):\s+(\d+) kB", line)
            if match and current is not None:
                current[match.group(1)] = int(match.group(2))
    kinds = {}
    for i, m in enumerate(mappings):
        path = m["path"]
        if path.startswith("/"):
            kind = os.path.basename(path)
            if kind in ("quillary", "bench_floor"):
                kind = "(the executable)"
        elif path == "[heap]":
            kind = "[heap] main arena"
        elif path == "[stack]":
            kind = "[stack] main thread"
        elif path.startswith("["):
            kind = path
        else:
            previous = mappings[i - 1] if i > 0 else None
            following = mappings[i + 1] if i + 1 < len(mappings) else None
            guarded = (previous is not None and previous["end"] == m["start"] and previous["perms"] == "---p"
                       and previous["path"] == "" and previous["end"] - previous["start"] == 4096)
            if m["perms"] == "---p":
                kind = "(reserved, inaccessible)"
            elif guarded and m["end"] - m["start"] >= MB:
                kind = "thread stacks"
            elif m["start"] % ARENA_ALIGNMENT == 0 and following is not None and following["perms"] == "---p" \
                    and following["start"] == m["end"]:
                kind = "malloc arenas of threads"
            else:
                kind = "other anonymous"
        entry = kinds.setdefault(kind, {"Rss": 0, "Pss": 0, "count": 0})
        entry["Rss"] += m["Rss"]
        entry["Pss"] += m["Pss"]
        entry["count"] += 1
    return kinds
