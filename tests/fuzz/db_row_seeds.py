#!/usr/bin/env python3
"""Writes the seed corpus of the db-row fuzz target: the rows of real sessions.

Small sessions cut from the stored results files (tests/harness/data/), with code
layouts, copies run at once, a failed unit and fields without a column, are imported
with the harness; each session's rows are then written in the target's layout (rows
split by 0x1e, values by 0x1f, 0x18 for NULL) in the column order it reads.

    db_row_seeds.py --harness EXE [--out tests/fuzz/corpus/db-row]
"""

import argparse
import copy
import json
import os
import sqlite3
import subprocess
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "..", "harness", "data")

SESSION = ("created, revision, machine, host, shard, complete, stop_reason, results_version, "
           "command, environment, settings, run_under, target, extra")
CONFIG = "position, name, compiler, compiler_version, flags, build_dir, extra"
UNIT = ("id, position, config, program, workload, status, failure, input_xxh3, binary_path, "
        "binary_xxh3, text_bytes, instructions, instructions_source, copies, rate_per_s, extra")
SAMPLE = ("unit_id, timed, position, wall_s, user_s, sys_s, max_rss_kib, layout, padding, "
          "copy_index, start_s, end_s, extra")


def small(doc, units):
    """The document with only `units` of its results, without section sizes."""
    doc = copy.deepcopy(doc)
    doc["results"] = [doc["results"][i] for i in units]
    for unit in doc["results"]:
        unit.get("binary", {}).pop("sections", None)
    return doc


def with_copies(doc):
    doc = small(doc, [0])
    unit = doc["results"][0]
    runs = len(unit["samples"]["wall_s"])
    for key in ("layout", "padding_bytes"):
        unit["samples"].pop(key, None)
        unit["warmup"].pop(key, None)
    unit.pop("layouts", None)
    unit["copies"] = 2
    unit["rate_per_s"] = [12.5, 0.25]
    unit["samples"]["copy"] = [i % 2 for i in range(runs)]
    unit["samples"]["start_s"] = [0.5 * (i // 2) for i in range(runs)]
    unit["samples"]["end_s"] = [0.5 * (i // 2) + unit["samples"]["wall_s"][i] for i in range(runs)]
    return doc


def failed(doc):
    doc = small(doc, [1])
    unit = doc["results"][0]
    unit["status"] = "failed"
    unit["failure"] = "stdout differs at line 2"
    for key in ("samples", "warmup"):
        unit[key] = {name: [] for name in unit[key]}
    doc["future_field"] = {"kept": [1, "two", None]}
    return doc


def text(value):
    if value is None:
        return "\x18"
    if isinstance(value, float):
        return repr(value)
    return str(value)


def row(values):
    return "\x1f".join(text(v) for v in values)


def rows_of(db, session):
    out = [row(db.execute(f"SELECT {SESSION} FROM sessions WHERE id = ?", (session,)).fetchone())]
    for r in db.execute(f"SELECT {CONFIG} FROM configurations WHERE session_id = ? "
                        "ORDER BY position", (session,)):
        out.append("c" + row(r))
    for r in db.execute(f"SELECT {UNIT} FROM units WHERE session_id = ? ORDER BY position",
                        (session,)):
        out.append("u" + row(r))
    columns = ", ".join("s." + c.strip() for c in SAMPLE.split(","))
    for r in db.execute(f"SELECT {columns} FROM samples s JOIN units u ON u.id = s.unit_id "
                        "WHERE u.session_id = ? ORDER BY u.position, s.timed, s.position",
                        (session,)):
        out.append("s" + row(r))
    return "\x1e".join(out).encode()


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--harness", required=True)
    ap.add_argument("--out", default=os.path.join(HERE, "corpus", "db-row"))
    args = ap.parse_args()
    with open(os.path.join(DATA, "results-v1.json")) as f:
        v1 = json.load(f)
    with open(os.path.join(DATA, "results-v2.json")) as f:
        v2 = json.load(f)
    seeds = {"plain": small(v1, [0]), "layouts": small(v2, [0, 1]), "copies": with_copies(v1),
             "failed-unit": failed(v1)}
    os.makedirs(args.out, exist_ok=True)
    with tempfile.TemporaryDirectory() as scratch:
        db_path = os.path.join(scratch, "seeds.db")
        for n, (name, doc) in enumerate(seeds.items(), 1):
            path = os.path.join(scratch, f"{name}.json")
            with open(path, "w") as f:
                json.dump(doc, f)
            subprocess.run([args.harness, "import", path, "--db", db_path], check=True,
                           capture_output=True)
            with sqlite3.connect(db_path) as db:
                seed = rows_of(db, n)
            with open(os.path.join(args.out, name), "wb") as f:
                f.write(seed)
            print(f"{name}: {len(seed)} bytes")


if __name__ == "__main__":
    main()
