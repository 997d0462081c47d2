"""The results of the --serve benchmark as the tables between the serve
markers in docs/benchmarks.md."""
from .reports import fmt, verdict

SERVE_BEGIN = "<!-- bench-serve:begin -->"
SERVE_END = "<!-- bench-serve:end -->"

# The budget at one sample a second.
RSS_BUDGET_KIB = 8 * 1024
CPU_BUDGET_PERCENT = 1.0


def mib(kib):
    return fmt(kib / 1024.0, 2)


def ms_row(s, digits=1):
    if not s or not s.get("n"):
        return "| | | |"
    return f"{fmt(s['median'], digits)} | {fmt(s['p99'], digits)} | {fmt(s['max'], digits)}"


def markdown(r):
    m = r["machine"]
    idle, load, after = r["idle"], r["load"], r["after"]
    lines = []
    add = lines.append
    add(
        f"Recorded {m['date']} by `scripts/bench --serve`: {r['meters']} simulated meters, "
        f"`tolvaner --serve 127.0.0.1:0 --watch {r['period_s']}`."
    )
    add("")
    add("| machine | |")
    add("|---|---|")
    add(f"| CPU | {m['cpu']}, {m['cores']} cores |")
    add(f"| kernel | {m['kernel']} |")
    add(f"| build | {m['build_type']} (`{m['build_flags']}`) |")
    add(f"| clients | {m['python']}, `http.client`, one thread per client |")
    add(f"| load average (1, 5, 15 min) | {' '.join(m['load_before'])} before, {' '.join(m['load_after'])} after |")
    add(f"| CPUs busy during the run | {fmt(m['busy_percent'], 0)} % (every process on the machine, from /proc/stat) |")
    prio = "SCHED_FIFO" if r["realtime_meters"] else "normal priority (SCHED_FIFO not permitted)"
    add(f"| priorities | simulated meters {prio}; `tolvaner` and the clients at normal priority |")
    threads = ", ".join(f"{n} {role}" for role, n in r["threads"].items())
    add(f"| threads of `tolvaner` | {sum(r['threads'].values())}: {threads} |")
    add("")

    add("### Memory")
    add("")
    add("| when | VmRSS, MiB | VmHWM, MiB | Pss, MiB | private (Uss), MiB |")
    add("|---|---|---|---|---|")
    s = r["memory_start"]
    add(f"| every meter read once, no client yet | {mib(s['VmRSS'])} | {mib(s['VmHWM'])} | {mib(s['pss'])} | {mib(s['private'])} |")
    for name, phase in (
        (f"after {fmt(idle['cpu']['seconds'] / 60, 0)} min idle, /metrics every 15 s", idle),
        (f"after {load['requests']} /metrics requests from {r['clients']} clients", load),
    ):
        st, ro = phase["status"], phase["rollup"]
        add(f"| {name} | {mib(st['VmRSS'])} | {mib(st['VmHWM'])} | {mib(ro['pss'])} | {mib(ro['private'])} |")
    h = r["history"]["status"]
    add(f"| after 40 `/api/history` requests, 4 clients | {mib(h['VmRSS'])} | {mib(h['VmHWM'])} | | |")
    st, ro = after["status"], after["rollup"]
    add(f"| {fmt(after['cpu']['seconds'], 0)} s later, no clients | {mib(st['VmRSS'])} | {mib(st['VmHWM'])} | {mib(ro['pss'])} | {mib(ro['private'])} |")
    add("")
    add("Where the resident pages are (VmRSS by mapping, /proc/PID/smaps), KiB:")
    add("")
    add("| mapping | after the idle phase | at the end |")
    add("|---|---|---|")
    for group in after["groups"]:
        a, b = idle["groups"].get(group, 0), after["groups"][group]
        if a or b:
            add(f"| {group} | {a} | {b} |")
    add("")
    add(
        "`write_log.so` is the benchmark's own library, preloaded to time the paced bytes (below); "
        "it is counted in the figures above."
    )
    add("")

    add("### CPU")
    add("")
    c = idle["cpu"]
    add("| phase | seconds | CPU, ms | of which sampling loops | web server | main | % of a core | CPU seconds per hour |")
    add("|---|---|---|---|---|---|---|---|")
    for name, phase in (
        (f"idle, /metrics every 15 s ({idle['scrapes']} scrapes)", idle),
        (f"{r['clients']} clients scraping", load),
        ("after, no clients", after),
    ):
        c = phase["cpu"]
        b = c["by_role_ms"]
        add(
            f"| {name} | {fmt(c['seconds'], 0)} | {fmt(c['cpu_ms'], 1)} | {fmt(b.get('sampling loops', 0), 1)} "
            f"| {fmt(b.get('web server', 0), 1)} | {fmt(b.get('main', 0), 1)} | {fmt(c['core_percent'], 3)} | {fmt(c['cpu_s_per_hour'], 1)} |"
        )
    add("")
    add(
        "CPU per hour is the phase's CPU time scaled to an hour. The idle phase includes the polls that read "
        "the identity and settings again (once a minute per meter)."
    )
    add("")

    add("### /metrics latency")
    add("")
    lone = r["lone"]["latency_ms"]
    lat = load["latency_ms"]
    add("| clients | requests | p50, ms | p99, ms | max, ms | answers a second | failed | web server's CPU per request |")
    add("|---|---|---|---|---|---|---|---|")
    add(f"| 1, one request after the other | {lone['n']} | {fmt(r['lone']['p50'], 2)} | {fmt(lone['p99'], 2)} | {fmt(lone['max'], 2)} | | {r['lone']['failures']} | |")
    add(
        f"| {r['clients']} at once, {r['requests_per_client']} requests each, {load['rounds']} rounds | {load['requests']} "
        f"| {fmt(load['p50'], 2)} | {fmt(lat['p99'], 2)} | {fmt(lat['max'], 2)} | {fmt(load['requests_per_s'], 0)} "
        f"| {load['failures']} | {fmt(load['cpu']['web_us_per_request'], 0)} us |"
    )
    add("")
    add(
        "From sending the request to having read the whole answer, each client on a kept-alive connection of "
        "its own. The clients run in one Python process on the same two cores as the server."
    )
    add("")

    add("### Timing on the wire while it is scraped")
    add("")
    add(
        "| phase | requests at the meters | received gaps: min | median | p99 | below 50 | below 49.5 | requests dropped "
        "| write to write: min | below 50 | inside a poll: max | over 100 ms |"
    )
    add("|---|---|---|---|---|---|---|---|---|---|---|---|")
    for name, phase in (("idle", idle), (f"{r['clients']} clients scraping", load), ("after", after)):
        w = phase["wire"]
        g, sent = w["gaps"], w["sent"]
        add(
            f"| {name} | {w['requests']} | {fmt(g['min'], 1)} | {fmt(g['median'], 1)} | {fmt(g['p99'], 1)} | {g['below_50']} "
            f"| {g['below_49_5']} | {g['dropped']} | {fmt(sent['min'], 2)} | {sent['below_50']} "
            f"| {fmt(w['sent_in_poll']['max'], 1)} | {w['sent_stalls']} |"
        )
    add("")
    add("| phase | polls | interval between polls, ms: median | p99 | max | after a settings poll: median | period slots skipped: after a settings poll | others | late against the schedule, ms: median | p99 | max |")
    add("|---|---|---|---|---|---|---|---|---|---|---|")
    for name, phase in (("idle", idle), (f"{r['clients']} clients scraping", load), ("after", after)):
        w = phase["wire"]
        i, a, late = w["intervals"], w["after_settings"], w["lateness"]
        after_settings = fmt(a["median"], 0) + f" ({a['n']})" if a.get("n") else "none"
        add(
            f"| {name} | {w['polls']} | {ms_row(i)} | {after_settings} | {w.get('skipped_after_settings', 0)} | {w['skipped']} | {ms_row(late)} |"
        )
    add("")
    add(
        "Received gaps: between the bytes of each request, as the simulated meter received them (its trace, "
        "0.1 ms steps). Write to write: from one paced byte's `write()` to the next one's on the same port, "
        "the gap between requests included, as the program made the calls (a preloaded library notes them); "
        "inside a poll every byte follows the last after the device's 50 ms, so one over 100 ms (and under "
        "400 ms, less than the pause between polls) is the program's own delay: a wait for a CPU, or the "
        "settle time after a request that got no reply. "
        "Polls: when the first byte of each poll reached the meter; late: against the meter's own schedule, "
        "its polls at a fixed start plus whole periods, that start being the earliest any poll allowed."
    )
    add("")

    add("### Budget")
    add("")
    add("| target | figure | |")
    add("|---|---|---|")
    peak = max(
        r["memory_start"]["VmHWM"], idle["status"]["VmHWM"], load["status"]["VmHWM"], r["history"]["status"]["VmHWM"], after["status"]["VmHWM"]
    )
    add(
        f"| under 8 MiB resident | VmRSS {mib(idle['status']['VmRSS'])} MiB idle, VmHWM {mib(peak)} MiB at the end "
        f"(Pss {mib(idle['rollup']['pss'])} MiB idle) | {verdict(peak < RSS_BUDGET_KIB)} |"
    )
    add(
        f"| under 1 % of a core at one sample a second | {fmt(idle['cpu']['core_percent'], 2)} % "
        f"({fmt(idle['cpu']['cpu_s_per_hour'], 1)} s of CPU an hour) | {verdict(idle['cpu']['core_percent'] < CPU_BUDGET_PERCENT)} |"
    )
    sent_min = min(p["wire"]["sent"]["min"] for p in (idle, load, after))
    recv_below = sum(p["wire"]["gaps"]["below_50"] for p in (idle, load, after))
    recv_n = sum(p["wire"]["gaps"]["n"] for p in (idle, load, after))
    add(
        f"| byte gaps at least 50 ms while scraped | written: min {fmt(sent_min, 2)} ms; received: "
        f"{recv_below} of {recv_n} below 50 ms | {verdict(sent_min >= 50.0)} as written; "
        f"{verdict(recv_below == 0)} as received |"
    )
    li = load["wire"]["intervals"]
    add(
        f"| polls keep the period while scraped | interval median {fmt(li['median'], 1)} ms, p99 {fmt(li['p99'], 1)} ms, "
        f"{load['wire']['skipped']} slots skipped besides those after a settings poll "
        f"| {verdict(load['wire']['skipped'] == 0 and li['p99'] <= 1010)} |"
    )
    add(
        f"| stops on SIGTERM with status 0 | status {r['exit']['status']} after {fmt(r['exit']['seconds'] * 1000, 0)} ms "
        f"| {verdict(r['exit']['status'] == 0)} |"
    )
    return "\n".join(lines) + "\n"
