"""What the simulator's trace and the call-logging library (syscall_log.c)
say about the bytes on the wire."""
import collections
import re

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
