#!/usr/bin/python3
"""Benchmark of the long-running program, `tolvaner --serve`: simulated
meters sampled once a second, its memory and CPU while it idles, the latency
of /metrics with many clients at once, and whether the bytes on the wire and
the polls keep their timing while it is scraped. Loopback only; every
request loop has a fixed count.

Run through `scripts/bench --serve`, which builds the programs first. Raw
data (the simulators' traces, the paced writes, results-serve.json) goes to
the work folder; the results go between the serve markers in
docs/benchmarks.md. Takes about five minutes with the defaults.
"""
import argparse
import json
import os
import sys

sys.dont_write_bytecode = True  # leaves no __pycache__ in the source tree

from benchmark.machine import cpu_ticks, machine_info  # noqa: E402
from benchmark.reports import write_doc  # noqa: E402
from benchmark.scheduling import realtime_possible  # noqa: E402
from benchmark.serve import run  # noqa: E402
from benchmark.serve_report import SERVE_BEGIN, SERVE_END, markdown  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", required=True, help="folder with tolvaner and tolvaner-sim")
    parser.add_argument("--work", required=True, help="folder for raw data")
    parser.add_argument("--docs", required=True, help="folder of benchmarks.md")
    parser.add_argument("--meters", type=int, default=4, help="simulated meters (default 4)")
    parser.add_argument("--idle", type=int, default=180, help="seconds of the idle phase, CPU and memory (default 180)")
    parser.add_argument("--clients", type=int, default=50, help="concurrent /metrics clients (default 50)")
    parser.add_argument("--requests", type=int, default=40, help="requests of each client in a round (default 40)")
    parser.add_argument("--load", type=int, default=60, help="rounds are repeated for at least this many seconds (default 60), 100 at most")
    parser.add_argument("--after", type=int, default=30, help="seconds with no clients after the load (default 30)")
    parser.add_argument("--no-doc", action="store_true", help="print the results but leave docs/ alone")
    parser.add_argument("--report-only", action="store_true", help="rewrite the results from the work folder's results-serve.json")
    args = parser.parse_args()

    def log(msg):
        print(f"bench: {msg}", file=sys.stderr, flush=True)

    path = os.path.join(os.path.abspath(args.work), "results-serve.json")
    if args.report_only:
        with open(path) as f:
            results = json.load(f)
    else:
        machine = machine_info(args.build)
        results = run(
            args.build,
            os.path.abspath(args.work),
            meters=args.meters,
            idle_s=args.idle,
            clients=args.clients,
            requests=args.requests,
            load_min_s=args.load,
            after_s=args.after,
            realtime=realtime_possible(),
            log=log,
        )
        machine["load_after"] = open("/proc/loadavg").read().split()[:3]
        busy, total = (a - b for a, b in zip(cpu_ticks(), machine["ticks_before"]))
        machine["busy_percent"] = 100.0 * busy / max(1, total)
        results["machine"] = machine
        with open(path, "w") as f:
            json.dump(results, f, indent=1)
    table = markdown(results)
    if args.no_doc:
        print(table)
    else:
        write_doc(os.path.join(args.docs, "benchmarks.md"), table, SERVE_BEGIN, SERVE_END)


if __name__ == "__main__":
    main()
