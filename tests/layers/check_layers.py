#!/usr/bin/env python3
"""Every include of the library points into its own folder or a lower layer.

The layers, top down: lifecycle, report, describe, then dumps, sysinfo and
runtime_ends side by side, loader_hold, probes, support, arch. A folder
that is not a layer, or an include that climbs, fails the check.

usage: check_layers.py SOURCE_ROOT
"""
import os
import re
import sys

RANK = {
    "lifecycle": 8, "report": 7, "describe": 6,
    "dumps": 5, "sysinfo": 5, "runtime_ends": 5,
    "loader_hold": 4, "probes": 3, "support": 2, "arch": 1,
}
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.M)


def faults(library):
    for folder, _, files in os.walk(library):
        rel = os.path.relpath(folder, library)
        if rel == ".":
            continue
        layer = rel.split(os.sep)[0]
        if layer not in RANK:
            yield "%s: a folder that is no layer" % rel
            continue
        for name in files:
            path = os.path.join(folder, name)
            with open(path, errors="replace") as f:
                text = f.read()
            for target in INCLUDE.findall(text):
                parts = target.split("/")
                if len(parts) > 1 and parts[0] in RANK and RANK[parts[0]] > RANK[layer]:
                    yield "%s includes %s, a layer above its own" % (os.path.relpath(path, library), target)


def main():
    library = os.path.join(sys.argv[1], "src", "ruxtrap")
    found = list(faults(library))
    for fault in found:
        print(fault)
    print("%d passed, %d failed" % (0 if found else 1, 1 if found else 0))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
