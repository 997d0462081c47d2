"""The results as the tables in docs/benchmarks.md, the gap plot beside it,
and results.json."""
import math
import os
import subprocess

from .constants import BEGIN_MARK, BYTE_GAP, DESIGN_SETTLE_MS, END_MARK, KINDS, SETTLE


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
        f"Floor: n request bytes x {BYTE_GAP} ms, + {SETTLE} ms where a reply is read. Wall: from one prompt to the next "
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
        f"The same eight requests are 30 bytes: 29 gaps of {BYTE_GAP} ms, {29 * BYTE_GAP} ms, with no settle time at all. "
        f"`--read` waits for each reply inside the {BYTE_GAP} ms after a request's last byte, which the next request's "
        f"first byte waits out; the console sleeps {SETTLE} ms more after each."
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


def write_doc(doc_path, table, begin=BEGIN_MARK, end=END_MARK):
    """Puts table between the markers begin and end (added at the end when
    missing), leaving the rest of the document as it is."""
    try:
        text = open(doc_path).read()
    except FileNotFoundError:
        text = f"# Benchmarks\n\n{begin}\n{end}\n"
    if begin not in text or end not in text:
        text += f"\n{begin}\n{end}\n"
    head, rest = text.split(begin, 1)
    _, tail = rest.split(end, 1)
    with open(doc_path, "w") as f:
        f.write(head + begin + "\n" + table + end + tail)


def public(value):
    """results.json without the raw gap lists."""
    if isinstance(value, dict):
        return {k: public(v) for k, v in value.items() if not k.startswith("_")}
    if isinstance(value, list):
        return [public(v) for v in value]
    return value
