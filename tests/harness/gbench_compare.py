"""Google Benchmark's compare.py on bench32's exports agrees with bench32's compare.

Two configurations of a stored session exported as Google Benchmark JSON: compare.py's
`_median` rows give compare's ratios, and with --medians its OVERALL_GEOMEAN is compare's
geometric mean ratio (within 0.5%); without, every run is a repetition and the U test
has them.
"""

import argparse
import json
import math
import re
import subprocess
import sys
import tempfile
from pathlib import Path

from harness_script import check
from store_e2e import compare_py, scipy_python

DATA = Path(__file__).parent / "data"


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--harness", required=True)
    args = ap.parse_args()
    results = str(DATA / "results-v1.json")

    def harness(*words):
        done = subprocess.run([args.harness, *words], capture_output=True, text=True, timeout=120)
        check(done.returncode == 0, f"{' '.join(words)}: {done.stderr}")
        return done.stdout

    rows = json.loads(harness("compare", results, "--format", "json"))["tables"][0]["rows"]
    ratios = {r["program"]: r["ratio"] for r in rows}
    ours = math.exp(sum(math.log(v) for v in ratios.values()) / len(ratios))
    with tempfile.TemporaryDirectory(prefix="bench32-gbench-") as tmp:
        for medians in (False, True):
            files = []
            for config in ("gcc", "clang"):
                path = Path(tmp) / f"{config}-{medians}.json"
                harness("export", results, "--format", "gbench", "-c", config, "-o", str(path),
                        *(["--medians"] if medians else []))
                files.append(str(path))
            done = subprocess.run([scipy_python(), compare_py(), "--no-color", "benchmarks",
                                   *files], capture_output=True, text=True, timeout=300)
            check(done.returncode == 0, f"compare.py: {done.stderr[-2000:]}")
            found = {}
            for line in done.stdout.splitlines():
                m = re.match(r"(\S+?)/smoke(_median)?\s+([+-]\d+\.\d+)", line)
                if m and (medians or m.group(2)):
                    found[m.group(1)] = 1 + float(m.group(3))
                g = re.match(r"OVERALL_GEOMEAN\s+([+-]\d+\.\d+)", line)
                if g:
                    geomean = 1 + float(g.group(1))
            for program, ratio in ratios.items():
                check(abs(found[program] / ratio - 1) < 0.001,
                      f"{program}: compare.py {found[program]}, compare {ratio}")
            if medians:
                check(abs(geomean / ours - 1) < 0.005,
                      f"OVERALL_GEOMEAN {geomean} against compare's {ours}")
            else:
                check("_pvalue" in done.stdout, "compare.py ran no U test on the runs")
            print(f"ok {'medians' if medians else 'runs'}: compare.py geomean {geomean:.4f}, "
                  f"compare {ours:.4f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
