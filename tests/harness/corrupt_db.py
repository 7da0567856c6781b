#!/usr/bin/env python3
"""A seeded corruption run of the results database, through the (sanitized) harness.

A database of three sessions over two revisions (code layouts, copies run at once) is
damaged in one way per case, each drawn from a seeded generator: a value set to another
type, NULL, negative, huge or not finite; rows deleted; a table dropped; rows of no
session; bytes of the file flipped; the file truncated. Each damaged copy is then read
with `history`, `compare --db`, `report --db` and `export --db`, and written by a further
`run --db` (one run of one program, with --no-build). The fixed reproducers come first.

Each command's outcome is one of:
  ok            status 0 with nothing wrong read, or status 2 with one line;
  crash         a signal, or a status other than 0 to 3;
  sanitizer     a report of AddressSanitizer, UndefinedBehaviorSanitizer or LeakSanitizer;
  hang          no end within the time limit;
  read-as-valid status 0 after reading a value that the damage made invalid, with no
                warning that its session was left out;
  internals     a library's words (an exception's text, SQLite's messages);
  multi-line    a refusal over more than one line, or a line not in bench32's words;
  status-3      a damaged database refused as if the system had failed;
and after the further run:
  lost-rows     a row that was there before the run is gone or changed.

    corrupt_db.py --harness EXE --source DIR --build DIR [--count N | --full] [--seed S]
"""

import argparse
import json
import os
import random
import shutil
import sqlite3
import subprocess
import sys
import tempfile
from contextlib import closing
from collections import Counter

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
FULL_COUNT = 240
TIMEOUT = 120

# The columns of each table by kind, for drawing damage and telling what it breaks.
SAMPLE_NUMBERS = ["wall_s", "user_s", "sys_s", "max_rss_kib", "start_s", "end_s"]
SAMPLE_INTEGERS = ["layout", "padding", "copy_index", "timed", "position"]
JSON_COLUMNS = {"sessions": ["command", "environment", "settings", "target", "extra"],
                "units": ["rate_per_s", "extra"], "configurations": ["extra"],
                "samples": ["extra"]}
INTEGERS = {"sessions": ["complete", "results_version"],
            "units": ["text_bytes", "instructions", "copies", "position"],
            "configurations": ["position"], "samples": SAMPLE_INTEGERS}
TEXTS = {"sessions": ["created", "revision", "machine", "host", "shard", "stop_reason",
                      "run_under"],
         "units": ["config", "program", "workload", "status", "failure", "input_xxh3",
                   "binary_path", "binary_xxh3", "instructions_source"],
         "configurations": ["name", "compiler", "compiler_version", "flags", "build_dir"],
         "samples": []}
NUMBERS = {"samples": SAMPLE_NUMBERS}
TABLES = ["sessions", "configurations", "units", "samples"]

VALUES = ["fast", None, -1, -0.5, -1e308, 1e308, float("inf"), float("-inf"), float("nan"),
          "", "{", "[]", "[1]", "{}", "no", b"\xff\xfe\x00", "a\nb\x1b[31m", 2**63 - 1, -2**63,
          0.5, 7, '{"a": 1, "a": 2}', "[" * 20000, '"text"', "1e999", "0x10", " 1", "x" * 5000]

INTERNALS = ["json.exception", "what():", "terminate called", "std::", "malformed",
             "file is not a database", "no such table", "no such column", "SQLITE_",
             "parse_error", "type_error", "basic_string"]
SANITIZERS = ["AddressSanitizer", "runtime error:", "LeakSanitizer", "UndefinedBehaviorSanitizer"]


def json_ok(text, must_be_object):
    def no_duplicates(pairs):
        if len({k for k, _ in pairs}) != len(pairs):
            raise ValueError("duplicate key")
        return dict(pairs)
    try:
        parsed = json.loads(text, object_pairs_hook=no_duplicates)
    except (ValueError, RecursionError):
        return False
    return not must_be_object or isinstance(parsed, dict)


def invalid_after(path, table, column, rowid, was):
    """True when the stored value is certainly not what the harness could have written;
    None when it may be."""
    with closing(sqlite3.connect(path)) as db, db:
        db.text_factory = bytes
        row = db.execute(f"SELECT typeof({column}), {column} FROM {table} WHERE rowid = ?",
                         (rowid,)).fetchone()
    if row is None:
        return None
    kind, value = row[0].decode(), row[1]
    if kind == "null":
        required = column == "extra" and table != "samples"
        return True if (was is not None and (table == "samples" or required)) else None
    if column in JSON_COLUMNS[table]:
        if kind in ("text", "blob"):
            try:
                value = value.decode()
            except UnicodeDecodeError:
                return True
        return True if not json_ok(str(value), column == "extra") else None
    if column in INTEGERS[table]:
        if kind != "integer":
            return True
        ranged = {"timed": (0, 1), "complete": (0, 1), "layout": (0, None),
                  "padding": (0, None), "copy_index": (0, None)}
        lo, hi = ranged.get(column, (None, None))
        return True if (lo is not None and value < lo) or (hi is not None and value > hi) \
            else None
    if column in NUMBERS.get(table, []):
        if kind not in ("integer", "real"):
            return True
        return True if not (0 <= value < float("inf")) else None
    return None


class Damage:
    """One corruption of a copy of the database, and what it makes invalid."""

    def __init__(self, name, apply, invalid_session=None, judge=None):
        self.name, self.apply, self.invalid_session = name, apply, invalid_session
        self.judge = judge  # path -> whether the damage made a value invalid

    def damage(self, path):
        self.apply(path)
        if self.judge and not self.judge(path):
            self.invalid_session = None


def session_of(db, table, rowid):
    if table == "sessions":
        return rowid
    if table in ("units", "configurations"):
        sql = f"SELECT session_id FROM {table} WHERE rowid = ?"
    else:
        sql = "SELECT u.session_id FROM samples s JOIN units u ON u.id = s.unit_id " \
              "WHERE s.rowid = ?"
    row = db.execute(sql, (rowid,)).fetchone()
    return row[0] if row else None


def sql_damage(statements):
    def apply(path):
        with closing(sqlite3.connect(path)) as db, db:
            for s, params in statements:
                try:
                    db.execute(s, params)
                except sqlite3.IntegrityError:
                    pass  # a NOT NULL or a key that SQLite itself keeps: no damage done
    return apply


def value_damage(rng, base):
    table = rng.choice(TABLES)
    columns = JSON_COLUMNS[table] + INTEGERS[table] + TEXTS[table] + NUMBERS.get(table, [])
    column = rng.choice(columns)
    value = rng.choice(VALUES)
    with closing(sqlite3.connect(base)) as db, db:
        rowid = rng.choice([r[0] for r in db.execute(f"SELECT rowid FROM {table}")])
        was = db.execute(f"SELECT {column} FROM {table} WHERE rowid = ?", (rowid,)).fetchone()[0]
        session = session_of(db, table, rowid)
    return Damage(f"{table}.{column} of row {rowid} = {repr(value)[:30]}",
                  sql_damage([(f"UPDATE {table} SET {column} = ? WHERE rowid = ?",
                               (value, rowid))]), session,
                  lambda path: invalid_after(path, table, column, rowid, was))


def delete_damage(rng, base):
    table = rng.choice(TABLES)
    with closing(sqlite3.connect(base)) as db, db:
        rowids = [r[0] for r in db.execute(f"SELECT rowid FROM {table}")]
    gone = rng.sample(rowids, min(len(rowids), rng.choice([1, 1, 2, 5])))
    marks = ", ".join("?" * len(gone))
    return Damage(f"{len(gone)} rows of {table} deleted",
                  sql_damage([(f"DELETE FROM {table} WHERE rowid IN ({marks})", gone)]))


def drop_damage(rng, base):
    table = rng.choice(TABLES + ["schema_version", "triage"])
    return Damage(f"table {table} dropped", sql_damage([(f"DROP TABLE {table}", ())]))


def version_damage(rng, base):
    value = rng.choice([None, "no", 0, -1, 99, 2.5])
    if value is None:
        return Damage("schema_version emptied", sql_damage([("DELETE FROM schema_version", ())]))
    return Damage(f"schema_version = {value!r}",
                  sql_damage([("UPDATE schema_version SET version = ?", (value,))]))


def stray_damage(rng, base):
    choice = rng.randrange(3)
    if choice == 0:
        s = ("INSERT INTO units (session_id, position, config, program, workload, status, "
             "extra) VALUES (-5, 0, 'x', 'y', 'z', 'ok', 'not json')")
        return Damage("a unit of session -5", sql_damage([(s, ())]))
    if choice == 1:
        s = "INSERT INTO samples (unit_id, timed, position, wall_s) VALUES (999, 1, 0, 'fast')"
        return Damage("a run of unit 999", sql_damage([(s, ())]))
    s = "INSERT INTO configurations (session_id, position, name, extra) VALUES (77, 0, 'n', '5')"
    return Damage("a configuration of session 77", sql_damage([(s, ())]))


def flip_damage(rng, base):
    size = os.path.getsize(base)
    offsets = sorted(rng.randrange(size) for _ in range(rng.choice([1, 4, 32, 512])))

    def apply(path):
        with open(path, "r+b") as f:
            for at in offsets:
                f.seek(at)
                byte = f.read(1)[0]
                f.seek(at)
                f.write(bytes([byte ^ rng.randrange(1, 256)]))
    return Damage(f"{len(offsets)} bytes flipped from {offsets[0]}", apply)


def truncate_damage(rng, base):
    size = os.path.getsize(base)
    keep = rng.choice([0, 10, 100, 512, 4096, rng.randrange(size)])

    def apply(path):
        os.truncate(path, keep)
    return Damage(f"truncated to {keep} bytes", apply)


KINDS = [value_damage] * 8 + [delete_damage] * 3 + [drop_damage, version_damage, stray_damage,
                                                     flip_damage] * 2 + [truncate_damage] * 2


def fixed_damages(base):
    """The reproducers, first of every run."""
    with closing(sqlite3.connect(base)) as db, db:
        first_sample = db.execute("SELECT MIN(rowid) FROM samples").fetchone()[0]
    return [
        Damage("wall_s = 'fast'", sql_damage([("UPDATE samples SET wall_s = 'fast'", ())]), 1),
        Damage("units.extra = 'no'", sql_damage([("UPDATE units SET extra = 'no' WHERE id = 1",
                                                  ())]), 1),
        Damage("schema_version emptied", sql_damage([("DELETE FROM schema_version", ())])),
        Damage("a unit of session -5", sql_damage([(
            "INSERT INTO units (session_id, position, config, program, workload, status, extra) "
            "VALUES (-5, 0, 'x', 'y', 'z', 'ok', '{}')", ())])),
        Damage("a NULL run", sql_damage([("UPDATE samples SET wall_s = NULL WHERE rowid = ?",
                                          (first_sample,))]), 1),
    ]


def rows(path):
    """Every row of the session tables (none of a table that is not there), or None when
    SQLite cannot read the file."""
    out = set()
    try:
        with closing(sqlite3.connect(f"file:{path}?mode=ro", uri=True)) as db, db:
            db.text_factory = bytes
            for table in TABLES:
                try:
                    for r in db.execute(f"SELECT * FROM {table}"):
                        out.add((table,) + tuple(repr(v) for v in r))
                except sqlite3.OperationalError as e:
                    if "no such table" not in str(e):
                        raise
        return out
    except (sqlite3.DatabaseError, UnicodeDecodeError):
        return None


def classify(done, invalid_read):
    if done is None:
        return "hang"
    err = done.stderr
    if any(s in err for s in SANITIZERS):
        return "sanitizer"
    if done.returncode < 0 or done.returncode > 3:
        return "crash"
    if any(s in err for s in INTERNALS):
        return "internals"
    # A refusal is one line; a command that went on may have printed progress and warnings.
    lines = err.splitlines()
    if done.returncode != 0 and (len(lines) != 1 or not lines[0].startswith("bench32: ")):
        return "multi-line"
    if done.returncode == 3:
        return "status-3"
    if done.returncode == 0 and invalid_read and "left out" not in err:
        return "read-as-valid"
    return "ok"


def ok_kind(done):
    if done.returncode == 2:
        return "refused with one line"
    if "left out" in done.stderr:
        return "read, with a warning"
    return "read" if done.returncode == 0 else f"status {done.returncode}"


def run(cmd, env):
    try:
        return subprocess.run(cmd, capture_output=True, text=True, errors="replace",
                              timeout=TIMEOUT, env=env)
    except subprocess.TimeoutExpired:
        return None


def make_base(harness, scratch):
    with open(os.path.join(DATA, "results-v1.json")) as f:
        v1 = json.load(f)
    with open(os.path.join(DATA, "results-v2.json")) as f:
        v2 = json.load(f)
    other = json.loads(json.dumps(v1))
    other["created"] = "2026-12-10T00:00:00Z"
    other["environment"]["revision"] = "r-two"
    unit = other["results"][0]
    runs = len(unit["samples"]["wall_s"])
    unit["copies"] = 2
    unit["rate_per_s"] = [12.5, 0.25]
    unit["samples"]["copy"] = [i % 2 for i in range(runs)]
    unit["samples"]["start_s"] = [0.5 * (i // 2) for i in range(runs)]
    unit["samples"]["end_s"] = [0.5 * (i // 2) + w for i, w in enumerate(unit["samples"]["wall_s"])]
    base = os.path.join(scratch, "base.db")
    for n, doc in enumerate([v1, v2, other]):
        path = os.path.join(scratch, f"s{n}.json")
        with open(path, "w") as f:
            json.dump(doc, f)
        done = subprocess.run([harness, "import", path, "--db", base], capture_output=True,
                              text=True)
        if done.returncode != 0:
            sys.exit(f"import {path}: {done.stderr}")
    with closing(sqlite3.connect(base)) as db, db:
        db.execute("PRAGMA wal_checkpoint(TRUNCATE)")
        revision = db.execute("SELECT revision FROM sessions WHERE id = 1").fetchone()[0]
    return base, revision


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--harness", required=True)
    ap.add_argument("--source", required=True)
    ap.add_argument("--build", required=True, help="a build folder with hailstone built")
    ap.add_argument("--count", type=int, default=20, help="seeded corruptions after the fixed")
    ap.add_argument("--full", action="store_true", help=f"{FULL_COUNT} seeded corruptions")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("-v", "--verbose", action="store_true")
    args = ap.parse_args()
    count = FULL_COUNT if args.full else args.count
    if not os.path.exists(os.path.join(args.build, "bin", "hailstone")):
        print(f"skipped: {args.build}/bin/hailstone is not built")
        sys.exit(77)
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=1:abort_on_error=0",
               UBSAN_OPTIONS="print_stacktrace=1")
    scratch = tempfile.mkdtemp(prefix="bench32-corrupt-db-")
    try:
        base, revision = make_base(args.harness, scratch)
        rng = random.Random(args.seed)
        damages = fixed_damages(base) + [rng.choice(KINDS)(rng, base) for _ in range(count)]
        outcomes, bad, how = Counter(), [], Counter()
        for n, damage in enumerate(damages):
            db = os.path.join(scratch, f"case{n}.db")
            shutil.copy(base, db)
            damage.damage(db)
            before, before_bytes = rows(db), open(db, "rb").read()
            h = [args.harness, "--source", args.source]
            reads = [
                ("history", ["history", "--db", db], True),
                ("compare", ["compare", "--db", db, "--revision", revision, "--revision",
                             "r-two"], True),
                ("report", ["report", "--db", db, "-o", os.path.join(scratch, "r.html")], True),
                ("export", ["export", "--db", db, "--session", "1"],
                 damage.invalid_session == 1),
            ]
            for name, words, reads_damage in reads:
                done = run(h + words, env)
                outcome = classify(done, reads_damage and damage.invalid_session is not None)
                outcomes[outcome] += 1
                if outcome == "ok":
                    how[ok_kind(done)] += 1
                if outcome != "ok" or args.verbose:
                    detail = "timeout" if done is None else \
                        f"status {done.returncode}: {done.stderr.strip()[-600:]}"
                    line = f"[{n}] {damage.name}: {name}: {outcome}: {detail}"
                    (bad.append(line) if outcome != "ok" else print(line))
            # A further run writes into the damaged database and keeps every row.
            done = run(h + ["run", "--no-build", "-b", f"rel={args.build}", "-w", "smoke", "-p",
                            "hailstone", "--runs", "1", "--warmup", "0", "--db", db], env)
            outcome = classify(done, False)
            if outcome == "ok":
                how[ok_kind(done)] += 1
                after = rows(db)
                if done.returncode == 0:
                    kept = before is not None and after is not None and before <= after
                elif before is not None:
                    kept = after == before
                else:
                    kept = open(db, "rb").read() == before_bytes
                if not kept:
                    outcome = "lost-rows"
            outcomes[outcome] += 1
            if outcome != "ok" or args.verbose:
                detail = "timeout" if done is None else \
                    f"status {done.returncode}: {done.stderr.strip()[-600:]}"
                line = f"[{n}] {damage.name}: run: {outcome}: {detail}"
                (bad.append(line) if outcome != "ok" else print(line))
            os.remove(db)
            for suffix in ("-wal", "-shm"):
                if os.path.exists(db + suffix):
                    os.remove(db + suffix)
        for line in bad:
            print(line)
        total = sum(outcomes.values())
        print(f"{len(damages)} corruptions ({len(damages) - count} fixed, {count} seeded with "
              f"seed {args.seed}), {total} commands: " +
              ", ".join(f"{k} {v}" for k, v in sorted(outcomes.items())) +
              " (ok: " + ", ".join(f"{k} {v}" for k, v in sorted(how.items())) + ")")
        sys.exit(1 if bad else 0)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
