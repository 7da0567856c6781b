#!/usr/bin/env python3
"""Checks that optimising compilers keep the work each program describes, and that
every optimisation barrier of the suite is needed for that.

Work floors. Every program is built at -O3 with each given compiler, in a build
folder per compiler, and each of its workloads that has a "min_instructions" (the smoke
workload, and small workloads that isolate one piece of work) is run under valgrind's
callgrind. The
instructions counted are the program's own: those executed inside its main, less those
inside the runtime's print, println, read and inputExhausted (process start-up and
input/output cannot hide missing work). They must reach the workload's
"min_instructions", a count of described repetitions that no legal rewrite removes
(see benchmarks/README.md). A compiler that deletes a busy loop, hoists a repeated call
out of its loop or merges repeated passes executes fewer, and fails here.

Barrier minimality. The same folders also build <program>.drop-<line> for each barrier
of a program: the program with the barrier on that line dropped. Dropping a barrier
must make at least one compiler miss one of the program's floors; a barrier whose removal
loses no work is reported as unnecessary, and fails the test.

The programs and their workloads come from the harness (`list --json --full`), which
reads workloads.json with the same rules as every other tool.

    min_instructions.py --source DIR --harness EXE --build-root DIR --cxx g++ --cxx clang++ \
        --case-runner PATH [--refs native|compact] [PROGRAM...]
"""

import argparse
import os
import re
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from programs import load  # noqa: E402

REFS = re.compile(r"^==\d+==\s+(?:Collected\s*:|I\s+refs:)\s*([\d,]+)", re.M)
# Collection is on inside the program's main and toggled off again inside the runtime's
# input and output.
TOGGLES = ["*programMain*", "b32::print*", "b32::read*", "b32::inputExhausted*"]
VARIANT = re.compile(r"^(.+)\.drop-(\d+)$")


def build(args, cxx, folder):
    """Configures (once) and builds every program and barrier variant at -O3."""
    if not os.path.isfile(os.path.join(folder, "build.ninja")):
        subprocess.run(
            ["cmake", "-S", args.source, "-B", folder, "-G", "Ninja",
             "-DCMAKE_BUILD_TYPE=Release", "-DCMAKE_CXX_FLAGS_RELEASE=-O3 -DNDEBUG",
             f"-DCMAKE_CXX_COMPILER={cxx}", "-DBENCH32_TOOLS=OFF",
             "-DBENCH32_BARRIER_VARIANTS=ON", f"-DBENCH32_CASE_RUNNER={args.case_runner}",
             f"-DBENCH32_REFS={args.refs}"],
            check=True, stdout=subprocess.DEVNULL)
    # -k 0: a program that does not build is reported, the others are still checked.
    subprocess.run(["cmake", "--build", folder, "-j", str(args.jobs), "--", "-k", "0"],
                   check=False, stdout=subprocess.DEVNULL)


def instructions(exe, data):
    """The program's own instructions in one run under callgrind, and its output."""
    command = ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null"]
    command += [f"--toggle-collect={t}" for t in TOGGLES]
    run = subprocess.run(command + [exe], input=data, capture_output=True, timeout=1800)
    m = REFS.search(run.stderr.decode("utf-8", "replace"))
    if not m:
        raise RuntimeError("no instruction count from callgrind:\n" +
                           run.stderr.decode("utf-8", "replace")[-2000:])
    return int(m.group(1).replace(",", "")), run.stdout


def floors(program):
    """(workload name, input bytes, entry) of every workload with a work floor."""
    return [(name, w["input"].encode("utf-8"), w) for name, w in program["workloads"].items()
            if w.get("min_instructions") is not None]


def check_floors(trees, programs):
    """Every program, compiler and floor: output right and floor reached."""
    failed = 0
    for name, program in programs.items():
        found = floors(program)
        if not found:
            print(f"{name}: skipped (no workload with min_instructions)")
        for workload, data, entry in found:
            wanted = entry["min_instructions"]
            for cxx, tree in trees.items():
                exe = os.path.join(tree, "bin", name)
                what = f"{name} {workload}, {cxx} -O3"
                if not os.access(exe, os.X_OK):
                    print(f"{what}: FAIL, not built")
                    failed += 1
                    continue
                got, out = instructions(exe, data)
                # A count is only worth something if the run did the right thing.
                if "stdout" in entry and out != entry["stdout"].encode("utf-8"):
                    print(f"{what}: FAIL, the output differs")
                    failed += 1
                elif got < wanted:
                    print(f"{what}: FAIL, {got:,} instructions < {wanted:,} described steps: "
                          "the compiler removed work")
                    failed += 1
                else:
                    print(f"{what}: ok, {got:,} >= {wanted:,} ({got / wanted:.1f}x)")
    return failed


def check_barriers(trees, programs):
    """Every barrier: dropping it must make some compiler miss some floor."""
    # The variants the build defines now (the bin folder may hold some of an older
    # source).
    variants = set()
    for tree in trees.values():
        listing = subprocess.run(["ninja", "-C", tree, "-t", "targets", "all"],
                                 capture_output=True, text=True, check=True).stdout
        for target in re.findall(r"^([^\s:/]+):", listing, re.M):
            m = VARIANT.match(target)
            if m and m.group(1) in programs:
                variants.add((m.group(1), int(m.group(2))))
    failed = 0
    for (name, line) in sorted(variants):
        where = f"{os.path.basename(programs[name]['folder'])}/{name}.cpp:{line}"
        found = floors(programs[name])
        missed, held = [], []
        for workload, data, entry in found:
            wanted = entry["min_instructions"]
            for cxx, tree in trees.items():
                exe = os.path.join(tree, "bin", f"{name}.drop-{line}")
                if not os.access(exe, os.X_OK):
                    continue
                got = instructions(exe, data)[0]
                (missed if got < wanted else held).append(
                    f"{workload} with {cxx}: {got:,} {'<' if got < wanted else '>='} {wanted:,}")
        if missed:
            print(f"barrier {where}: needed; without it {'; '.join(missed)}")
        else:
            print(f"barrier {where}: FAIL, not needed; without it every floor holds "
                  f"({'; '.join(held) or 'no floor'})")
            failed += 1
    return failed, len(variants)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--source", required=True, help="the source tree")
    ap.add_argument("--harness", required=True, help="the bench32-harness executable")
    ap.add_argument("--build-root", required=True, help="a build folder per compiler goes here")
    ap.add_argument("--cxx", action="append", required=True, help="a C++ compiler (repeatable)")
    ap.add_argument("--case-runner", required=True, help="a native bench32-case")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--refs", default="native", choices=["native", "compact"],
                    help="the reference mode of the builds (their folders must be new)")
    ap.add_argument("programs", nargs="*", help="only these programs")
    args = ap.parse_args()

    programs = {p["name"]: p for p in load(args.harness, args.source, full=True)}
    if args.programs:
        programs = {n: p for n, p in programs.items() if n in args.programs}
    trees = {}
    for cxx in args.cxx:
        if shutil.which(cxx) is None:
            print(f"work: {cxx} not found, left out")
            continue
        tree = os.path.join(args.build_root, os.path.basename(cxx))
        build(args, cxx, tree)
        trees[cxx] = tree
    if not trees:
        print("work: no compiler found")
        return 1

    failed = check_floors(trees, programs)
    barrier_failures, barriers = check_barriers(trees, programs)
    compilers = " and ".join(trees)
    print(f"work: {len(programs)} programs checked with {compilers} at -O3, {failed} failed; "
          f"{barriers} barriers, {barrier_failures} not shown necessary")
    return 1 if failed or barrier_failures else 0


if __name__ == "__main__":
    sys.exit(main())
