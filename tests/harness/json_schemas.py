"""The JSON that bench32 writes against its schemas (harness/schemas/).

A results file of a real run, and the --format json outputs of compare, history, score
and explain on it, each validated with python3-jsonschema; the stored results files of
earlier versions too; and a file broken on purpose must fail.
"""

import argparse
import json
import subprocess
import sys
import tempfile
from pathlib import Path

from harness_script import check

SYSTEM_PYTHON = "/usr/bin/python3"
try:
    import jsonschema
except ImportError:
    import os
    if os.path.exists(SYSTEM_PYTHON) and not os.environ.get("BENCH32_JSONSCHEMA_REEXEC"):
        os.environ["BENCH32_JSONSCHEMA_REEXEC"] = "1"
        os.execv(SYSTEM_PYTHON, [SYSTEM_PYTHON] + sys.argv)
    print("skipped: python3-jsonschema is not installed")
    sys.exit(0)

HERE = Path(__file__).parent
SCHEMAS = HERE.parent.parent / "harness" / "schemas"


def validator(name):
    schema = json.loads((SCHEMAS / f"{name}.schema.json").read_text())
    jsonschema.Draft202012Validator.check_schema(schema)
    return jsonschema.Draft202012Validator(schema)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--source", required=True)
    ap.add_argument("--harness", required=True)
    ap.add_argument("--compiler", required=True)
    args = ap.parse_args()
    results, tables = validator("bench32-results"), validator("bench32-tables")

    def harness(*words):
        done = subprocess.run([args.harness, "--source", args.source, *words],
                              capture_output=True, text=True, timeout=600)
        check(done.returncode == 0, f"{' '.join(words)}: {done.stderr[-1500:]}")
        return done.stdout

    def valid(v, document, what):
        errors = sorted(v.iter_errors(document), key=lambda e: list(e.path))
        check(not errors, f"{what}: {[f'{list(e.path)}: {e.message}' for e in errors[:5]]}")

    with tempfile.TemporaryDirectory(prefix="bench32-schemas-") as tmp:
        scratch = Path(tmp)
        run = scratch / "run.json"
        harness("run", "-c", f"cc={args.compiler}:-O2", "-p", "hailstone", "-w", "smoke",
                "--runs", "3", "--instructions", "--build-root", str(scratch / "build"),
                "--json", str(run))
        valid(results, json.loads(run.read_text()), "run --json")
        for stored in ("results-v1.json", "results-v2.json"):
            valid(results, json.loads((HERE / "data" / stored).read_text()), stored)
        db = scratch / "s.db"
        harness("import", str(run), "--db", str(db))
        reference = Path(args.source) / "reference" / "ci-machine.json"
        outputs = {
            "compare": ["compare", str(run), str(run), "--format", "json"],
            "history": ["history", "--db", str(db), "--format", "json"],
            "score": ["score", str(reference), "--reference", str(reference), "--format", "json"],
            "explain": ["explain", "-p", "hailstone", "-w", "smoke", f"{run}:cc", f"{run}:cc",
                        "--format", "json"],
            "show": ["show", str(run), "--format", "json"],
        }
        for what, words in outputs.items():
            valid(tables, json.loads(harness(*words)), what)
        # explain --no-build takes the folders as they are: nothing is configured or built.
        built = scratch / "build" / "cfg-cc"
        done = subprocess.run([args.harness, "--source", args.source, "explain", "-p", "hailstone",
                               "-w", "smoke", "-b", f"a={built}", "-b", f"b={built}", "--no-build",
                               "--format", "json"], capture_output=True, text=True, timeout=600)
        check(done.returncode == 0 and "building" not in done.stderr and
              "configuring" not in done.stderr, f"explain --no-build: {done.stderr[-1000:]}")
        valid(tables, json.loads(done.stdout), "explain --no-build")
        # Broken on purpose: each must fail its schema.
        broken = json.loads(run.read_text())
        broken["results"][0]["status"] = "fine"
        check(not results.is_valid(broken), "a results file with an unknown status validates")
        shown = json.loads(harness("show", str(run), "--format", "json"))
        shown["version"] = 2
        check(not tables.is_valid(shown), "a table of another version validates")
    print("ok: run, compare, history, score, explain and show validate; broken files do not")
    return 0


if __name__ == "__main__":
    sys.exit(main())
