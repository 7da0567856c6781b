#!/usr/bin/env python3
"""A new program joins the suite by its folder alone.

In a scratch copy of the source tree, benchmarks/hailstone is copied to
benchmarks/hailstone2 and nothing else is edited. The new program must then be
listed, build, pass `run -p hailstone2 -w smoke` and every one of its cases. A
misspelt key in its workloads.json must then be refused with one line naming the
file and the key.

    new_program.py --source DIR --harness EXE --compiler CXX
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile

from harness_script import arguments, check

COPIED = ["CMakeLists.txt", "CMakePresets.json", "cmake", "runtime", "harness", "benchmarks"]


def main():
    args = arguments(__doc__)

    with tempfile.TemporaryDirectory(prefix="bench32-new-program-") as scratch:
        for entry in COPIED:
            src = os.path.join(args.source, entry)
            dst = os.path.join(scratch, entry)
            if os.path.isdir(src):
                shutil.copytree(src, dst)
            else:
                shutil.copy(src, dst)
        benchmarks = os.path.join(scratch, "benchmarks")
        shutil.copytree(os.path.join(benchmarks, "hailstone"),
                        os.path.join(benchmarks, "hailstone2"))

        def harness(*words):
            return subprocess.run([args.harness, "--source", scratch, *words],
                                  capture_output=True, text=True, timeout=900)

        listed = harness("list", "--json")
        check(listed.returncode == 0, f"list: {listed.stderr}")
        names = [p["name"] for p in json.loads(listed.stdout)["programs"]]
        check("hailstone2" in names, f"hailstone2 not listed: {names}")

        results = os.path.join(scratch, "r.json")
        run = harness("run", "-p", "hailstone2", "-w", "smoke", "-n", "1", "--warmup", "0",
                      "--config", f"new={args.compiler}:-O2", "--build-root",
                      os.path.join(scratch, "build"), "--json", results)
        check(run.returncode == 0, f"run: status {run.returncode}: {run.stderr[-2000:]}")
        with open(results) as f:
            units = json.load(f)["results"]
        check([(u["program"], u["status"]) for u in units] == [("hailstone2", "ok")],
              f"run results: {units}")

        cases = subprocess.run(["ctest", "--test-dir", os.path.join(scratch, "build", "cfg-new"),
                                "-R", "^hailstone2/", "--output-on-failure"],
                               capture_output=True, text=True, timeout=900)
        check(cases.returncode == 0, f"cases: {cases.stdout[-2000:]}")
        check("100% tests passed" in cases.stdout and "out of 0" not in cases.stdout,
              f"cases did not run: {cases.stdout[-500:]}")

        workloads = os.path.join(benchmarks, "hailstone2", "workloads.json")
        with open(workloads) as f:
            text = f.read()
        with open(workloads, "w") as f:
            f.write(text.replace('"status": 0', '"stauts": 0', 1))
        for words in (["list"], ["run", "-p", "hailstone2", "-w", "smoke", "--no-build"]):
            refused = harness(*words)
            lines = refused.stderr.splitlines()
            check(refused.returncode == 2, f"{words[0]}: status {refused.returncode}")
            check(len(lines) == 1 and workloads in lines[0] and '"stauts"' in lines[0],
                  f"{words[0]}: not one line naming the file and the key: {refused.stderr!r}")
    print("new program: listed, built, measured, its cases pass; a misspelt key is refused")
    return 0


if __name__ == "__main__":
    sys.exit(main())
