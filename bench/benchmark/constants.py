"""The program's pacing, read from its own headers when the benchmark starts,
so that the floors measured against are always the program's; and what the
benchmark sends and looks for."""
import os
import re

SOURCE_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def header_constant(name, root=SOURCE_ROOT):
    """The value of `constexpr <type> name = <number>;` in the program's
    headers, which must define it exactly once."""
    pattern = re.compile(r"^\s*constexpr\s+[\w:]+\s+" + re.escape(name) + r"\s*=\s*(\d+)\s*;", re.M)
    found = []
    for folder, subfolders, files in os.walk(root):
        subfolders[:] = sorted(d for d in subfolders if not d.startswith((".", "build")) and d != "out")
        for file in sorted(files):
            if file.endswith(".h"):
                path = os.path.join(folder, file)
                with open(path) as f:
                    found += [(os.path.relpath(path, root), int(m[1])) for m in pattern.finditer(f.read())]
    if len(found) != 1:
        where = ", ".join(path for path, _ in found) or "no header"
        raise RuntimeError(f"bench: {name} must be defined once in the program's headers, found in {where}")
    return found[0][1]


# The pause the device needs after every byte it receives.
BYTE_GAP = header_constant("byte_gap_ms")
# How long the device has to answer a query after its last byte's gap.
SETTLE = header_constant("reply_settle_ms")

PROMPT = b"Enter user command: "
PEER_PROMPT = b"Item (V S M D K A, X quits): "
BYTE_GAP_MS = float(BYTE_GAP)
SETTLE_MS = float(SETTLE)
DESIGN_SETTLE_MS = BYTE_GAP_MS + SETTLE_MS
BEGIN_MARK = "<!-- bench:begin -->"
END_MARK = "<!-- bench:end -->"

# Every setting the console sends, with the length of its request on the wire.
SETTINGS = [("v 1000", 5), ("s 4", 4), ("m 1", 4), ("a 3", 4), ("d", 3), ("t", 3)]
READBACK_ITEMS = "vsmdka"
KINDS = ["settings", "I", "C", "R"]
