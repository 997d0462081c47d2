"""The long-running program: `tolvaner --serve` sampling simulated meters
once a period, measured from outside while it idles and while many clients
scrape it at once. Everything goes over loopback, and every request loop has
a fixed count.

What is measured, per phase:
  memory   VmRSS and VmHWM from /proc/PID/status, and where the resident
           pages are (/proc/PID/smaps, grouped by mapping);
  CPU      the scheduler's account of every thread (/proc/PID/task/*/schedstat)
           at the start and the end of the phase;
  wire     every request the simulated meters received (their --trace): the
           gaps between its bytes, and when each poll began, so that the
           intervals between polls can be held against the period;
  HTTP     the latency of each /metrics request, from sending it to having
           read the whole answer, as the client saw it.
"""
import http.client
import json
import os
import re
import signal
import subprocess
import threading
import time

from .parsing import TRACE_LINE
from .programs import Simulator
from .stats import gap_summary, percentile, summary

SERVING = re.compile(r"tolvaner: serving http://([^/\s]+)/")

# What a poll begins with: the identity ('I', asked first when the settings
# are read again) or the DAC value ('R D', the first of the live values).
IDENTITY = "49"
READ_DAC = ("52", "01", "44")
READ_INTERVAL = ("52", "01", "41")  # the last of the settings


def status_fields(pid):
    fields = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            name, _, value = line.partition(":")
            if name in ("VmRSS", "VmHWM", "Threads"):
                fields[name] = int(value.split()[0])
    return fields


def rollup(pid):
    """Resident memory counted three ways (KiB): Rss, Pss (shared pages
    divided among the processes that map them), private (Uss)."""
    values = {}
    with open(f"/proc/{pid}/smaps_rollup") as f:
        for line in f:
            name, _, value = line.partition(":")
            if value.strip().endswith("kB"):
                values[name] = int(value.split()[0])
    return {
        "rss": values.get("Rss", 0),
        "pss": values.get("Pss", 0),
        "private": values.get("Private_Clean", 0) + values.get("Private_Dirty", 0),
        "anonymous": values.get("Anonymous", 0),
    }


def mapping_group(name, size_kib, perms):
    base = os.path.basename(name)
    if name == "":
        # A thread's stack is an 8 MiB mapping (the default stack size) of
        # which only the pages used are resident.
        return "thread stacks (anonymous, 8 MiB reserved each)" if size_kib == 8192 else "other anonymous memory"
    if name == "[heap]":
        return "other anonymous memory"
    if name.startswith("["):
        return "main thread's stack, vdso" if name in ("[stack]", "[vdso]", "[vvar]") else name
    if base.startswith(("libcrypto", "libssl")):
        return "libcrypto, libssl (TLS)"
    if base.startswith(("libc.so", "libm.so", "ld-linux")):
        return "libc, libm, dynamic loader"
    if base.startswith(("libstdc++", "libgcc_s")):
        return "libstdc++, libgcc_s"
    if base.startswith("libcpp-httplib"):
        return "cpp-httplib"
    if base == "tolvaner":
        return "tolvaner itself (code and data)"
    if base.startswith(("libz", "libbrotli", "libmosquitto")):
        return "zlib, brotli, libmosquitto"
    return "other: " + base


def smaps_groups(pid):
    """Resident KiB of the process by what is mapped."""
    groups = {}
    name, size = "", 0
    perms = ""
    header = re.compile(r"^[0-9a-f]+-[0-9a-f]+ (\S+) \S+ \S+ \S+(?:\s+(.*))?$")
    with open(f"/proc/{pid}/smaps") as f:
        for line in f:
            m = header.match(line)
            if m:
                perms, name = m[1], (m[2] or "").strip()
                continue
            key, _, value = line.partition(":")
            if key == "Size":
                size = int(value.split()[0])
            elif key == "Rss":
                group = mapping_group(name, size, perms)
                groups[group] = groups.get(group, 0) + int(value.split()[0])
    return dict(sorted(groups.items(), key=lambda kv: -kv[1]))


class Service:
    """tolvaner --serve on a free loopback port, its standard error to a
    file; started at normal priority, as a service runs."""

    def __init__(self, tolvaner, ports, period_s, work, env=None):
        self.err_path = os.path.join(work, "serve-stderr.txt")
        self.err = open(self.err_path, "w")
        self.out = open(os.path.join(work, "serve-stdout.txt"), "w")
        self.argv = [tolvaner, "--serve", "127.0.0.1:0", "--watch", str(period_s)] + list(ports)
        self.t0 = time.monotonic()
        self.proc = subprocess.Popen(
            self.argv, stdin=subprocess.DEVNULL, stdout=self.out, stderr=self.err, env=dict(os.environ, **(env or {}))
        )
        self.pid = self.proc.pid
        deadline = time.monotonic() + 15
        while True:
            with open(self.err_path) as f:
                found = SERVING.search(f.read())
            if found:
                break
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                with open(self.err_path) as f:
                    raise RuntimeError(f"tolvaner --serve did not start:\n{f.read()[-2000:]}")
            time.sleep(0.02)
        self.start_line_s = time.monotonic() - self.t0
        host, _, port = found[1].rpartition(":")
        self.host, self.port = host, int(port)

    def threads(self):
        """CPU ns of every thread so far, by thread id."""
        out = {}
        for tid in os.listdir(f"/proc/{self.pid}/task"):
            try:
                with open(f"/proc/{self.pid}/task/{tid}/schedstat") as f:
                    out[int(tid)] = int(f.read().split()[0])
            except OSError:
                pass  # a thread that ended just now
        return out

    def port_fds(self, names):
        """The descriptor each port is open on, by its name (/dev/pts/N)."""
        found = {}
        for fd in os.listdir(f"/proc/{self.pid}/fd"):
            try:
                target = os.readlink(f"/proc/{self.pid}/fd/{fd}")
            except OSError:
                continue
            if target in names:
                found[int(fd)] = names.index(target)
        return found

    def connection(self, timeout=30):
        return http.client.HTTPConnection(self.host, self.port, timeout=timeout)

    def stop(self, timeout=15):
        """SIGTERM, as a service manager stops it; the exit status and how
        long it took."""
        t = time.monotonic()
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.err.close()
        self.out.close()
        return self.proc.returncode, time.monotonic() - t


def get(connection, path):
    connection.request("GET", path)
    response = connection.getresponse()
    return response.status, response.read()


def scrape(service, clients, requests, path):
    """clients threads, each on its own kept-alive connection, each sending
    `requests` requests one after the other, all starting together. Returns
    the latencies (ms), the failures and the wall time (s)."""
    latencies = [[] for _ in range(clients)]
    failures = [0] * clients
    barrier = threading.Barrier(clients + 1)

    def client(i):
        connection = service.connection()
        try:
            connection.connect()
        except OSError:
            failures[i] += requests
            barrier.wait(timeout=60)
            return
        barrier.wait(timeout=60)
        for _ in range(requests):
            t = time.perf_counter_ns()
            try:
                status, body = get(connection, path)
            except (OSError, http.client.HTTPException):
                failures[i] += 1
                connection.close()
                connection = service.connection()
                continue
            latencies[i].append((time.perf_counter_ns() - t) / 1e6)
            if status != 200 or not body:
                failures[i] += 1
        connection.close()

    threads = [threading.Thread(target=client, args=(i,)) for i in range(clients)]
    for t in threads:
        t.start()
    barrier.wait(timeout=60)
    t0 = time.monotonic()
    for t in threads:
        t.join()
    return [x for per in latencies for x in per], sum(failures), time.monotonic() - t0


class MemoryWatch:
    """VmRSS every `every_s` seconds on a thread of its own, until stopped."""

    def __init__(self, pid, every_s=1.0):
        self.pid, self.every_s = pid, every_s
        self.samples = []  # (monotonic s, VmRSS KiB)
        self.done = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while not self.done.is_set():
            try:
                self.samples.append((time.monotonic(), status_fields(self.pid)["VmRSS"]))
            except (OSError, KeyError):
                return
            self.done.wait(self.every_s)

    def between(self, t0, t1):
        return [kib for t, kib in self.samples if t0 <= t <= t1]

    def stop(self):
        self.done.set()
        self.thread.join()


def trace_requests(path, start, end):
    """The requests the simulated meter received between two offsets of its
    trace: (time of the first byte, s; bytes; gaps, ms; note)."""
    with open(path, "rb") as f:
        f.seek(start)
        text = f.read(max(0, end - start)).decode(errors="replace")
    found = []
    for line in text.splitlines():
        m = TRACE_LINE.match(line)
        if not m or m["dir"] != "rx":
            continue
        gaps = [float(g) for g in m["gaps"].split()] if m["gaps"] else []
        found.append((float(m["at"]) - sum(gaps) / 1000.0, m["bytes"].split(), gaps, m["note"] or ""))
    return found


def polls(requests):
    """When each poll began (s, the first byte of its first request at the
    meter), and whether it read the identity and settings again."""
    starts = []
    previous = None
    for at, data, _, _ in requests:
        if data[:1] == [IDENTITY]:
            starts.append((at, True))
        elif tuple(data[:3]) == READ_DAC and (previous is None or tuple(previous[:3]) != READ_INTERVAL):
            starts.append((at, False))
        previous = data
    return starts


def schedule(per_meter_starts, period_s):
    """The intervals (ms) between consecutive polls of each meter, kept apart
    after a poll that read the settings again; and how late each poll began
    against the meter's schedule (its polls at start + k x period), in ms,
    the schedule's start taken as the earliest any poll allowed."""
    plain, after_settings, lateness, skipped, skipped_after_settings = [], [], [], 0, 0
    for starts in per_meter_starts:
        if not starts:
            continue
        first = starts[0][0]
        offsets = []
        for at, _ in starts:
            k = round((at - first) / period_s)
            offsets.append(at - k * period_s)
        base = min(offsets)
        lateness += [(o - base) * 1000.0 for o in offsets]
        for (a, settings), (b, _) in zip(starts, starts[1:]):
            interval = (b - a) * 1000.0
            (after_settings if settings else plain).append(interval)
            missed = max(0, round(interval / (period_s * 1000.0)) - 1)
            if settings:
                skipped_after_settings += missed
            else:
                skipped += missed
    return {
        "intervals": summary(plain),
        "after_settings": summary(after_settings),
        "lateness": summary(lateness),
        "skipped": skipped,
        "skipped_after_settings": skipped_after_settings,
    }


def read_write_log(path):
    """(ns, fd) of every paced byte the program wrote, from write_log.c."""
    found = []
    try:
        with open(path) as f:
            for line in f:
                parts = line.split()
                if len(parts) == 2:
                    found.append((int(parts[0]), int(parts[1])))
    except FileNotFoundError:
        pass
    return found


def sender_gaps(writes, fds, t0_ns, t1_ns):
    """From one byte's write() to the next one's on the same port (ms), from
    the last byte of a request to the first of the next included, for writes
    between t0 and t1; the device needs 50 ms after every byte, whichever
    request it belongs to."""
    last, gaps = {}, []
    for ns, fd in writes:
        if fd not in fds:
            continue
        if fd in last and t0_ns <= last[fd] and ns <= t1_ns:
            gaps.append((ns - last[fd]) / 1e6)
        last[fd] = ns
    return gaps


class Phase:
    """Marks a phase's start and end: trace offsets, thread CPU, time."""

    def __init__(self, name, service, traces):
        self.name, self.service, self.traces = name, service, traces
        self.t0 = time.monotonic()
        self.t0_ns = time.monotonic_ns()
        self.cpu0 = service.threads()
        self.offsets0 = [os.path.getsize(p) for p in traces]

    def end(self):
        self.t1 = time.monotonic()
        self.t1_ns = time.monotonic_ns()
        self.cpu1 = self.service.threads()
        self.offsets1 = [os.path.getsize(p) for p in self.traces]
        return self

    def requests(self):
        return [trace_requests(p, a, b) for p, a, b in zip(self.traces, self.offsets0, self.offsets1)]

    def cpu_ms(self):
        return {tid: (self.cpu1[tid] - self.cpu0.get(tid, 0)) / 1e6 for tid in self.cpu1}


def thread_roles(tids, pid, meters):
    """The program's threads by what they do, from the order they start in:
    the main thread, then the web server's (its library's accepting thread,
    the reception, the workers), then one sampling loop per meter."""
    ordered = sorted(tids)
    roles = {}
    samplers = ordered[-meters:]
    for tid in ordered:
        if tid == pid:
            roles[tid] = "main"
        elif tid in samplers:
            roles[tid] = "sampling loops"
        else:
            roles[tid] = "web server"
    return roles


def wire_summary(phase, period_s, writes, fds):
    requests = phase.requests()
    gaps, dropped, count = [], 0, 0
    for per_meter in requests:
        for _, _, g, note in per_meter:
            gaps += g
            count += 1
            if "dropped" in note or "bad checksum" in note:
                dropped += 1
    sent = sender_gaps(writes, fds, phase.t0_ns, phase.t1_ns)
    result = {"requests": count, "gaps": gap_summary(gaps, dropped), "sent": gap_summary(sent)}
    # Inside a poll every byte follows the one before after the device's
    # gap (a reply is read within it); a poll follows the last after most of
    # a period. What lies between is the program's own delay, such as a wait
    # for a CPU, or the settle time after a request with no reply.
    result["sent_in_poll"] = summary([g for g in sent if g < 400.0])
    result["sent_stalls"] = sum(1 for g in sent if 100.0 < g < 400.0)
    result.update(schedule([polls(r) for r in requests], period_s))
    result["polls"] = sum(len(polls(r)) for r in requests)
    return result


def cpu_summary(phase, roles, requests=0):
    by_role = {}
    for tid, ms in phase.cpu_ms().items():
        role = roles.get(tid, "web server")
        by_role[role] = by_role.get(role, 0.0) + ms
    seconds = phase.t1 - phase.t0
    total = sum(by_role.values())
    out = {
        "seconds": seconds,
        "cpu_ms": total,
        "by_role_ms": by_role,
        "core_percent": 100.0 * total / 1000.0 / seconds,
        "cpu_s_per_hour": total / 1000.0 / seconds * 3600.0,
    }
    if requests:
        out["web_us_per_request"] = 1000.0 * by_role.get("web server", 0.0) / requests
    return out


def readings_fresh(service):
    """Whether every meter is up, from /api/readings, and the readings."""
    connection = service.connection()
    try:
        status, body = get(connection, "/api/readings")
    finally:
        connection.close()
    data = json.loads(body)
    return status == 200 and all(m["status"] == "up" for m in data["meters"]), data


def run(build, work, meters=4, period_s=1, idle_s=180, scrape_every_s=15, clients=50, requests=40,
        load_min_s=60, load_max_rounds=100, after_s=30, realtime=True, log=print):
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))  # bench/
    tolvaner = os.path.abspath(os.path.join(build, "tolvaner"))
    sim_path = os.path.abspath(os.path.join(build, "tolvaner-sim"))
    os.makedirs(work, exist_ok=True)
    results = {
        "meters": meters,
        "period_s": period_s,
        "clients": clients,
        "requests_per_client": requests,
        "realtime_meters": realtime,
    }
    sims = []
    try:
        links = []
        for i in range(meters):
            link = os.path.join(work, f"meter{i + 1}")
            if os.path.lexists(link):
                os.unlink(link)
            sims.append(Simulator(sim_path, os.path.join(work, f"trace-meter{i + 1}.txt"), realtime, ["--link", link]))
            links.append(link)
        traces = [s.trace_path for s in sims]
        shim = os.path.join(work, "write_log.so")
        subprocess.run(["cc", "-O2", "-shared", "-fPIC", "-o", shim, os.path.join(here, "write_log.c"), "-ldl"], check=True)
        write_log = os.path.join(work, "writes.txt")
        if os.path.exists(write_log):
            os.unlink(write_log)
        service = Service(tolvaner, links, period_s, work, {"LD_PRELOAD": shim, "BENCH_WRITE_LOG": write_log})
        memory = MemoryWatch(service.pid)
        try:
            results["start_line_s"] = service.start_line_s
            # Every meter read once, all items, then a little more.
            deadline = time.monotonic() + 30
            while not readings_fresh(service)[0]:
                if time.monotonic() > deadline:
                    raise RuntimeError("not every meter came up within 30 s")
                time.sleep(0.5)
            time.sleep(5)
            roles = thread_roles(service.threads(), service.pid, meters)
            fds = service.port_fds([s.port for s in sims])
            if len(fds) != meters:
                raise RuntimeError(f"found {len(fds)} of the {meters} ports among the program's descriptors")
            results["threads"] = {role: list(roles.values()).count(role) for role in sorted(set(roles.values()))}
            results["memory_start"] = {**status_fields(service.pid), **rollup(service.pid)}

            log(f"serve: idle, {idle_s} s; /metrics once every {scrape_every_s} s")
            phase = Phase("idle", service, traces)
            scrapes = 0
            while time.monotonic() - phase.t0 < idle_s:
                # A connection each time: the server closes one that stays
                # idle for longer than its request timeout.
                connection = service.connection()
                try:
                    status, _ = get(connection, "/metrics")
                    scrapes += status == 200
                finally:
                    connection.close()
                left = idle_s - (time.monotonic() - phase.t0)
                time.sleep(max(0.0, min(scrape_every_s, left)))
            phase.end()
            idle = results["idle"] = {
                "scrapes": scrapes,
                "cpu": cpu_summary(phase, roles, scrapes),
                "wire": wire_summary(phase, period_s, read_write_log(write_log), fds),
                "rss": summary(memory.between(phase.t0, phase.t1)),
                "status": status_fields(service.pid),
                "rollup": rollup(service.pid),
                "groups": smaps_groups(service.pid),
            }
            log(f"serve: idle CPU {idle['cpu']['core_percent']:.3f} % of a core, VmRSS {idle['status']['VmRSS']} KiB")

            got, failed, _ = scrape(service, 1, 200, "/metrics")
            results["lone"] = {"latency_ms": summary(got), "p50": percentile(got, 50), "failures": failed}

            log(f"serve: {clients} clients x {requests} requests of /metrics, rounds for at least {load_min_s} s")
            phase = Phase("load", service, traces)
            latencies, failures, rounds, walls = [], 0, 0, []
            while rounds < load_max_rounds and (rounds == 0 or time.monotonic() - phase.t0 < load_min_s):
                got, failed, wall = scrape(service, clients, requests, "/metrics")
                latencies += got
                failures += failed
                walls.append(wall)
                rounds += 1
            phase.end()
            total = rounds * clients * requests
            results["load"] = {
                "rounds": rounds,
                "requests": total,
                "failures": failures,
                "latency_ms": summary(latencies),
                "p50": percentile(latencies, 50) if latencies else None,
                "requests_per_s": total / sum(walls),
                "cpu": cpu_summary(phase, roles, total),
                "wire": wire_summary(phase, period_s, read_write_log(write_log), fds),
                "status": status_fields(service.pid),
                "rollup": rollup(service.pid),
                "fresh": readings_fresh(service)[0],
            }
            log(f"serve: p50 {results['load']['p50']:.2f} ms, p99 {results['load']['latency_ms']['p99']:.2f} ms")

            log("serve: the page's history, 4 clients x 10 requests of /api/history")
            got, failed, _ = scrape(service, 4, 10, "/api/history")
            results["history"] = {"latency_ms": summary(got), "failures": failed, "status": status_fields(service.pid)}

            log(f"serve: after, {after_s} s with no clients")
            phase = Phase("after", service, traces)
            time.sleep(after_s)
            phase.end()
            results["after"] = {
                "cpu": cpu_summary(phase, roles),
                "wire": wire_summary(phase, period_s, read_write_log(write_log), fds),
                "status": status_fields(service.pid),
                "rollup": rollup(service.pid),
                "groups": smaps_groups(service.pid),
            }
        finally:
            memory.stop()
            code, took = service.stop()
        results["exit"] = {"status": code, "seconds": took}
        with open(service.err_path) as f:
            results["stderr_lines"] = f.read().splitlines()
    finally:
        for s in sims:
            s.stop()
    return results
