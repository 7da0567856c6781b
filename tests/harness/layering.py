#!/usr/bin/env python3
"""The harness's sources keep their layers: includes point down, never in a circle.

Each folder of harness/src is a layer; a file may include files of its own layer and of
the layers below it. A module is a header and its source file (results.hpp and
results.cpp); modules must not include each other in a circle, whatever their layers.
Every offending line is named as FILE:LINE: #include "...".

    layering.py [--src DIR]      check harness/src (the default: next to this file)
    layering.py --self-test      also show that a planted upward include and a planted
                                 circle are caught, in a scratch copy
"""

import argparse
import os
import re
import shutil
import sys
import tempfile

# Lowest first.
LAYERS = ["exec", "model", "store", "analysis", "output", "build", "run", "explain", "pipeline", "serve",
          "cli"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def layer_of(path):
    return path.split("/", 1)[0] if "/" in path else ""


def read_includes(src):
    """{file: [(line number, text, included file)]} for every quoted include of a file
    of the tree (paths relative to src)."""
    found = {}
    for root, _, names in os.walk(src):
        for name in sorted(names):
            if not name.endswith((".hpp", ".cpp")):
                continue
            path = os.path.relpath(os.path.join(root, name), src)
            found[path] = []
            with open(os.path.join(src, path)) as f:
                for number, line in enumerate(f, 1):
                    m = INCLUDE.match(line)
                    if m:
                        found[path].append((number, line.strip(), m.group(1)))
    return found


def problems(src):
    includes = read_includes(src)
    out = []
    edges = {}  # module -> {module: (file, line, text)}
    for path, lines in sorted(includes.items()):
        here = layer_of(path)
        if here not in LAYERS:
            out.append(f"{path}: not in a layer folder ({', '.join(LAYERS)})")
            continue
        for number, text, target in lines:
            if target not in includes:
                out.append(f"{path}:{number}: {text}: not a file of harness/src "
                           f"(includes are written from harness/src)")
                continue
            there = layer_of(target)
            if LAYERS.index(there) > LAYERS.index(here):
                out.append(f"{path}:{number}: {text}: {here}/ must not include the higher "
                           f"layer {there}/")
            mine, theirs = os.path.splitext(path)[0], os.path.splitext(target)[0]
            if mine != theirs:
                edges.setdefault(mine, {}).setdefault(theirs, (path, number, text))
    out += cycles(edges)
    return out


def cycles(edges):
    """One message per circle of modules, naming each include on it."""
    out, state, stack = [], {}, []

    def visit(node):
        state[node] = "open"
        stack.append(node)
        for nxt in sorted(edges.get(node, {})):
            if state.get(nxt) == "open":
                ring = stack[stack.index(nxt):] + [nxt]
                steps = [edges[a][b] for a, b in zip(ring, ring[1:])]
                out.append("include circle " + " -> ".join(ring) + ": " +
                           "; ".join(f"{f}:{n}: {t}" for f, n, t in steps))
            elif nxt not in state:
                visit(nxt)
        stack.pop()
        state[node] = "done"

    for node in sorted(edges):
        if node not in state:
            visit(node)
    return out


def plant(src, path, line):
    with open(os.path.join(src, path)) as f:
        text = f.read()
    with open(os.path.join(src, path), "w") as f:
        f.write(line + "\n" + text)


def self_test(src):
    """A planted upward include and a planted circle must each be named."""
    with tempfile.TemporaryDirectory() as scratch:
        copy = os.path.join(scratch, "src")
        shutil.copytree(src, copy)
        plant(copy, "model/results.hpp", '#include "cli/commands.hpp"')
        found = problems(copy)
        if not any(p.startswith('model/results.hpp:1: #include "cli/commands.hpp"') for p in found):
            return "a planted upward include (model/ -> cli/) was not named"
    with tempfile.TemporaryDirectory() as scratch:
        copy = os.path.join(scratch, "src")
        shutil.copytree(src, copy)
        plant(copy, "exec/files.hpp", '#include "exec/process.hpp"')
        plant(copy, "exec/process.hpp", '#include "exec/files.hpp"')
        if not any(p.startswith("include circle") and "exec/files" in p for p in problems(copy)):
            return "a planted circle (exec/files <-> exec/process) was not named"
    return None


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--src", default=os.path.join(here, "..", "..", "harness", "src"))
    ap.add_argument("--self-test", action="store_true")
    opts = ap.parse_args()
    src = os.path.normpath(opts.src)
    found = problems(src)
    for p in found:
        print(p)
    if opts.self_test and not found:
        failure = self_test(src)
        if failure:
            print(f"FAIL: {failure}")
            return 1
    if found:
        print(f"FAIL: {len(found)} layering problems in {src}")
        return 1
    print(f"layers hold: {', '.join(reversed(LAYERS))}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
