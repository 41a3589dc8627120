#!/usr/bin/env python3
"""The layering of src/: each subsystem folder includes only folders below it, and no files
include each other in a circle. Prints the include graph between folders with --graph.
  scripts/check-layering.py [--graph]"""
import os
import re
import sys

# From the top down; folders on one line are peers and do not include each other.
LAYERS = [
    ["agent"],
    ["snapshot"],
    ["statistics", "transactions", "gc", "vmstructs"],
    ["helpers"],
    ["core"],
    ["platform"],
    ["base"],
]
RANK = {folder: rank for rank, peers in enumerate(LAYERS) for folder in peers}

root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src")
root = os.path.normpath(root)
include = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def folder_of(path):
    return os.path.relpath(path, root).split(os.sep)[0]


files = []
for directory, _, names in os.walk(root):
    files += [os.path.join(directory, n) for n in names if n.endswith((".cpp", ".h"))]

edges = {}  # file -> files it includes
folder_edges = {}
errors = []
for path in sorted(files):
    folder = folder_of(path)
    if folder not in RANK:
        errors.append(f"{os.path.relpath(path, root)}: folder {folder} has no place in the layers")
        continue
    for name in include.findall(open(path, errors="replace").read()):
        target = os.path.normpath(os.path.join(root, name))
        if not os.path.exists(target):
            continue  # generated or system header
        edges.setdefault(path, set()).add(target)
        other = folder_of(target)
        if other == folder:
            continue
        folder_edges.setdefault(folder, {}).setdefault(other, 0)
        folder_edges[folder][other] += 1
        if RANK.get(other, -1) <= RANK[folder]:
            errors.append(f"{os.path.relpath(path, root)} includes {name}: {other} is not below {folder}")

# Circles between modules: a header with its sources is one module, and so is a private header
# (X_internal.h, or X_state.h beside X.h) with X.h and every file that includes it.
private = {}
for path in files:
    stem = os.path.splitext(path)[0]
    for suffix in ("_internal", "_state"):
        base = stem[: -len(suffix)]
        if path.endswith(suffix + ".h") and (suffix == "_internal" or os.path.exists(base + ".h")):
            private[path] = base
family = {}
for header, base in private.items():
    family[header] = base
    family[base + ".h"] = base
    for source, targets in edges.items():
        if header in targets:
            family[source] = base


def module(path):
    return family.get(path, os.path.splitext(path)[0])


module_edges = {}
for source, targets in edges.items():
    for target in targets:
        if module(target) != module(source):
            module_edges.setdefault(module(source), set()).add(module(target))
state, stack = {}, []

def visit(node):
    state[node] = 1
    stack.append(node)
    for nxt in sorted(module_edges.get(node, ())):
        if state.get(nxt) == 1:
            loop = stack[stack.index(nxt):] + [nxt]
            errors.append("include circle: " + " -> ".join(os.path.relpath(m, root) for m in loop))
        elif nxt not in state:
            visit(nxt)
    stack.pop()
    state[node] = 2

for node in sorted(module_edges):
    if node not in state:
        visit(node)

if "--graph" in sys.argv:
    for peers in LAYERS:
        for folder in peers:
            below = ", ".join(f"{o} ({n})" for o, n in sorted(folder_edges.get(folder, {}).items(), key=lambda x: RANK[x[0]]))
            print(f"{folder:13} -> {below or '(nothing)'}")
for error in errors:
    print(error, file=sys.stderr)
if errors:
    sys.exit(1)
print(f"layering: {len(files)} files in {len(RANK)} folders, each includes only folders below it, no include circle")
