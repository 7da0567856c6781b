#!/usr/bin/env python3
"""Copies run at once: `run --copies 2 -w smoke --runs 3` on two programs.

Runs two programs whose smoke runs take some milliseconds, as this build made them, and
checks the results file and the tables: every copy of every run verified (warm-up
included), each run's copy, start and end recorded, one rate per round that the
intervals give, the copies side by side, and both the median run time and the rate in
the run table and in the table's JSON. No speed is asserted: the machine is shared, and
on a busy one a copy can get a processor only after the other has ended, so the copies
must overlap in some round (copies run one after another never do) rather than in all.

    copies.py --source DIR --harness EXE --compiler CXX --build DIR
"""

import argparse
import json
import os
import subprocess
import tempfile

from harness_script import check

COPIES, RUNS, PROGRAMS = 2, 3, ["Fibonacci", "primes"]


def check_unit(unit):
    name = unit["program"]
    check(unit["status"] == "ok", f"{name}: {unit.get('failure')}")
    check(unit["copies"] == COPIES, f"{name}: copies {unit.get('copies')}")
    samples = unit["samples"]
    check(len(samples["wall_s"]) == COPIES * RUNS, f"{name}: {len(samples['wall_s'])} runs")
    check(sorted(unit["warmup"]["copy"]) == list(range(COPIES)), f"{name}: warm-up {unit['warmup']}")
    check(len(unit["rate_per_s"]) == RUNS and all(r > 0 for r in unit["rate_per_s"]),
          f"{name}: rates {unit['rate_per_s']}")
    overlapping = 0
    for r in range(RUNS):
        at = slice(r * COPIES, (r + 1) * COPIES)
        copies, starts, ends = samples["copy"][at], samples["start_s"][at], samples["end_s"][at]
        check(sorted(copies) == list(range(COPIES)), f"{name} round {r}: copies {copies}")
        check(all(0 <= s < e for s, e in zip(starts, ends)), f"{name} round {r}: {starts} {ends}")
        # Side by side: every copy started before any of them ended.
        overlapping += max(starts) < min(ends)
        rate = COPIES / (max(ends) - min(starts))
        check(abs(unit["rate_per_s"][r] - rate) <= 1e-6 * rate,
              f"{name} round {r}: rate {unit['rate_per_s'][r]}, intervals give {rate}")
    return overlapping


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for option in ("--source", "--harness", "--compiler", "--build"):
        ap.add_argument(option, required=True)
    args = ap.parse_args()

    with tempfile.TemporaryDirectory(prefix="bench32-copies-") as scratch:
        def harness(*words):
            return subprocess.run([args.harness, "--source", args.source, *words],
                                  capture_output=True, text=True, timeout=600)

        results = os.path.join(scratch, "r.json")
        run = harness("run", "--copies", str(COPIES), "-w", "smoke", "--runs", str(RUNS), "-p",
                      ",".join(PROGRAMS), "-b", f"here={args.build}", "--no-build", "--json",
                      results)
        check(run.returncode == 0, f"run: {run.stderr}")
        header = run.stdout.splitlines()[0].split()
        check("wall" in header and "rate" in header, f"run table: {run.stdout}")
        rows = [line for line in run.stdout.splitlines() if line.split()[:1] in [[p] for p in PROGRAMS]]
        check(len(rows) == len(PROGRAMS) and all(line.rstrip().endswith("/s") for line in rows),
              f"run table rows: {run.stdout}")
        doc = json.load(open(results))
        check(doc["version"] == 3 and doc["settings"]["copies"] == COPIES, f"{doc['settings']}")
        check(sorted(u["program"] for u in doc["results"]) == PROGRAMS, "programs")
        overlapping = sum(check_unit(unit) for unit in doc["results"])
        check(overlapping > 0, f"the copies never overlapped: {doc['results']}")

        table = harness("show", results, "--format", "json")
        check(table.returncode == 0, f"show: {table.stderr}")
        for row in json.loads(table.stdout)["tables"][0]["rows"]:
            check(row["wall_median_s"] > 0 and row["rate_median_per_s"] > 0, f"show: {row}")
    print(f"ok: {COPIES} copies of {' and '.join(PROGRAMS)} at once, every copy verified, "
          f"overlapping in {overlapping} of {len(PROGRAMS) * RUNS} rounds")


if __name__ == "__main__":
    main()
