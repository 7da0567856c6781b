#!/usr/bin/env python3
"""Checks that an optimising compiler keeps the work each program describes.

Builds every program at -O3 in a build folder of its own, runs each program's
smoke workload under valgrind's callgrind, and requires the number of instructions
executed inside the program's own main (process start-up and the runtime's set-up
excluded, so that they cannot hide missing work) to be at least the workload's "min_instructions": the count of elementary
steps its description prescribes. A compiler that deletes a busy loop, hoists a
repeated call out of its loop or merges repeated passes executes fewer instructions
than there are steps, and fails here. Programs whose smoke workload has no
"min_instructions" are reported as skipped. The programs and their workloads come
from the harness (`list --json`); the case runner feeds each run its input and
verifies what it wrote.

    min_instructions.py --source DIR --harness EXE --build DIR --cxx COMPILER --case-runner PATH
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from programs import load  # noqa: E402

REFS = re.compile(r"^==\d+==\s+(?:Collected\s*:|I\s+refs:)\s*([\d,]+)", re.M)


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


def instructions(case_runner, exe, workloads):
    """Instructions executed by the smoke run under callgrind, which the case runner
    starts and verifies; and the runner's complaint when the run was wrong."""
    with tempfile.NamedTemporaryFile(prefix="bench32-callgrind-", suffix=".log") as log:
        run = subprocess.run(
            [case_runner, "--timeout", "1800", "--run-under",
             "valgrind --tool=callgrind --callgrind-out-file=/dev/null "
             f"--toggle-collect=*programMain* --log-file={log.name}",
             exe, workloads, "smoke"],
            capture_output=True, timeout=2000)
        report = log.read().decode("utf-8", "replace")
    wrong = run.stdout.decode("utf-8", "replace").strip() if run.returncode else ""
    m = REFS.search(report)
    if not m:
        raise RuntimeError("no instruction count from callgrind:\n" + report[-2000:] +
                           run.stderr.decode("utf-8", "replace")[-2000:])
    return int(m.group(1).replace(",", "")), wrong


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--source", required=True, help="the source tree")
    ap.add_argument("--harness", required=True, help="the bench32-harness executable")
    ap.add_argument("--build", required=True, help="build folder for the -O3 programs")
    ap.add_argument("--cxx", required=True, help="the C++ compiler")
    ap.add_argument("--case-runner", required=True, help="a native bench32-case")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("programs", nargs="*", help="only these programs")
    args = ap.parse_args()

    programs = load(args.harness, args.source)
    if args.programs:
        programs = [p for p in programs if p["name"] in args.programs]
    build(args, [p["name"] for p in programs])

    failed = checked = 0
    for program in programs:
        name = program["name"]
        smoke = program["workloads"].get("smoke")
        if smoke is None:
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
        got, wrong = instructions(args.case_runner, exe,
                                  os.path.join(program["folder"], "workloads.json"))
        checked += 1
        # A count is only worth something if the run did the right thing.
        if wrong:
            print(f"{name}: FAIL, the smoke workload's run differs at -O3: {wrong}")
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
