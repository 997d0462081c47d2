"""The measurements: exchanges back to back, starts, the eight items, and the
diagnostics of where the spread comes from."""
import concurrent.futures
import os
import select
import statistics
import subprocess
import termios
import threading
import time

from .constants import BYTE_GAP_MS, PROMPT, READBACK_ITEMS, SETTINGS, SETTLE_MS
from .parsing import receiver_view, sender_view, split_requests
from .programs import Session, Simulator, now_ns
from .scheduling import make_self_realtime, realtime_possible
from .stats import gap_summary, summary


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
        here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))  # bench/
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
