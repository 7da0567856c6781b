#!/usr/bin/env python3
"""The results database end to end, with the real harness and real programs.

history (an SQLite file, or the server given by --db):
  two sessions of one configuration name on two revisions, the second built with
  -O0; `history` must flag the slower revision on every program that `compare`
  finds significantly slower (the same rule), and on at least one; Google
  Benchmark's compare.py must read every program of the two sessions' gbench
  exports; import then export must give back the results file; `report --db` draws
  the trend charts.

fleet (a PostgreSQL server, from the PG* variables: run under pg_virtualenv):
  four shards run at once into one database cover exactly the units of one
  unsharded run; one shard killed midway leaves the others complete and its own
  session readable and marked incomplete; revisions merge their shards in
  `compare`, with a warning when shards ran on different kinds of machine; import
  then export gives back the file; a damaged session is left out of history and its
  export refused, a damaged schema refused; a database of a newer schema is refused.

    store_e2e.py history --source DIR --harness EXE --compiler CXX [--db TARGET]
    store_e2e.py fleet --source DIR --harness EXE --build DIR
"""

import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from harness_script import check

PROGRAMS = "Fibonacci,biggest,quadloop"  # ref workloads of 30-200 ms at -O2
URL = "postgresql://"



class Harness:
    def __init__(self, exe, source):
        self.exe, self.source = exe, source

    def __call__(self, *words, ok=True, timeout=900):
        done = subprocess.run([self.exe, "--source", self.source, *words],
                              capture_output=True, text=True, timeout=timeout)
        if ok:
            check(done.returncode == 0,
                  f"{' '.join(words)}: status {done.returncode}: {done.stderr[-2000:]}")
        return done

    def start(self, *words):
        return subprocess.Popen([self.exe, "--source", self.source, *words],
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)

    def table(self, *words):
        return json.loads(self(*words, "--format", "json").stdout)["tables"][0]["rows"]


def round_trip(harness, results_file, db, scratch):
    imported = harness("import", results_file, "--db", db).stdout
    session = re.search(r"session (\d+)", imported).group(1)
    back = os.path.join(scratch, "back.json")
    harness("export", "--db", db, "--session", session, "--json", back)
    with open(results_file) as a, open(back) as b:
        check(json.load(a) == json.load(b), f"{results_file}: export differs from the import")


def scipy_python():
    """Google Benchmark's compare.py needs SciPy: Debian's python3 has it."""
    for python in ["/usr/bin/python3", sys.executable]:
        if subprocess.run([python, "-c", "import scipy"], capture_output=True).returncode == 0:
            return python
    check(False, "no python3 with scipy (python3-scipy) for compare.py")


def compare_py():
    for path in ["/usr/share/benchmark/compare.py"]:
        if os.path.exists(path):
            return path
    check(False, "compare.py not found (libbenchmark-tools)")


def history_case(args, scratch):
    harness = Harness(args.harness, args.source)
    db = args.db or os.path.join(scratch, "history.db")
    build_root = os.path.join(scratch, "build")
    files = {}
    for revision, flags in [("r1-O2", "-O2"), ("r2-O0", "-O0")]:
        files[revision] = os.path.join(scratch, f"{revision}.json")
        harness("run", "-w", "ref", "-p", PROGRAMS, "-n", "5", "--warmup", "1",
                "--config", f"cc={args.compiler}:{flags}", "--build-root", build_root,
                "--revision", revision, "--db", db, "--json", files[revision])

    history = harness.table("history", "--db", db)
    check({r["revision"] for r in history} == {"r1-O2", "r2-O0"}, f"revisions: {history}")
    changes = {r["program"]: r["change"] or "" for r in history if r["revision"] == "r2-O0"}
    firsts = [r for r in history if r["revision"] == "r1-O2"]
    check(all(not r["change"] for r in firsts), "the first revision has nothing before it")
    compared = harness.table("compare", "--db", db, "--revision", "r1-O2", "--revision", "r2-O0")
    verdicts = {r["program"]: r["verdict"] for r in compared}
    check(set(changes) == set(PROGRAMS.split(",")), f"programs in history: {changes}")
    for program, verdict in verdicts.items():
        check(changes[program] == verdict,
              f"{program}: history says {changes[program]!r}, compare says {verdict!r}")
    slower = [p for p, v in verdicts.items() if v == "slower"]
    check(slower, f"no program significantly slower at -O0: {verdicts}")
    print(f"history flags r2-O0 slower on {', '.join(slower)}; compare agrees on all "
          f"{len(verdicts)}")

    # Triage: a flagged change marked accepted (or a false positive) leaves the gates;
    # an open one stays in them.
    gate = ["history", "--db", db, "--fail-above", "5"]
    check(harness(*gate, ok=False).returncode == 1, "history --fail-above passes a slower -O0")
    # Every program is accepted, not only the flagged ones: on a busy machine a program
    # can miss significance and still weigh in the gate's geometric mean.
    for program in verdicts:
        harness("triage", "--db", db, "--revision", "r2-O0", "-p", program, "--state",
                "accepted", "--note", "built at -O0 on purpose")
    marked = harness.table("history", "--db", db)
    check(all(r["state"] == "accepted" for r in marked
              if r["revision"] == "r2-O0" and r["program"] in slower), f"states: {marked}")
    check(harness(*gate, ok=False).returncode == 0, "accepted changes still fail the gate")
    stored_gate = ["compare", "--db", db, "--revision", "r1-O2", "--revision", "r2-O0",
                   "--fail-above", "5"]
    check(harness(*stored_gate, ok=False).returncode == 0, "compare --db gates accepted changes")
    harness("triage", "--db", db, "--revision", "r2-O0", "-p", slower[0], "--state", "open")
    check(harness(*stored_gate, ok=False).returncode == 1, "an open change passes the gate")
    for revision, state in [("r2-O0", "wontfix"), ("nope", "open")]:
        bad = ["--revision", revision, "--state", state]
        done = harness("triage", "--db", db, "-p", slower[0], *bad, ok=False)
        check(done.returncode == 2 and done.stderr.count("\n") == 1,
              f"triage {bad}: status {done.returncode}: {done.stderr}")

    # Google Benchmark's own comparison reads both sessions, program by program.
    sessions = harness("history", "--db", db, "--format", "json")  # the database is readable
    exports = []
    for n, revision in enumerate(files, 1):
        path = os.path.join(scratch, f"{revision}.gbench.json")
        harness("export", "--db", db, "--session", str(n), "--format", "gbench", "--json", path)
        exports.append(path)
    done = subprocess.run([scipy_python(), compare_py(), "--no-color", "benchmarks", *exports],
                          capture_output=True, text=True, timeout=300)
    check(done.returncode == 0, f"compare.py: {done.stderr[-2000:]}")
    for program in PROGRAMS.split(","):
        check(f"{program}/ref_pvalue" in done.stdout,
              f"compare.py did not compare {program}: {done.stdout[-3000:]}")
    # A results file exports the same way as a session.
    direct = harness("export", files["r2-O0"], "--format", "gbench").stdout
    with open(exports[1]) as f:
        check(json.loads(direct)["benchmarks"] == json.load(f)["benchmarks"],
              "gbench of the file and of its session differ")

    round_trip(harness, files["r1-O2"], os.path.join(scratch, "fresh.db"), scratch)
    again = harness("import", files["r1-O2"], "--db", db).stdout
    check("already in the database as session 1" in again, f"imported twice: {again}")

    report = os.path.join(scratch, "report.html")
    harness("report", "--db", db, "-o", report)
    with open(report) as f:
        page = f.read()
    check("<h2>History</h2>" in page and page.count("<svg") >= 4, "report --db has no trends")
    del sessions


def fleet_case(args, scratch):
    harness = Harness(args.harness, args.source)
    run = ["run", "-w", "smoke", "-b", f"rel={args.build}", "--no-build", "--warmup", "0",
           "--db", URL]
    whole = os.path.join(scratch, "whole.json")
    harness(*run, "-n", "2", "--revision", "whole", "--json", whole)

    # Four shards at once; the third one runs on and on until it is killed.
    shards = {k: harness.start(*run, "--revision", "sharded", "--shard", f"{k}/4",
                               "-n", "100000" if k == 3 else "2") for k in range(1, 5)}
    try:
        shards_case(harness, shards, whole, scratch)
    finally:
        for shard in shards.values():  # nothing outlives a failed check
            if shard.poll() is None:
                shard.kill()
                shard.wait()


def shards_case(harness, shards, whole, scratch):
    for k in (1, 2, 4):
        check(shards[k].wait(timeout=600) == 0, f"shard {k}/4: {shards[k].stderr.read()}")

    def sql(query):
        return subprocess.run(["psql", "-At", "-c", query, URL], capture_output=True,
                              text=True, check=True).stdout.strip()

    killed = ""
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline:
        killed = sql("SELECT id FROM sessions WHERE shard = '3/4'")
        if killed and int(sql("SELECT count(*) FROM samples s JOIN units u ON u.id = s.unit_id "
                              f"WHERE u.session_id = {killed}")) > 3:
            break
        time.sleep(0.2)
    check(shards[3].poll() is None, "shard 3/4 ended before it was killed")
    shards[3].send_signal(signal.SIGKILL)
    shards[3].wait()

    listed = json.loads(harness("list", "--db", URL, "--json").stdout)["tables"][0]["rows"]
    sessions = sorted((r for r in listed if r["revision"] == "sharded"), key=lambda r: r["shard"])
    check(len(sessions) == 4, f"shard sessions: {sessions}")
    units, seen = {}, set()
    for row in sessions:
        session, shard, complete = str(row["session"]), row["shard"], row["complete"]
        doc = json.loads(harness("export", "--db", URL, "--session", session).stdout)
        check(doc["complete"] == (shard != "3/4") and complete == ("no" if shard == "3/4" else "yes"),
              f"shard {shard}: complete is {doc['complete']}")
        mine = {(u["config"], u["program"], u["workload"]) for u in doc["results"]}
        check(not (mine & seen), f"shard {shard} repeats units of another")
        seen |= mine
        units[shard] = doc
    with open(whole) as f:
        expected = {(u["config"], u["program"], u["workload"]) for u in json.load(f)["results"]}
    check(seen == expected, f"the shards ran {sorted(seen ^ expected)} differently")
    measured = [u for u in units["3/4"]["results"] if u["status"] == "ok"]
    check(measured, "the killed shard kept none of its measurements")
    print(f"4 shards covered the {len(expected)} units of one run; the killed shard kept "
          f"{len(measured)} measured units and is marked incomplete")

    # The shards of a revision compare as one session.
    compared = harness.table("compare", "--db", URL, "--revision", "whole",
                             "--revision", "sharded")
    check({r["program"] for r in compared} == {p for _, p, _ in expected},
          "compare of the merged shards misses programs")
    with open(whole) as f:
        other = json.load(f)
    other["environment"]["cpu"] = "another kind of CPU"
    other["environment"]["revision"] = "sharded"
    odd = os.path.join(scratch, "odd.json")
    with open(odd, "w") as f:
        json.dump(other, f)
    harness("import", odd, "--db", URL)
    done = harness("compare", "--db", URL, "--revision", "whole", "--revision", "sharded")
    check("different kinds of machine" in done.stderr, f"no machine warning: {done.stderr}")
    harness("history", "--db", URL)

    sql("CREATE DATABASE fresh")
    round_trip(harness, whole, "postgresql:///fresh", scratch)

    # Damage on the server: a run that is not a number leaves its session out of history
    # with one warning and fails its export with one line; a table renamed away is a
    # damaged schema, refused before anything is written.
    damaged = sql("SELECT u.session_id FROM samples s JOIN units u ON u.id = s.unit_id "
                  "ORDER BY s.unit_id LIMIT 1")
    sql(f"UPDATE samples SET wall_s = 'NaN' WHERE unit_id = (SELECT MIN(id) FROM units WHERE "
        f"session_id = {damaged})")
    done = harness("history", "--db", URL)
    check(f"session {damaged}: table samples" in done.stderr and "left out" in done.stderr,
          f"history of a damaged session: {done.stderr}")
    refused = harness("export", "--db", URL, "--session", damaged, ok=False)
    check(refused.returncode == 2 and refused.stderr.count("\n") == 1 and
          "wall_s is 'NaN', not a finite number" in refused.stderr,
          f"export of a damaged session: {refused.returncode} {refused.stderr}")
    sql("ALTER TABLE triage RENAME TO kept")
    before = sql("SELECT count(*) FROM sessions")
    refused = harness("import", odd, "--db", URL, ok=False)
    check(refused.returncode == 2 and "table triage is missing" in refused.stderr and
          refused.stderr.count("\n") == 1, f"renamed table: {refused.returncode} {refused.stderr}")
    check(sql("SELECT count(*) FROM sessions") == before, "an import wrote into a damaged schema")
    sql("ALTER TABLE kept RENAME TO triage")

    sql("INSERT INTO schema_version (version) VALUES (999)")
    refused = harness("history", "--db", URL, ok=False)
    check(refused.returncode == 2 and "newer" in refused.stderr and
          refused.stderr.count("\n") == 1, f"newer schema: {refused.returncode} {refused.stderr}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("case", choices=["history", "fleet"])
    ap.add_argument("--source", required=True)
    ap.add_argument("--harness", required=True)
    ap.add_argument("--compiler", default="g++")
    ap.add_argument("--build", help="fleet: a build folder holding the programs")
    ap.add_argument("--db", help="history: the database (default: a scratch SQLite file)")
    args = ap.parse_args()
    scratch = tempfile.mkdtemp(prefix=f"bench32-store-{args.case}-")
    try:
        (history_case if args.case == "history" else fleet_case)(args, scratch)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    print("ok")


if __name__ == "__main__":
    main()
