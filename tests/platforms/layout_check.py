#!/usr/bin/env python3
"""The program's layout: every #include "folder/..." points down the order of
the folders, no two units include each other in a loop, nothing below
program/ ends the process, and no folder holds more than about a fifth of the
program's lines (the shares are printed).

A unit is a header and the sources of the same name beside it (frame_link.h
and frame_link.cpp); a per-system source (port_posix.cpp) is a unit of its own.

Usage: layout_check.py SOURCE_DIR [arrows|shares]
(arrows: the includes, loops and ends; shares: the lines; both when not given)
"""

import os
import re
import sys

# What each folder may include besides itself: only folders below it.
BELOW = {
    "program": {"console", "modes", "service", "web", "mqtt", "board", "protocol", "link", "port",
                "ports", "system"},
    "console": {"protocol", "link", "port", "ports", "system"},
    "modes": {"protocol", "link", "port", "ports", "system"},
    # The long-running run: each meter's loop, and the fronts that serve the
    # board (web/, mqtt/), which the loops fill (board/).
    "service": {"web", "mqtt", "board", "protocol", "link", "port", "ports", "system"},
    "web": {"board", "protocol", "system"},
    "mqtt": {"board", "protocol", "system"},
    "board": set(),
    "protocol": {"link", "port", "ports", "system"},
    "link": {"port", "ports", "system"},
    "port": {"system"},
    "ports": {"system"},
    "system": set(),
}
PROGRAM = set(BELOW)
# The simulator is a program of its own: it and the program's folders never
# include each other.
SEPARATE = "sim"
# "About a fifth": a folder over this share of the program's lines fails.
MOST_SHARE = 0.22
SOURCES = (".cpp", ".h")

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
END_BY_SIGNAL_BODY = re.compile(r"^void system_end_by_signal\(.*?^\}", re.M | re.S)
END_BY_SIGNAL_CALL = re.compile(r"\bsystem_end_by_signal\s*\(")
ENDS_PROCESS = re.compile(r"(?<![\w.>])(?:std::|::)?(?:exit|_exit|_Exit|quick_exit|ExitProcess)\s*\(")


def strip_comments_and_strings(text):
    """The code alone: comments, string and character literals blanked."""
    pattern = re.compile(
        r'//[^\n]*|/\*.*?\*/|R"([^(\s]*)\(.*?\)\1"|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'',
        re.S,
    )
    return pattern.sub(lambda m: "\n" * m.group(0).count("\n"), text)


def sources(root, folder):
    for dirpath, _, names in os.walk(os.path.join(root, folder)):
        for name in sorted(names):
            if name.endswith(SOURCES):
                path = os.path.join(dirpath, name)
                yield os.path.relpath(path, root).replace(os.sep, "/")


def unit_of(path):
    return os.path.splitext(path)[0]


def find_loops(graph):
    """Each loop of units once, as a list that starts at its least member."""
    loops = set()
    on_path = []
    state = {}

    def visit(node):
        state[node] = "open"
        on_path.append(node)
        for nxt in sorted(graph.get(node, ())):
            if state.get(nxt) == "open":
                loop = on_path[on_path.index(nxt):]
                first = loop.index(min(loop))
                loops.add(tuple(loop[first:] + loop[:first]))
            elif nxt not in state:
                visit(nxt)
        on_path.pop()
        state[node] = "done"

    for node in sorted(graph):
        if node not in state:
            visit(node)
    return sorted(loops)


def main():
    if len(sys.argv) not in (2, 3) or sys.argv[2:] not in ([], ["arrows"], ["shares"]):
        print(__doc__.strip().splitlines()[-2])
        return 2
    root = sys.argv[1]
    judged = sys.argv[2:] or ["arrows", "shares"]
    faults = []
    share_faults = []
    lines = {}
    graph = {}

    for folder in sorted(PROGRAM | {SEPARATE}):
        for path in sources(root, folder):
            with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
                text = f.read()
            if folder in PROGRAM:
                lines[folder] = lines.get(folder, 0) + text.count("\n")
            for target in INCLUDE.findall(text):
                top = target.split("/", 1)[0] if "/" in target else None
                if top is None or top not in PROGRAM | {SEPARATE}:
                    continue
                if folder == SEPARATE or top == SEPARATE:
                    if folder != top:
                        faults.append(f"{path}: includes {target}: sim/ and the program are separate")
                    continue
                if top != folder and top not in BELOW[folder]:
                    why = "only program/ includes program/" if top == "program" else (
                        f"{folder}/ may include only {', '.join(sorted(BELOW[folder])) or 'itself'}")
                    faults.append(f"{path}: includes {target}: {why}")
                if os.path.exists(os.path.join(root, target)):
                    graph.setdefault(unit_of(path), set()).add(unit_of(target))
            if folder in PROGRAM and folder != "program":
                code = strip_comments_and_strings(text)
                if folder == "system":
                    # The system's means of ending by a signal, which only
                    # program/ calls: its body is blanked, its callers checked.
                    code = END_BY_SIGNAL_BODY.sub(lambda m: "\n" * m.group(0).count("\n"), code)
                elif END_BY_SIGNAL_CALL.search(code):
                    faults.append(f"{path}: calls system_end_by_signal; only program/ may")
                for number, line in enumerate(code.split("\n"), 1):
                    if ENDS_PROCESS.search(line):
                        faults.append(f"{path}:{number}: ends the process; only program/ may")

    for node in graph:
        graph[node].discard(node)
    for loop in find_loops(graph):
        faults.append("units include each other in a loop: " + " -> ".join(loop + (loop[0],)))

    total = sum(lines.values())
    print(f"the program's lines: {total}")
    for folder, count in sorted(lines.items(), key=lambda item: -item[1]):
        share = count / total if total else 0.0
        mark = "  over about a fifth" if share > MOST_SHARE else ""
        print(f"  {folder + '/':10} {count:6} {share:6.1%}{mark}")
        if mark:
            share_faults.append(f"{folder}/ holds {share:.1%} of the program's lines")

    failed = (faults if "arrows" in judged else []) + (share_faults if "shares" in judged else [])
    for fault in failed:
        print("FAULT " + fault)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
