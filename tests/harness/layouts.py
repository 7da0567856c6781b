#!/usr/bin/env python3
"""Code layouts: every program built in several function orders and measured in all.

Runs `run --layouts 4 -p hailstone,primes -w smoke -n 4` on a configuration of its own
and checks the results file: four distinct executables per program (the same code
placed differently: .text sizes within a few percent), the linker named, every run
verified and tagged with its layout and padding, each layout run four times, and
`compare` and `report` reading it layout by layout.

    layouts.py --source DIR --harness EXE --compiler CXX
"""

import collections
import json
import os
import subprocess
import tempfile

from harness_script import arguments, check

LAYOUTS, RUNS, PROGRAMS = 4, 4, ["hailstone", "primes"]


def main():
    args = arguments(__doc__)

    with tempfile.TemporaryDirectory(prefix="bench32-layouts-") as scratch:
        def harness(*words):
            return subprocess.run([args.harness, "--source", args.source, *words],
                                  capture_output=True, text=True, timeout=900)

        results = os.path.join(scratch, "r.json")
        run = harness("run", "--layouts", str(LAYOUTS), "-p", ",".join(PROGRAMS), "-w", "smoke",
                      "-n", str(RUNS), "--config", f"lay={args.compiler}:-O2", "--build-root",
                      scratch, "--json", results)
        check(run.returncode == 0, f"run: {run.stderr}")
        doc = json.load(open(results))
        check(doc["version"] == 2, f"version {doc['version']}")
        check(doc["settings"]["layouts"] == LAYOUTS, f"settings {doc['settings']}")
        check("LLD" in doc["configs"][0].get("linker", ""), f"linker: {doc['configs'][0]}")
        for unit in doc["results"]:
            name = unit["program"]
            check(unit["status"] == "ok", f"{name}: {unit.get('failure')}")
            digests = [layout["xxh3"] for layout in unit["layouts"]]
            check(len(set(digests)) == LAYOUTS, f"{name}: digests {digests}")
            sizes = [layout["text_bytes"] for layout in unit["layouts"]]
            check(max(sizes) <= 1.05 * min(sizes), f"{name}: .text sizes {sizes}")
            samples = unit["samples"]
            check(len(samples["wall_s"]) == LAYOUTS * RUNS, f"{name}: {len(samples['wall_s'])} runs")
            count = collections.Counter(samples["layout"])
            check(count == {k: RUNS for k in range(LAYOUTS)}, f"{name}: layouts run {count}")
            check(len(samples["padding_bytes"]) == LAYOUTS * RUNS and
                  all(0 <= p <= 4096 for p in samples["padding_bytes"]),
                  f"{name}: padding {samples['padding_bytes']}")
            check(len(set(samples["padding_bytes"])) > 1, f"{name}: the padding never changed")
            # The warm-up ran (and so verified) every layout too.
            check(sorted(unit["warmup"]["layout"]) == list(range(LAYOUTS)), f"{name}: warm-up")

        shown = harness("show", results)
        check(shown.returncode == 0 and "layout spread" in shown.stdout, f"show: {shown.stdout}")
        compared = harness("compare", results, results, "--format", "csv")
        check(compared.returncode == 0, f"compare: {compared.stderr}")
        check("base_layout_spread" in compared.stdout.splitlines()[0], compared.stdout)
        report = os.path.join(scratch, "r.html")
        reported = harness("report", results, "-o", report)
        check(reported.returncode == 0 and "each code layout" in open(report).read(),
              f"report: {reported.stderr}")
    print("ok: 4 layouts of hailstone and primes built, run and verified")


if __name__ == "__main__":
    main()
