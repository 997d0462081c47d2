"""What the figures were recorded on."""
import datetime
import os
import re
import subprocess


def cmake_cache(build_dir):
    values = {}
    try:
        with open(os.path.join(build_dir, "CMakeCache.txt")) as f:
            for line in f:
                m = re.match(r"^([A-Za-z_]+):[A-Z]+=(.*)$", line.strip())
                if m:
                    values[m[1]] = m[2]
    except OSError:
        pass
    return values


def first_line(argv):
    try:
        return subprocess.run(argv, capture_output=True, text=True).stdout.splitlines()[0]
    except (OSError, IndexError):
        return "?"


def cpu_ticks():
    """Busy and total clock ticks of all CPUs so far."""
    with open("/proc/stat") as f:
        fields = [int(x) for x in f.readline().split()[1:]]
    idle = fields[3] + fields[4]  # idle, iowait
    return sum(fields) - idle, sum(fields)


def machine_info(build_dir):
    cache = cmake_cache(build_dir)
    model = "?"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    build_type = cache.get("CMAKE_BUILD_TYPE", "?")
    return {
        "cpu": model,
        "cores": os.cpu_count(),
        "kernel": os.uname().release,
        "compiler": first_line([cache.get("CMAKE_CXX_COMPILER", "c++"), "--version"]),
        "build_type": build_type,
        "build_flags": cache.get("CMAKE_CXX_FLAGS_" + build_type.upper(), "").strip(),
        "python": first_line(["/usr/bin/python3", "--version"]),
        "pyserial": subprocess.run(
            ["/usr/bin/python3", "-c", "import serial; print(serial.__version__)"], capture_output=True, text=True
        ).stdout.strip(),
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "load_before": open("/proc/loadavg").read().split()[:3],
        "ticks_before": cpu_ticks(),
    }


def binary_size(path, work):
    stripped = os.path.join(work, "tolvaner.stripped")
    subprocess.run(["strip", "-o", stripped, path], check=True)
    fields = subprocess.run(["size", path], capture_output=True, text=True).stdout.splitlines()[1].split()
    return {
        "file": os.path.getsize(path),
        "stripped": os.path.getsize(stripped),
        "text": int(fields[0]),
        "data": int(fields[1]),
        "bss": int(fields[2]),
    }
