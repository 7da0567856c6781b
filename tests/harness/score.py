#!/usr/bin/env python3
"""score end to end: a fresh smoke run of this build against the checked-in reference.

The score must be the geometric mean of the per-program ratios of medians, computed
here from the two results files; its interval must agree with SciPy's percentile
bootstrap of the same statistic; a run that lacks a program of the reference is refused
with one line naming it.

    score.py --source DIR --harness EXE --build DIR
"""

import argparse
import json
import math
import os
import statistics
import subprocess
import sys
import tempfile

from harness_script import check

try:
    import numpy as np
    from scipy import stats
except ImportError:  # Debian's python3 has SciPy (python3-scipy); CMake may have found another.
    if sys.executable != "/usr/bin/python3" and os.path.exists("/usr/bin/python3"):
        os.execv("/usr/bin/python3", ["/usr/bin/python3", *sys.argv])
    raise


def wall_by_program(results):
    config = results["configs"][0]["name"]
    return {(u["program"], u["workload"]): u["samples"]["wall_s"]
            for u in results["results"] if u["config"] == config}


def check_arithmetic(reference, fresh, scored):
    ref, new = wall_by_program(reference), wall_by_program(fresh)
    rows = {(r["program"], r["workload"]): r for r in scored["tables"][1]["rows"]}
    check(set(rows) == set(ref), f"programs scored {sorted(rows)} are not the reference's")
    ratios = []
    for key, row in rows.items():
        ratio = statistics.median(ref[key]) / statistics.median(new[key])
        check(math.isclose(row["ratio"], ratio, rel_tol=1e-6), f"{key}: ratio {row['ratio']} "
              f"where the medians give {ratio}")
        ratios.append(ratio)
    summary = scored["tables"][0]["rows"]
    check(len(summary) == 1, f"{len(summary)} scores for one configuration")
    score = math.exp(sum(map(math.log, ratios)) / len(ratios))
    check(math.isclose(summary[0]["score"], score, rel_tol=1e-6),
          f"score {summary[0]['score']} where the ratios give {score}")
    return summary[0], [(ref[k], new[k]) for k in rows]


def check_interval(row, pairs):
    """SciPy's bootstrap resamples every program's runs on each side, as the harness does."""
    def geometric(*samples, axis=-1):
        logs = [np.log(np.median(a, axis=axis) / np.median(b, axis=axis))
                for a, b in zip(samples[0::2], samples[1::2])]
        return np.exp(np.mean(logs, axis=0))
    data = [np.array(side) for pair in pairs for side in pair]
    ci = stats.bootstrap(data, geometric, n_resamples=4000, method="percentile",
                         vectorized=True, random_state=1).confidence_interval
    width = max(ci.high - ci.low, 1e-9)
    for ours, theirs in [(row["ci_low"], ci.low), (row["ci_high"], ci.high)]:
        check(abs(ours - theirs) <= 0.25 * width + 1e-4 * row["score"],
              f"interval end {ours} where SciPy's bootstrap gives {theirs} (width {width})")
    check(row["ci_low"] <= row["score"] <= row["ci_high"], f"score outside its interval: {row}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--source", required=True)
    ap.add_argument("--harness", required=True)
    ap.add_argument("--build", required=True)
    args = ap.parse_args()
    harness = [args.harness, "--source", args.source]
    with tempfile.TemporaryDirectory() as scratch:
        fresh_file = os.path.join(scratch, "fresh.json")
        run = subprocess.run([*harness, "run", "-b", f"this={args.build}", "-w", "smoke",
                              "--runs", "5", "--warmup", "0", "--json", fresh_file],
                             capture_output=True, text=True, timeout=900)
        check(run.returncode == 0, f"run: status {run.returncode}: {run.stderr[-2000:]}")
        done = subprocess.run([*harness, "score", fresh_file, "--format", "json"],
                              capture_output=True, text=True, timeout=120)
        check(done.returncode == 0, f"score: status {done.returncode}: {done.stderr}")
        with open(os.path.join(args.source, "reference", "ci-machine.json")) as f:
            reference = json.load(f)
        with open(fresh_file) as f:
            fresh = json.load(f)
        row, pairs = check_arithmetic(reference, fresh, json.loads(done.stdout))
        check_interval(row, pairs)

        fresh["results"] = [u for u in fresh["results"] if u["program"] != "primes"]
        lacking = os.path.join(scratch, "lacking.json")
        with open(lacking, "w") as f:
            json.dump(fresh, f)
        done = subprocess.run([*harness, "score", lacking], capture_output=True, text=True,
                              timeout=120)
        lines = done.stderr.strip().splitlines()
        check(done.returncode == 2 and len(lines) == 1 and "primes/smoke" in lines[0],
              f"a run without primes: status {done.returncode}, {done.stderr!r}")
    print(f"score {row['score']:.3f} [{row['ci_low']:.3f}, {row['ci_high']:.3f}] against the "
          f"reference, as the medians and SciPy's bootstrap give")


if __name__ == "__main__":
    main()
