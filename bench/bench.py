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
import concurrent.futures
import json
import os
import sys
import threading

sys.dont_write_bytecode = True  # leaves no __pycache__ in the source tree

from benchmark.constants import KINDS, PEER_PROMPT, PROMPT  # noqa: E402
from benchmark.machine import binary_size, cpu_ticks, machine_info  # noqa: E402
from benchmark.procedures import (  # noqa: E402
    Bench,
    diagnostics,
    exchange_plan,
    peer_plan,
    pty_delivery_us,
    read_mode,
    sleep_cost_us,
)
from benchmark.reports import markdown, plot, public, write_doc  # noqa: E402
from benchmark.stats import gap_summary  # noqa: E402


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
