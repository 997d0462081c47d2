#!/usr/bin/python3
"""Benchmark of tolvaner against the simulated device: pacing fidelity and the
cost of an exchange, with a pyserial script doing the readback as a peer.

Run through scripts/bench, which builds the programs first. Raw data (traces,
call logs, results.json) goes to the work folder; the results go between the
markers in docs/benchmarks.md and the gap plot beside it.

Two views of every gap between request bytes:
  receiver: as tolvaner-sim received them (its --trace, 0.1 ms steps);
  sender:   as the program handed them to the kernel, from the times of its
            write() calls, noted by a small preloaded library (syscall_log.c).
The same library gives the settle time: from the last request byte's write()
to the program's next look at the port (poll, select or read on it).
"""
import argparse
import collections
import concurrent.futures
import ctypes
import datetime
import json
import math
import os
import re
import select
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import termios
import threading
import time

PROMPT = b"Enter user command: "
PEER_PROMPT = b"Item (V S M D K A, X quits): "
BYTE_GAP_MS = 50.0
SETTLE_MS = 400.0
DESIGN_SETTLE_MS = BYTE_GAP_MS + SETTLE_MS
BEGIN_MARK = "<!-- bench:begin -->"
END_MARK = "<!-- bench:end -->"

# Every setting the console sends, with the length of its request on the wire.
SETTINGS = [("v 1000", 5), ("s 4", 4), ("m 1", 4), ("a 3", 4), ("d", 3), ("t", 3)]
READBACK_ITEMS = "vsmdka"
KINDS = ["settings", "I", "C", "R"]


def now_ns():
    return time.monotonic_ns()


def percentile(values, p):
    """Nearest-rank percentile."""
    ordered = sorted(values)
    rank = max(1, math.ceil(p / 100.0 * len(ordered)))
    return ordered[rank - 1]


def summary(values):
    if not values:
        return {"n": 0}
    return {
        "n": len(values),
        "min": min(values),
        "median": statistics.median(values),
        "p99": percentile(values, 99),
        "max": max(values),
        "mean": statistics.fmean(values),
    }


def gap_summary(gaps, dropped=0):
    s = summary(gaps)
    s["below_49_5"] = sum(1 for g in gaps if g < 49.5)
    s["below_50"] = sum(1 for g in gaps if g < 50.0)
    s["above_52"] = sum(1 for g in gaps if g > 52.0)
    s["dropped"] = dropped
    return s


# ---------------------------------------------------------------- scheduling


def realtime_possible():
    try:
        return subprocess.run(["chrt", "-f", "1", "true"], capture_output=True).returncode == 0
    except OSError:
        return False


def make_self_realtime():
    """Puts the measuring process above the noise of the machine; whatever it
    starts is reset to normal scheduling, so the programs measured run as
    users run them."""
    try:
        os.sched_setscheduler(0, os.SCHED_FIFO | os.SCHED_RESET_ON_FORK, os.sched_param(40))
        return True
    except (OSError, AttributeError):
        return False


def set_slice(pid, slice_us):
    """Asks the scheduler for a shorter time slice for pid (sched_setattr with
    sched_runtime for SCHED_OTHER; Linux 6.12 and later honour it): a task
    that wakes with a short slice gets an earlier deadline and so the CPU
    sooner from busy neighbours."""
    numbers = {"x86_64": 314, "aarch64": 274}
    number = numbers.get(os.uname().machine)
    if number is None:
        raise OSError("sched_setattr: unknown system call number on this machine")
    # struct sched_attr, first version: size, policy, flags, nice, priority,
    # runtime, deadline, period.
    attr = struct.pack("=IIQiIQQQ", 48, 0, 0, 0, 0, slice_us * 1000, 0, 0)
    buffer = ctypes.create_string_buffer(attr, len(attr))
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.syscall(number, pid, buffer, 0) != 0:
        raise OSError(ctypes.get_errno(), "sched_setattr")


# ------------------------------------------------------------------ programs


class Session:
    """One program run with its standard input held open, so that the bench
    decides when input arrives and can look at the program (/proc) while it
    waits for more. ru_maxrss is no use for memory here: Linux carries the
    spawning process's peak into it across exec."""

    def __init__(self, argv, scheduler=None, slice_us=None, env=None):
        in_r, self.in_w = os.pipe()
        self.out_r, out_w = os.pipe()
        actions = [(os.POSIX_SPAWN_DUP2, in_r, 0), (os.POSIX_SPAWN_DUP2, out_w, 1)]
        extra = {"scheduler": scheduler} if scheduler else {}
        environment = dict(os.environ, **(env or {}))
        self.argv = argv
        self.chunks = []  # (monotonic ns, bytes)
        self.buffer = b""
        self.eof = False
        self.status = None
        self.t0 = now_ns()
        self.pid = os.posix_spawn(shutil.which(argv[0]) or argv[0], argv, environment, file_actions=actions, **extra)
        os.close(in_r)
        os.close(out_w)
        if slice_us:
            set_slice(self.pid, slice_us)

    def _read(self, deadline):
        left = deadline - time.monotonic()
        if left <= 0:
            self.kill()
            raise TimeoutError(f"{self.argv[0]}: no progress; output so far:\n{self.buffer[-2000:]!r}")
        ready, _, _ = select.select([self.out_r], [], [], left)
        if ready:
            data = os.read(self.out_r, 65536)
            t = now_ns()
            if data:
                self.chunks.append((t, data))
                self.buffer += data
            else:
                self.eof = True

    def wait_for(self, needle, count, timeout_s=120):
        """Reads output until needle has fully arrived count times; returns
        the arrival time (ns) of each occurrence."""
        deadline = time.monotonic() + timeout_s
        while self.buffer.count(needle) < count:
            if self.eof:
                raise RuntimeError(f"{self.argv[0]} ended early; output:\n{self.buffer[-2000:]!r}")
            self._read(deadline)
        return self.marks(needle)[:count]

    def marks(self, needle):
        times, ends, length = [], [], 0
        for t, chunk in self.chunks:
            length += len(chunk)
            ends.append((length, t))
        start = 0
        while (at := self.buffer.find(needle, start)) >= 0:
            end = at + len(needle)
            times.append(next(t for n, t in ends if n >= end))
            start = end
        return times

    def send(self, data):
        t = now_ns()
        os.write(self.in_w, data)
        return t

    def sample(self):
        """CPU time so far (ns, the scheduler's own account) and peak resident
        memory (KiB) of the program as it is now."""
        with open(f"/proc/{self.pid}/schedstat") as f:
            cpu_ns = int(f.read().split()[0])
        hwm = None
        with open(f"/proc/{self.pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    hwm = int(line.split()[1])
        return cpu_ns, hwm

    def finish(self, timeout_s=30):
        """Ends the input (which ends the program) and waits for its end."""
        os.close(self.in_w)
        deadline = time.monotonic() + timeout_s
        while not self.eof:
            self._read(deadline)
        os.close(self.out_r)
        _, status, _ = os.wait4(self.pid, 0)
        self.status = os.waitstatus_to_exitcode(status)
        return self

    def kill(self):
        try:
            os.kill(self.pid, signal.SIGKILL)
            os.wait4(self.pid, 0)
        except (ProcessLookupError, ChildProcessError):
            pass


class Simulator:
    """tolvaner-sim serving on its own pseudo-terminal, its trace to a file."""

    def __init__(self, sim_path, trace_path, realtime):
        argv = [sim_path, "--trace"]
        if realtime:
            argv = ["chrt", "-f", "50"] + argv
        self.trace_path = trace_path
        self.trace_file = open(trace_path, "w")
        self.proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=self.trace_file)
        ready, _, _ = select.select([self.proc.stdout], [], [], 10)
        line = self.proc.stdout.readline().decode() if ready else ""
        found = re.search(r"device on (\S+)", line)
        if not found:
            self.stop()
            raise RuntimeError(f"tolvaner-sim did not start: {line!r}")
        self.port = found.group(1)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.trace_file.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


# ------------------------------------------------------------------- parsing

TRACE_LINE = re.compile(
    r"^\s*(?P<at>\d+\.\d+) (?P<dir>rx|tx)(?P<bytes>(?: [0-9A-F]{2})*)"
    r"(?:  gaps (?P<gaps>[\d. ]+?))?(?:  \((?P<note>.*)\))?\s*$"
)


def receiver_view(trace_path):
    """Gaps (ms) between request bytes as the simulated device received them,
    and how many requests it had to drop (a pause over 100 ms or a bad
    checksum: the frame was broken on the way)."""
    gaps, dropped, requests = [], 0, 0
    with open(trace_path) as f:
        for line in f:
            m = TRACE_LINE.match(line)
            if not m or m["dir"] != "rx":
                continue
            requests += 1
            if m["gaps"]:
                gaps += [float(g) for g in m["gaps"].split()]
            note = m["note"] or ""
            if "dropped" in note or "bad checksum" in note:
                dropped += 1
    return gaps, dropped, requests


def sender_view(log_path):
    """From the preloaded library's log: gaps (ms) between the write() calls
    of each request's bytes, and the settle times (ms) from the last byte's
    write() to the next look at the port, for requests followed by one."""
    calls = []
    with open(log_path) as f:
        for line in f:
            t, call, fd, count = line.split()
            calls.append((int(t), call, int(fd), int(count)))
    one_byte = collections.Counter(fd for _, call, fd, count in calls if call == "W" and count == 1 and fd > 2)
    if not one_byte:
        return [], [], 0
    port = one_byte.most_common(1)[0][0]
    gaps, settles, requests = [], [], 0
    last_write = None  # the latest write since the last look at the port
    for t, call, fd, _ in calls:
        if fd != port:
            continue
        if call == "W":
            if last_write is None:
                requests += 1
            else:
                gaps.append((t - last_write) / 1e6)
            last_write = t
        elif last_write is not None:
            settles.append((t - last_write) / 1e6)
            last_write = None
    return gaps, settles, requests


def split_requests(gaps_in_order, lengths):
    """The sender's log joins requests that follow one another with no look at
    the port between them (settings); cut them apart by the known lengths."""
    out, i = [], 0
    for n in lengths:
        out += gaps_in_order[i : i + n - 1]
        i += n  # skips the gap from this request's last byte to the next one's first
    return out


# ---------------------------------------------------------------- procedures


def exchange_plan(kind, n):
    """The console input for n exchanges of a kind, each one's request length
    and each one's floor (ms)."""
    words, lengths, floors = [], [], []
    for i in range(n):
        if kind == "settings":
            word, length = SETTINGS[i % len(SETTINGS)]
            floors.append(length * BYTE_GAP_MS)
        elif kind == "R":
            word, length = "r " + READBACK_ITEMS[i % len(READBACK_ITEMS)], 4
            floors.append(length * BYTE_GAP_MS + SETTLE_MS)
        else:
            word, length = kind.lower(), 3
            floors.append(length * BYTE_GAP_MS + SETTLE_MS)
        words.append(word)
        lengths.append(length)
    return (" ".join(words) + "\n").encode(), lengths, floors


def peer_plan(n):
    """The peer's input for n readbacks: one item a line."""
    items = "".join(READBACK_ITEMS[i % len(READBACK_ITEMS)] + "\n" for i in range(n))
    return items.encode(), [4] * n, [4 * BYTE_GAP_MS + SETTLE_MS] * n


class Bench:
    def __init__(self, args):
        here = os.path.dirname(os.path.abspath(__file__))
        self.tolvaner = [os.path.abspath(os.path.join(args.build, "tolvaner"))]
        self.sim_path = os.path.abspath(os.path.join(args.build, "tolvaner-sim"))
        self.peer = ["/usr/bin/python3", os.path.join(here, "peer.py")]
        self.work = os.path.abspath(args.work)
        os.makedirs(self.work, exist_ok=True)
        self.shim = os.path.join(self.work, "syscall_log.so")
        subprocess.run(
            ["cc", "-O2", "-shared", "-fPIC", "-o", self.shim, os.path.join(here, "syscall_log.c"), "-ldl"],
            check=True,
        )
        self.realtime = realtime_possible() and make_self_realtime()
        self.fifo = (os.SCHED_FIFO, os.sched_param(30)) if self.realtime else None

    def sim(self, name, realtime=None):
        realtime = self.realtime if realtime is None else realtime
        return Simulator(self.sim_path, os.path.join(self.work, f"trace-{name}.txt"), realtime)

    def exchanges(self, name, argv, prompt, plan, scheduler=None, slice_us=None, barrier=None, realtime=None):
        """Runs the exchanges back to back once the program is at its prompt.
        Each exchange's wall time runs from one prompt to the next (the first
        from the moment its input was written); CPU and memory are the
        program's own, read while it waits at its last prompt."""
        stdin_bytes, lengths, floors = plan
        n = len(floors)
        log_path = os.path.join(self.work, f"calls-{name}.txt")
        env = {"LD_PRELOAD": self.shim, "BENCH_SYSCALL_LOG": log_path}
        with self.sim(name, realtime) as device:
            s = Session(argv + [device.port], scheduler, slice_us, env)
            try:
                s.wait_for(prompt, 1)
                if barrier is not None:
                    barrier.wait(timeout=60)
                cpu_before, _ = s.sample()
                t_input = s.send(stdin_bytes)
                marks = s.wait_for(prompt, n + 1, timeout_s=30 + 1.5 * sum(floors) / 1000)
                cpu_after, hwm = s.sample()
                s.finish()
            except BaseException:
                s.kill()
                raise
        starts = [t_input] + marks[1:n]
        walls = [(end - start) / 1e6 for start, end in zip(starts, marks[1 : n + 1])]
        ratios = [w / f for w, f in zip(walls, floors)]
        received, dropped, _ = receiver_view(device.trace_path)
        sent, settles, _ = sender_view(log_path)
        if not settles:
            # Settings: no look at the port between requests, so the log runs
            # them together; cut at the known lengths.
            sent = split_requests(sent, lengths)
        return {
            "n": n,
            "status": s.status,
            "faults": s.buffer.count(b"Packet checksum fault") + s.buffer.count(b"bad reply"),
            "wall_ms": summary(walls),
            "floor_ms_mean": statistics.fmean(floors),
            "ratio": summary(ratios),
            "ratio_of_totals": sum(walls) / sum(floors),
            "cpu_ms_per_exchange": (cpu_after - cpu_before) / 1e6 / n,
            "hwm_kib": hwm,
            "received": gap_summary(received, dropped),
            "sent": gap_summary(sent),
            "settle": summary(settles),
            "_received": received,
            "_sent": sent,
        }

    def startups(self, variants, count):
        """Time from spawning to the first prompt on a pipe, the program's CPU
        up to that prompt and its peak memory; the variants take turns, so
        that all of them meet the same load. A variant is (name, argv,
        prompt, scheduler, sample)."""
        found = {name: {"first": [], "cpu": [], "hwm": []} for name, *_ in variants}
        for _ in range(count):
            for name, argv, prompt, scheduler, sample in variants:
                s = Session(argv, scheduler)
                try:
                    first = s.wait_for(prompt, 1, timeout_s=30)[0]
                    if sample:
                        cpu, hwm = s.sample()
                        found[name]["cpu"].append(cpu / 1e6)
                        found[name]["hwm"].append(hwm)
                    s.finish()
                except BaseException:
                    s.kill()
                    raise
                found[name]["first"].append((first - s.t0) / 1e6)
        results = {}
        for name, f in found.items():
            results[name] = {"first_prompt_ms": summary(f["first"])}
            if f["cpu"]:
                results[name]["cpu_ms"] = summary(f["cpu"])
                results[name]["hwm_kib"] = max(f["hwm"])
        return results


DIAGNOSTICS = [
    # name, simulator at SCHED_FIFO, program's scheduling
    ("normal priority, as above", True, {}),
    ("device at normal priority", False, {}),
    ("tolvaner with a 0.1 ms scheduler slice", True, {"slice_us": 100}),
    ("tolvaner at SCHED_FIFO", True, {"fifo": True}),
]


# The console's eight queries, and --read, which asks for the same eight items.
CONSOLE_EIGHT = b"i c r v r s r m r d r k r a x\n"


def write_to_write(log_path):
    """Every interval (ms) between one byte's write() to the port and the
    next one's, from the last byte of a request to the first of the next
    included."""
    writes = []
    with open(log_path) as f:
        for line in f:
            t, call, fd, count = line.split()
            if call == "W" and int(count) == 1 and int(fd) > 2:
                writes.append(int(t))
    return [(b - a) / 1e6 for a, b in zip(writes, writes[1:])]


def read_mode(bench, runs):
    """Whole runs, from spawn to exit, of the console typing its eight queries
    and of `tolvaner --read`, each against a simulator of its own (which
    answers within a millisecond) so that the gaps it received are apart."""
    out = {}
    for name, extra, typed in (("console", [], CONSOLE_EIGHT), ("read", ["--read"], b"")):
        walls, statuses, sent = [], [], []
        with bench.sim(f"eight-{name}") as device:
            for run in range(runs):
                log_path = os.path.join(bench.work, f"calls-eight-{name}-{run}.txt")
                env = {"LD_PRELOAD": bench.shim, "BENCH_SYSCALL_LOG": log_path}
                session = Session(bench.tolvaner + extra + [device.port], env=env)
                session.send(typed)
                session.finish()
                walls.append((now_ns() - session.t0) / 1e6)
                lines = session.buffer.count(b"\n")
                statuses.append(session.status == 0 and (name == "console" or lines == 8))
                sent += write_to_write(log_path)
        gaps, dropped, requests = receiver_view(device.trace_path)
        out[name] = {
            "wall_ms": summary(walls),
            "ok": all(statuses),
            "gaps": gap_summary(gaps, dropped),
            "sent": gap_summary(sent),
            "requests": requests,
        }
    out["ratio"] = out["read"]["wall_ms"]["median"] / out["console"]["wall_ms"]["median"]
    return out


def diagnostics(bench, n):
    """Runs the settings exchanges four ways at once, so that all four meet
    the same load: as measured, with the device's receiver at normal
    priority (how much of the spread is the receiver's), and with tolvaner
    given a short scheduler slice or real-time priority (how much is the
    sender waiting for a CPU)."""
    plan = exchange_plan("settings", n)
    # All four start their exchanges together, not while the others are
    # still starting up.
    barrier = threading.Barrier(len(DIAGNOSTICS))

    def one(index):
        name, realtime, how = DIAGNOSTICS[index]
        e = bench.exchanges(
            f"diag-{index}",
            bench.tolvaner,
            PROMPT,
            plan,
            scheduler=bench.fifo if how.get("fifo") else None,
            slice_us=how.get("slice_us"),
            barrier=barrier,
            realtime=realtime,
        )
        e["name"] = name
        return e

    with concurrent.futures.ThreadPoolExecutor(len(DIAGNOSTICS)) as pool:
        return list(pool.map(one, range(len(DIAGNOSTICS))))


def pty_delivery_us(count=300, interval_s=0.01):
    """How long a byte written to a pseudo-terminal takes to reach the other
    side, both ends in this (real-time, where permitted) process. The kernel
    hands pseudo-terminal input over in a worker thread of normal priority,
    so on a busy machine a byte can arrive late however promptly it was
    written and read; the gap before it then looks longer and the gap after
    it shorter than the sender made them."""
    master, slave = os.openpty()
    try:
        for fd in (master, slave):
            attrs = termios.tcgetattr(fd)
            attrs[3] &= ~(termios.ICANON | termios.ECHO | termios.ISIG | termios.IEXTEN)
            attrs[0] &= ~(termios.ICRNL | termios.IXON)
            attrs[1] &= ~termios.OPOST
            termios.tcsetattr(fd, termios.TCSANOW, attrs)
        latencies = []
        for _ in range(count):
            t0 = now_ns()
            os.write(slave, b"U")
            ready, _, _ = select.select([master], [], [], 1.0)
            t1 = now_ns()
            if ready:
                os.read(master, 16)
                latencies.append((t1 - t0) / 1000.0)
            time.sleep(interval_s)
        return summary(latencies)
    finally:
        os.close(master)
        os.close(slave)


def sleep_cost_us():
    """CPU time one short timed sleep and its wake-up cost on this machine,
    with nothing else around it: the floor under any program that paces bytes
    by sleeping."""
    code = (
        "def cpu():\n"
        "    return int(open('/proc/self/schedstat').read().split()[0])\n"
        "import time\n"
        "a = cpu()\n"
        "for _ in range(200): time.sleep(0.002)\n"
        "b = cpu()\n"
        "print((b - a) / 200 / 1000)\n"
    )
    out = subprocess.run(["/usr/bin/python3", "-c", code], capture_output=True, text=True, check=True)
    return float(out.stdout)


# ------------------------------------------------------------------- machine


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


# ------------------------------------------------------------------- reports


def plot(series, png_path, work):
    """Left: share of gaps per 0.1 ms bin. Right: share of gaps longer than
    x, on a log scale, where the tails show."""
    low, high, width = 47.95, 56.05, 0.1  # bins centred on the trace's 0.1 ms steps
    bins = int(round((high - low) / width))
    data_path = os.path.join(work, "gaps.dat")
    tail_path = os.path.join(work, "gaps-tail.dat")
    with open(data_path, "w") as f:
        counts = []
        for _, gaps in series:
            c = [0] * bins
            for g in gaps:
                c[min(bins - 1, max(0, int(math.floor((g - low) / width + 1e-9))))] += 1
            counts.append([100.0 * x / max(1, len(gaps)) for x in c])
        for i in range(bins):
            f.write(f"{low + (i + 0.5) * width:.2f} " + " ".join(f"{c[i]:.3f}" for c in counts) + "\n")
    with open(tail_path, "w") as f:
        xs = [50.0 + 0.05 * i for i in range(0, 201)]
        for x in xs:
            shares = []
            for _, gaps in series:
                above = sum(1 for g in gaps if g > x)
                shares.append(f"{100.0 * above / len(gaps):.4f}" if above else "NaN")
            f.write(f"{x:.2f} " + " ".join(shares) + "\n")
    left = ", ".join(
        f"'{data_path}' using 1:{k + 2} with histeps lw 2 title '{title} ({len(gaps)})'"
        for k, (title, gaps) in enumerate(series)
    )
    right = ", ".join(
        f"'{tail_path}' using 1:{k + 2} with steps lw 2 notitle" for k in range(len(series))
    )
    script = f"""
set terminal pngcairo size 1100,440 font "sans,9"
set output '{png_path}'
set multiplot layout 1,2 title "Gaps between the bytes of a request (ms)"
set xlabel "gap (ms); outside the axis counted in its end bins"
set ylabel "share of gaps per 0.1 ms (%)"
set xrange [{low}:{high}]
set xtics 1
set grid
set key top right
set arrow 1 from 49.5, graph 0 to 49.5, graph 1 nohead dt 2 lc rgb "red"
set arrow 2 from 52, graph 0 to 52, graph 1 nohead dt 2 lc rgb "red"
plot {left}
unset arrow 1
set xrange [50:60]
set logscale y
set yrange [0.1:100]
set xlabel "gap (ms)"
set ylabel "share of gaps longer than that (%)"
set arrow 2 from 52, graph 0 to 52, graph 1 nohead dt 2 lc rgb "red"
set arrow 3 from 50, 1 to 60, 1 nohead dt 3 lc rgb "gray"
plot {right}
unset multiplot
"""
    subprocess.run(["gnuplot"], input=script, text=True, check=True)


def fmt(x, digits=1):
    return f"{x:.{digits}f}"


def verdict(ok):
    return "met" if ok else "**missed**"


def gap_row(name, view, s):
    return (
        f"| {name} | {view} | {s['n']} | {fmt(s['min'], 2)} | {fmt(s['median'], 2)} | {fmt(s['p99'], 2)} "
        f"| {fmt(s['max'], 2)} | {s['below_49_5']} | {s['above_52']} |"
    )


def exchange_row(name, e):
    st = e["settle"]
    settle = f"{fmt(st['median'], 2)} / {fmt(st['max'], 2)}" if st["n"] else "no reply is read"
    return (
        f"| {name} | {fmt(e['floor_ms_mean'])} | {fmt(e['wall_ms']['mean'], 2)} | {fmt(e['ratio_of_totals'], 4)} "
        f"| {fmt(e['ratio']['max'], 4)} | {fmt(e['cpu_ms_per_exchange'], 3)} | {settle} |"
    )


def markdown(r):
    m, t, p, v = r["machine"], r["tolvaner"], r["peer"], r["verdicts"]
    n = r["n"]
    lines = []
    add = lines.append
    add(f"Recorded {m['date']} by `scripts/bench`: {n} exchanges of each kind.")
    add("")
    add("| machine | |")
    add("|---|---|")
    add(f"| CPU | {m['cpu']}, {m['cores']} cores |")
    add(f"| kernel | {m['kernel']} |")
    add(f"| compiler | {m['compiler']} |")
    add(f"| build | {m['build_type']} (`{m['build_flags']}`), what a plain `cmake --build` gives |")
    add(f"| peer | {m['python']}, pyserial {m['pyserial']} |")
    add(f"| load average (1, 5, 15 min) | {' '.join(m['load_before'])} before, {' '.join(m['load_after'])} after |")
    add(f"| CPUs busy during the run | {fmt(m['busy_percent'], 0)} % (every process on the machine, from /proc/stat) |")
    if r["realtime"]:
        add("| priorities | simulator and measuring script SCHED_FIFO; the programs measured at normal priority unless a row says otherwise |")
    else:
        add("| priorities | all at normal priority (SCHED_FIFO was not permitted) |")
    add("")
    add("### Gaps between request bytes, ms")
    add("")
    add("Received: as the simulated device received them (its trace, 0.1 ms steps). Sent: as the program called `write()` for each byte.")
    add("")
    add("| program, kind | view | gaps | min | median | p99 | max | below 49.5 | above 52 |")
    add("|---|---|---|---|---|---|---|---|---|")
    for kind in KINDS:
        add(gap_row(f"tolvaner, {kind}", "received", t["exchanges"][kind]["received"]))
    add(gap_row("**tolvaner, all kinds**", "**received**", t["received"]))
    add(gap_row("tolvaner, all kinds", "sent", t["sent"]))
    add(gap_row("tolvaner, R, beside the peer", "sent", t["exchanges"]["R"]["sent"]))
    add(gap_row("pyserial peer, R", "received", p["exchanges"]["received"]))
    add(gap_row("pyserial peer, R", "sent", p["exchanges"]["sent"]))
    add("")
    add(
        f"Requests the device dropped as broken (a pause over 100 ms inside one): tolvaner {t['received']['dropped']} "
        f"of {t['requests']}, peer {p['exchanges']['received']['dropped']} of {n}."
    )
    add("")
    add("![Gap distribution](benchmarks-gaps.png)")
    add("")
    add("### Per exchange")
    add("")
    add("| program, kind | floor, mean ms | wall, mean ms | wall / floor, all | worst single | CPU per exchange, ms | settle to read, median / max ms |")
    add("|---|---|---|---|---|---|---|")
    for kind in KINDS:
        add(exchange_row(f"tolvaner, {kind}", t["exchanges"][kind]))
    add(exchange_row("pyserial peer, R", p["exchanges"]))
    add("")
    add(
        "Floor: n request bytes x 50 ms, + 400 ms where a reply is read. Wall: from one prompt to the next "
        "(the first from the moment its input was written). CPU: the scheduler's account of the program "
        "(/proc/PID/schedstat) across the exchanges, divided by their number. Settle: from the last request "
        "byte's `write()` to the program's next look at the port (`poll`, `select` or `read` on it); "
        f"{fmt(DESIGN_SETTLE_MS, 0)} ms by design."
    )
    add("")
    if "diagnostics" in t:
        d = t["diagnostics"]
        add("### Diagnostics: where the spread comes from")
        add("")
        add(f"{d[0]['n']} settings exchanges each, the four runs at the same time so that they meet the same load.")
        add("")
        add("| tolvaner, settings | received: min | median | p99 | max | below 49.5 | above 52 | dropped | sent: p99 | max | wall / floor | worst single |")
        add("|---|---|---|---|---|---|---|---|---|---|---|---|")
        for e in d:
            s, w = e["received"], e["sent"]
            add(
                f"| {e['name']} | {fmt(s['min'])} | {fmt(s['median'], 2)} | {fmt(s['p99'])} | {fmt(s['max'])} "
                f"| {s['below_49_5']} | {s['above_52']} | {s['dropped']} | {fmt(w['p99'], 2)} | {fmt(w['max'], 2)} "
                f"| {fmt(e['ratio_of_totals'], 4)} | {fmt(e['ratio']['max'], 4)} |"
            )
        add("")
        pd = r["pty_delivery_us"]
        add(
            f"A byte written to a pseudo-terminal reached its other end after (us) min {fmt(pd['min'], 0)}, "
            f"median {fmt(pd['median'], 0)}, p99 {fmt(pd['p99'], 0)}, max {fmt(pd['max'], 0)} "
            f"({pd['n']} bytes, writer and reader in the measuring script{' at SCHED_FIFO' if r['realtime'] else ''}). "
            f"One 2 ms sleep and its wake-up, alone in a process, costs {fmt(r['sleep_cost_us'], 0)} us of CPU."
        )
        add("")
    add("### Start, memory and size")
    add("")
    su, ps, fl = t["startup"], p["startup"], r["spawn_floor"]
    b = t["binary"]
    fs = su["first_prompt_ms"]
    add("| | tolvaner | pyserial peer |")
    add("|---|---|---|")
    add(
        f"| start to first prompt, ms: min / median / max | {fmt(fs['min'], 2)} / {fmt(fs['median'], 2)} / {fmt(fs['max'], 2)} "
        f"| {fmt(ps['first_prompt_ms']['min'])} / {fmt(ps['first_prompt_ms']['median'])} / {fmt(ps['first_prompt_ms']['max'])} |"
    )
    add(f"| CPU from start to the first prompt, median ms | {fmt(su['cpu_ms']['median'], 2)} | {fmt(ps['cpu_ms']['median'], 1)} |")
    add(f"| peak resident memory (VmHWM) at the first prompt, MiB | {fmt(su['hwm_kib'] / 1024, 2)} | {fmt(ps['hwm_kib'] / 1024, 1)} |")
    add(f"| the same after the exchanges (call-logging library loaded), MiB | {fmt(t['peak_kib'] / 1024, 2)} | {fmt(p['peak_kib'] / 1024, 1)} |")
    add(
        f"| size | {b['file']} bytes as built, with debug information; {b['stripped']} stripped (text {b['text']}, data {b['data']}, bss {b['bss']}) "
        f"| {p['script_size']} bytes of script, plus the interpreter and pyserial |"
    )
    add("")
    add(
        f"Start: from just before `posix_spawn` until the prompt has arrived on a pipe, {r['starts']} runs "
        f"(the peer {p['starts']})."
    )
    add("")
    add("Start of other programs, spawned the same way, taking turns with the runs above:")
    add("")
    add("| program | start to first prompt, ms: min / median / max | CPU to the first prompt, median ms | peak resident memory, MiB |")
    add("|---|---|---|---|")
    for name, sv in t["startup_variants"].items():
        f = sv["first_prompt_ms"]
        add(f"| {name} | {fmt(f['min'], 2)} / {fmt(f['median'], 2)} / {fmt(f['max'], 2)} | {fmt(sv['cpu_ms']['median'], 2)} | {fmt(sv['hwm_kib'] / 1024, 2)} |")
    add(f"| `/bin/echo` printing the same prompt | {fmt(fl['min'], 2)} / {fmt(fl['median'], 2)} / {fmt(fl['max'], 2)} | | |")
    add("")
    rm = r["read_mode"]
    add("### The eight items: the console and `--read`")
    add("")
    add(f"Each program run whole, from spawn to exit, {rm['read']['wall_ms']['n']} times, against a simulator of its own that answers within a millisecond.")
    add("")
    add("| run | wall ms: min / median / max | gaps received: min / median / max ms | below 49.5 | from write to write, frames included: min ms | below 50 | requests |")
    add("|---|---|---|---|---|---|---|")
    for name, label in (("console", "console, `i c r v r s r m r d r k r a x`"), ("read", "`tolvaner --read`")):
        w, gg, ss = rm[name]["wall_ms"], rm[name]["gaps"], rm[name]["sent"]
        add(
            f"| {label} | {fmt(w['min'])} / {fmt(w['median'])} / {fmt(w['max'])} | {fmt(gg['min'], 2)} / {fmt(gg['median'], 2)} / "
            f"{fmt(gg['max'], 2)} | {gg['below_49_5']} | {fmt(ss['min'], 2)} | {ss['below_50']} | {rm[name]['requests']} |"
        )
    add("")
    add(
        "The same eight requests are 30 bytes: 29 gaps of 50 ms, 1450 ms, with no settle time at all. "
        "`--read` waits for each reply inside the 50 ms after a request's last byte, which the next request's "
        "first byte waits out; the console sleeps 400 ms more after each."
    )
    add("")
    add("### Targets")
    add("")
    g = t["received"]
    add("| target | figure | |")
    add("|---|---|---|")
    add(f"| gap median within 0.5 ms of 50 ms | {fmt(g['median'], 2)} ms received | {verdict(v['gap_median'])} |")
    add(f"| gap p99 at most 52 ms | {fmt(g['p99'], 2)} ms received ({fmt(t['sent']['p99'], 2)} sent) | {verdict(v['gap_p99'])} |")
    add(
        f"| no gap below 49.5 ms as received | min {fmt(g['min'], 2)} ms, {g['below_49_5']} of {g['n']} below "
        f"(sent: min {fmt(t['sent']['min'], 2)}, {t['sent']['below_50']} below 50) | {verdict(v['gap_min'])} |"
    )
    wall = verdict(v["wall_ratio"])
    if v["wall_ratio"] and not v["wall_every_exchange"]:
        wall = "met on average, **not by every exchange**"
    add(
        f"| wall per exchange at most 1.01 x floor | worst kind {fmt(v['worst_kind_ratio'], 4)}; worst single exchange "
        f"{fmt(v['worst_ratio'], 4)} | {wall} |"
    )
    add(f"| CPU under 1 ms per exchange | worst kind {fmt(v['worst_cpu'], 3)} ms | {verdict(v['cpu'])} |")
    add(f"| peak resident memory at most 2 MiB | {fmt(t['peak_kib'] / 1024, 2)} MiB | {verdict(v['rss'])} |")
    add(
        f"| `--read` of the eight items at most 35 % of the console's time | {fmt(rm['ratio'] * 100)} % "
        f"({fmt(rm['read']['wall_ms']['median'])} of {fmt(rm['console']['wall_ms']['median'])} ms, median) | {verdict(v['read_mode'])} |"
    )
    add(
        f"| `--read` keeps the byte gap: none below 50 ms from write to write, frames included | min {fmt(rm['read']['sent']['min'], 2)} ms "
        f"(received: min {fmt(rm['read']['gaps']['min'], 2)}, {rm['read']['gaps']['below_49_5']} below 49.5) | {verdict(v['read_mode_gaps'])} |"
    )
    add(f"| first prompt within 5 ms of start | median {fmt(fs['median'], 2)} ms, max {fmt(fs['max'], 2)} ms | {verdict(v['first_prompt'])} |")
    return "\n".join(lines) + "\n"


def write_doc(doc_path, table):
    try:
        text = open(doc_path).read()
    except FileNotFoundError:
        text = f"# Benchmarks\n\n{BEGIN_MARK}\n{END_MARK}\n"
    if BEGIN_MARK not in text or END_MARK not in text:
        text += f"\n{BEGIN_MARK}\n{END_MARK}\n"
    head, rest = text.split(BEGIN_MARK, 1)
    _, tail = rest.split(END_MARK, 1)
    with open(doc_path, "w") as f:
        f.write(head + BEGIN_MARK + "\n" + table + END_MARK + tail)


def public(value):
    """results.json without the raw gap lists."""
    if isinstance(value, dict):
        return {k: public(v) for k, v in value.items() if not k.startswith("_")}
    if isinstance(value, list):
        return [public(v) for v in value]
    return value


# ---------------------------------------------------------------------- main


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", required=True, help="folder with tolvaner and tolvaner-sim")
    parser.add_argument("--work", required=True, help="folder for raw data")
    parser.add_argument("--docs", required=True, help="folder of benchmarks.md")
    parser.add_argument("--n", type=int, default=36, help="exchanges of each kind (default 36)")
    parser.add_argument("--starts", type=int, default=20, help="runs measuring the start (default 20)")
    parser.add_argument("--diag-n", type=int, default=60, help="settings exchanges of each diagnostic run (default 60)")
    parser.add_argument("--read-runs", type=int, default=5, help="runs of the eight items, console and --read (default 5)")
    parser.add_argument("--static-build", help="folder with a statically linked tolvaner, to compare its start")
    parser.add_argument("--no-doc", action="store_true", help="print the results but leave docs/ alone")
    args = parser.parse_args()

    def log(msg):
        print(f"bench: {msg}", file=sys.stderr, flush=True)

    n = args.n
    results = {"n": n, "starts": args.starts, "machine": machine_info(args.build)}
    bench = Bench(args)
    results["realtime"] = bench.realtime
    log(f"{n} exchanges of each kind; simulator {'at SCHED_FIFO' if bench.realtime else 'at normal priority'}")
    t = results["tolvaner"] = {"exchanges": {}, "binary": binary_size(bench.tolvaner[0], bench.work)}

    log("start-up")
    with bench.sim("start") as device:
        variants = [("tolvaner", bench.tolvaner + [device.port], PROMPT, None, True)]
        if bench.fifo:
            variants.append(("tolvaner at SCHED_FIFO", bench.tolvaner + [device.port], PROMPT, bench.fifo, True))
        if args.static_build:
            static = os.path.abspath(os.path.join(args.static_build, "tolvaner"))
            variants.append(("tolvaner linked statically", [static, device.port], PROMPT, None, True))
        variants.append(("/bin/echo", ["/bin/echo", "-n", PROMPT.decode()], PROMPT, None, False))
        starts = bench.startups(variants, args.starts)
    t["startup"] = starts.pop("tolvaner")
    results["spawn_floor"] = starts.pop("/bin/echo")["first_prompt_ms"]
    t["startup_variants"] = starts

    p = results["peer"] = {"script_size": os.path.getsize(bench.peer[1]), "starts": max(5, args.starts // 2)}
    with bench.sim("peer-start") as device:
        variants = [("peer", bench.peer + [device.port], PEER_PROMPT, None, True)]
        p["startup"] = bench.startups(variants, p["starts"])["peer"]

    received, sent, dropped, requests = [], [], 0, 0
    for kind in KINDS:
        if kind == "R":
            # The peer does the same readbacks at the same time, so that both
            # meet the same load.
            log("tolvaner, R, and the pyserial peer beside it")
            barrier = threading.Barrier(2)
            with concurrent.futures.ThreadPoolExecutor(2) as pool:
                ours = pool.submit(bench.exchanges, kind, bench.tolvaner, PROMPT, exchange_plan(kind, n), barrier=barrier)
                theirs = pool.submit(bench.exchanges, "peer", bench.peer, PEER_PROMPT, peer_plan(n), barrier=barrier)
                e = t["exchanges"][kind] = ours.result()
                p["exchanges"] = theirs.result()
        else:
            log(f"tolvaner, {kind}")
            e = t["exchanges"][kind] = bench.exchanges(kind, bench.tolvaner, PROMPT, exchange_plan(kind, n))
        received += e["_received"]
        sent += e["_sent"]
        dropped += e["received"]["dropped"]
        requests += n
    t["received"] = gap_summary(received, dropped)
    t["sent"] = gap_summary(sent)
    t["requests"] = requests

    log("the eight items: the console's queries and --read")
    results["read_mode"] = read_mode(bench, args.read_runs)

    if bench.realtime:
        log("diagnostics: four settings runs side by side")
        t["diagnostics"] = diagnostics(bench, args.diag_n)
    results["sleep_cost_us"] = sleep_cost_us()
    results["pty_delivery_us"] = pty_delivery_us()

    results["machine"]["load_after"] = open("/proc/loadavg").read().split()[:3]
    busy, total = (a - b for a, b in zip(cpu_ticks(), results["machine"]["ticks_before"]))
    results["machine"]["busy_percent"] = 100.0 * busy / max(1, total)

    ex = list(t["exchanges"].values())
    t["peak_kib"] = max(t["startup"]["hwm_kib"], *[e["hwm_kib"] for e in ex])
    p["peak_kib"] = max(p["startup"]["hwm_kib"], p["exchanges"]["hwm_kib"])
    g = t["received"]
    results["verdicts"] = v = {
        "gap_median": abs(g["median"] - 50.0) <= 0.5,
        "gap_p99": g["p99"] <= 52.0,
        "gap_min": g["below_49_5"] == 0,
        "worst_kind_ratio": max(e["ratio_of_totals"] for e in ex),
        "worst_ratio": max(e["ratio"]["max"] for e in ex),
        "worst_cpu": max(e["cpu_ms_per_exchange"] for e in ex),
        "rss": t["peak_kib"] <= 2048,
        "first_prompt": t["startup"]["first_prompt_ms"]["max"] <= 5.0,
        "replies_ok": all(e["faults"] == 0 and e["status"] == 0 for e in ex + [p["exchanges"]]),
    }
    v["read_mode"] = results["read_mode"]["ratio"] <= 0.35 and results["read_mode"]["read"]["ok"]
    v["read_mode_gaps"] = results["read_mode"]["read"]["sent"]["below_50"] == 0
    v["wall_ratio"] = v["worst_kind_ratio"] <= 1.01
    v["wall_every_exchange"] = v["worst_ratio"] <= 1.01
    v["cpu"] = v["worst_cpu"] < 1.0

    with open(os.path.join(bench.work, "results.json"), "w") as f:
        json.dump(public(results), f, indent=1)

    table = markdown(results)
    if not args.no_doc:
        series = [
            ("tolvaner, received", received),
            ("tolvaner, sent", sent),
            ("pyserial peer, received", p["exchanges"]["_received"]),
        ]
        plot(series, os.path.join(os.path.abspath(args.docs), "benchmarks-gaps.png"), bench.work)
        write_doc(os.path.join(args.docs, "benchmarks.md"), table)
    print(table)
    for name, ok in v.items():
        if ok is False:
            log(f"target missed: {name}")


if __name__ == "__main__":
    main()
