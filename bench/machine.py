"""What the figures were taken on: the line that heads the table."""

import ctypes
import os
import platform
import re
import subprocess

from units import GIB, KB


def machine(args, loads):
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
    span = "–".join(f"{load:.1f}" for load in (min(loads), max(loads))) if loads else "?"
    return (f"Machine: {model}, {os.cpu_count()} cores, Linux {platform.release()}, "
            f"{total / GIB:.1f} GiB RAM, {glibc}, GLib {glib}; {compiler}, {build_type}; "
            f"{args.rounds} rounds, idle window {args.idle:g} s; load average (1 min) during the run {span}"
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


def load_average():
    """The load average over the last minute: the machine may be shared,
    and its other work shows in every figure."""
    with open("/proc/loadavg") as f:
        return float(f.read().split()[0])
