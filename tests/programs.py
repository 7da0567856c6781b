"""The suite's programs, as the harness finds them: `bench32-harness list --json`.

One rule says what a program is (a folder under benchmarks/ with a workloads.json,
its executable named after the folder) and one parser reads its facts; the test
scripts ask the harness rather than reading the files again.
"""

import json
import subprocess
import sys


def load(harness, source, full=False):
    """Every program: {"name", "folder", "workloads": {name: {...}}, "robustness"}.
    With full, each workload also holds its "input" and, when exact, its "stdout"."""
    run = subprocess.run([harness, "--source", source, "list", "--json"] +
                         (["--full"] if full else []),
                         capture_output=True, text=True)
    if run.returncode != 0:
        sys.exit(f"cannot list the programs: {run.stderr.strip()}")
    return json.loads(run.stdout)["programs"]
