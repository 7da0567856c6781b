#!/usr/bin/env python3
"""What the harness prints for files of earlier versions, byte for byte.

The files in data/ were written by earlier harnesses: a results file of version 1 (no
code layouts, with instruction counts), one of version 2 (two layouts per program) and
a database of schema version 1 (as an SQL dump; four sessions over four revisions, two
binaries). Every later harness must read them, and `show`, `compare`, `history` and
`report` must print exactly what data/expected/ holds. A change of output is a
decision: rerun with --update and commit the new expectations with the change.

    stored_outputs.py --harness EXE [--update]
"""

import argparse
import difflib
import os
import sqlite3
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")
EXPECTED = os.path.join(DATA, "expected")

V1 = "{data}/results-v1.json"
V2 = "{data}/results-v2.json"
DB = "{db}"

# name: arguments after the harness. {out} is a file the command writes (its content is
# the output compared); {data} the checked-in files; {db} a fresh copy of the schema-1
# database (opening it migrates it, so the checked-in dump is never touched).
CASES = {
    "show-v1.txt": ["show", V1],
    "show-v1.md": ["show", V1, "--format", "markdown"],
    "show-v1.csv": ["show", V1, "--format", "csv"],
    "show-v1.json": ["show", V1, "--format", "json"],
    "show-v1.html": ["show", V1, "--format", "html"],
    "show-v2.txt": ["show", V2],
    "show-v2.json": ["show", V2, "--format", "json"],
    "compare-v1.txt": ["compare", V1],
    "compare-v1.md": ["compare", V1, "--format", "markdown"],
    "compare-v1.csv": ["compare", V1, "--format", "csv"],
    "compare-v1.json": ["compare", V1, "--format", "json"],
    "compare-v1.html": ["compare", V1, "--format", "html"],
    "compare-v1-instructions.txt": ["compare", V1, "--metric", "instructions"],
    "compare-v1-rss.txt": ["compare", V1, "--metric", "rss", "--baseline", "clang"],
    "compare-v2.txt": ["compare", V2],
    "compare-v2-text-bytes.txt": ["compare", V2, "--metric", "text"],
    "compare-v1-v2.txt": ["compare", V1, V2],
    "compare-db-revisions.txt": ["compare", "--db", DB, "--revision", "r1", "--revision", "r3"],
    "compare-db-sessions.txt": ["compare", "--db", DB, "--session", "1", "--session", "2"],
    "history.txt": ["history", "--db", DB],
    "history.md": ["history", "--db", DB, "--format", "markdown"],
    "history.csv": ["history", "--db", DB, "--format", "csv"],
    "history.json": ["history", "--db", DB, "--format", "json"],
    "history.html": ["history", "--db", DB, "--format", "html"],
    "report-v1-v2.html": ["report", V1, V2, "-o", "{out}"],
    "report-v2-db.html": ["report", V2, "--db", DB, "-o", "{out}"],
}


def run(harness, name, args, scratch):
    db = os.path.join(scratch, f"{name}.db")
    with sqlite3.connect(db) as con:
        with open(os.path.join(DATA, "sessions-schema1.sql")) as dump:
            con.executescript(dump.read())
    out = os.path.join(scratch, f"{name}.out")
    argv = [harness] + [a.format(data=DATA, db=db, out=out) for a in args]
    # The report inlines the system's jQuery when it finds it: the stored pages are kept
    # without it, so that they hold no third-party code and no machine's version of it.
    env = dict(os.environ, BENCH32_JAVASCRIPT_DIR=os.path.join(scratch, "no-scripts"))
    proc = subprocess.run(argv, capture_output=True, text=True, timeout=120, env=env)
    text = proc.stdout
    if "{out}" in args and os.path.exists(out):
        with open(out) as f:
            text += f.read()
    # The checkout and the scratch folder differ from one machine to the next.
    text = f"exit {proc.returncode}\n{proc.stderr}{text}"
    return text.replace(scratch, "{scratch}").replace(DATA, "{data}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--harness", required=True)
    ap.add_argument("--update", action="store_true", help="write the expectations")
    opts = ap.parse_args()
    failed = []
    with tempfile.TemporaryDirectory() as scratch:
        for name, args in CASES.items():
            got = run(opts.harness, name, args, scratch)
            path = os.path.join(EXPECTED, name)
            if opts.update:
                os.makedirs(EXPECTED, exist_ok=True)
                with open(path, "w") as f:
                    f.write(got)
                continue
            want = open(path).read() if os.path.exists(path) else "(no expectation)\n"
            if got != want:
                failed.append(name)
                diff = difflib.unified_diff(want.splitlines(True), got.splitlines(True),
                                            f"expected/{name}", "now", n=2)
                sys.stdout.writelines(list(diff)[:40])
    if failed:
        print(f"FAIL: {len(failed)} of {len(CASES)} outputs changed: {', '.join(failed)}")
        return 1
    print(f"{len(CASES)} outputs as stored" if not opts.update else "expectations written")
    return 0


if __name__ == "__main__":
    sys.exit(main())
