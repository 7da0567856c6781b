#!/usr/bin/env python3
"""Checks that an optimising compiler keeps the work each program describes.

Builds every program at -O3 in a build folder of its own, runs each program's
smoke workload under valgrind's callgrind, and requires the number of instructions
executed inside the program's own main (process start-up and the runtime's set-up
excluded, so that they cannot hide missing work) to be at least the workload's "min_instructions": the count of elementary
steps its description prescribes. A compiler that deletes a busy loop, hoists a
repeated call out of its loop or merges repeated passes executes fewer instructions
than there are steps, and fails here. Programs whose smoke workload has no
"min_instructions" are reported as skipped.

    min_instructions.py --source DIR --build DIR --cxx COMPILER --case-runner PATH
"""

import argparse
import json
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from programs import discover  # noqa: E402

REFS = re.compile(r"^==\d+==\s+(?:Collected\s*:|I\s+refs:)\s*([\d,]+)", re.M)


def input_bytes(given, folder):
    """The bytes of an entry's "input": a string, or a list of strings,
    {"repeat": s, "times": n} and {"file": name} parts."""
    if isinstance(given, str):
        return given.encode("utf-8")
    out = bytearray()
    for part in given:
        if isinstance(part, str):
            out += part.encode("utf-8")
        elif "repeat" in part:
            out += part["repeat"].encode("utf-8") * int(part["times"])
        else:
            with open(os.path.join(folder, part["file"]), "rb") as f:
                out += f.read()
    return bytes(out)


def build(args, programs):
    if not os.path.isfile(os.path.join(args.build, "build.ninja")):
        subprocess.run(
            ["cmake", "-S", args.source, "-B", args.build, "-G", "Ninja",
             "-DCMAKE_BUILD_TYPE=Release", "-DCMAKE_CXX_FLAGS_RELEASE=-O3 -DNDEBUG",
             f"-DCMAKE_CXX_COMPILER={args.cxx}", "-DBENCH32_TOOLS=OFF",
             f"-DBENCH32_CASE_RUNNER={args.case_runner}"],
            check=True, stdout=subprocess.DEVNULL)
    # -k 0: a program that does not build is reported, the others are still checked.
    subprocess.run(["cmake", "--build", args.build, "-j", str(args.jobs), "--target", *programs,
                    "--", "-k", "0"], check=False, stdout=subprocess.DEVNULL)


def instructions(exe, data):
    """Instructions executed by one run under callgrind, and its standard output."""
    run = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
         "--toggle-collect=*programMain*", exe],
        input=data, capture_output=True, timeout=1800)
    m = REFS.search(run.stderr.decode("utf-8", "replace"))
    if not m:
        raise RuntimeError("no instruction count from callgrind:\n" +
                           run.stderr.decode("utf-8", "replace")[-2000:])
    return int(m.group(1).replace(",", "")), run.stdout


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--source", required=True, help="the source tree")
    ap.add_argument("--build", required=True, help="build folder for the -O3 programs")
    ap.add_argument("--cxx", required=True, help="the C++ compiler")
    ap.add_argument("--case-runner", required=True, help="a native bench32-case")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("programs", nargs="*", help="only these programs")
    args = ap.parse_args()

    benchmarks = os.path.join(args.source, "benchmarks")
    programs = discover(benchmarks)
    if args.programs:
        programs = {p: d for p, d in programs.items() if p in args.programs}
    build(args, list(programs))

    failed = checked = 0
    for name, folder in programs.items():
        path = os.path.join(benchmarks, folder, "workloads.json")
        try:
            with open(path, encoding="utf-8") as f:
                smoke = json.load(f)["workloads"]["smoke"]
        except (OSError, KeyError, ValueError):
            print(f"{name}: skipped (no smoke workload)")
            continue
        wanted = smoke.get("min_instructions")
        if wanted is None:
            print(f"{name}: skipped (no min_instructions)")
            continue
        exe = os.path.join(args.build, "bin", name)
        if not os.access(exe, os.X_OK):
            print(f"{name}: FAIL, not built at -O3 with {args.cxx}")
            failed += 1
            continue
        data = input_bytes(smoke.get("input", ""), os.path.join(benchmarks, folder))
        got, out = instructions(exe, data)
        checked += 1
        # A count is only worth something if the run did the right thing.
        if "stdout" in smoke and out != smoke["stdout"].encode("utf-8"):
            print(f"{name}: FAIL, the smoke workload's output differs at -O3")
            failed += 1
        elif got < wanted:
            print(f"{name}: FAIL, {got:,} instructions < {wanted:,} prescribed steps: "
                  "the compiler removed work")
            failed += 1
        else:
            print(f"{name}: ok, {got:,} instructions >= {wanted:,} ({got / wanted:.1f}x)")
    print(f"work: {checked} programs checked with {args.cxx} -O3, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
