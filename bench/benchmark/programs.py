"""The programs measured, each on pipes, and the simulated device they talk to."""
import os
import re
import select
import shutil
import signal
import subprocess
import time

from .scheduling import set_slice


def now_ns():
    return time.monotonic_ns()


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
    """tolvaner-sim serving on its own pseudo-terminal, its trace to a file;
    `extra` are more of its options (--link PATH)."""

    def __init__(self, sim_path, trace_path, realtime, extra=()):
        argv = [sim_path, "--trace", *extra]
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
