#!/usr/bin/env python3
"""Compile times are measured on compiles that really happen, and are the build's.

A configuration's compiler is a stand-in that, in a child process it waits for, burns
200 ms of CPU and touches 128 MiB, then runs the real compiler. `run --compile-runs 2`
must give every program a `compile` of at least 0.2 s per translation unit (and a
compile CPU time as large, and a compile RSS of at least 128 MiB: the compiler's
children count), and a second `run` on the up-to-date folder must measure as much
again without touching the build's objects; the database keeps them and `history`
and `compare` read them. When the stand-in tampers with the objects
it writes, the linked executable is not the built one and the compile is refused with
one line. A caching launcher (a stand-in ccache that logs its calls) is left out: the
compiles measured never go through it.

    compile_times.py --source DIR --harness EXE --compiler CXX
"""

import json
import os
import shutil
import subprocess
import tempfile

from harness_script import arguments, check

FAKE_COMPILER = """#!/usr/bin/env python3
import os, subprocess, sys
BURN = '''
import time
memory = bytearray(128 << 20)
for i in range(0, len(memory), 4096):
    memory[i] = 1
start = time.process_time()
while time.process_time() - start < 0.2:
    pass
'''
subprocess.run([sys.executable, "-c", BURN], check=True)
args = sys.argv[1:]
if os.path.exists({tamper!r}) and "-c" in args and "-o" in args:
    status = subprocess.run([{real!r}] + args).returncode
    if status == 0:
        obj = args[args.index("-o") + 1]
        status = subprocess.run(["objcopy", "--add-symbol", "bench32_tampered=0", obj]).returncode
    sys.exit(status)
os.execv({real!r}, [{real!r}] + args)
"""

LAUNCHER = """#!/bin/sh
echo "$@" >> {log}
exec "$@"
"""


def main():
    args = arguments(__doc__)
    real = shutil.which(args.compiler) or args.compiler

    with tempfile.TemporaryDirectory(prefix="bench32-compile-times-") as scratch:
        tamper = os.path.join(scratch, "tamper")
        fake = os.path.join(scratch, "fake-cxx")
        with open(fake, "w") as f:
            f.write(FAKE_COMPILER.format(real=real, tamper=tamper))
        os.chmod(fake, 0o755)
        build_root = os.path.join(scratch, "build")

        def harness(*words):
            return subprocess.run([args.harness, "--source", args.source, *words],
                                  capture_output=True, text=True, timeout=1200)

        def measured(name, *extra):
            out = os.path.join(scratch, name)
            run = harness("run", "-p", "hailstone,pegs", "-w", "smoke", "-n", "1", "--warmup",
                          "0", "--config", f"fake={fake}:-O2", "--build-root", build_root,
                          "--compile-runs", "2", "--json", out, *extra)
            check(run.returncode == 0, f"{name}: status {run.returncode}: {run.stderr[-3000:]}")
            with open(out) as f:
                return json.load(f), run

        def check_slow_compiles(doc, name):
            units = doc["results"]
            check(len(units) == 2, f"{name}: {len(units)} units")
            for u in units:
                c = u.get("compile", {})
                tu = c.get("translation_units", 0)
                where = f"{name} {u['program']}: {c}"
                check(tu >= 1 and len(c["wall_s"]) == 2, f"{where}: not two rounds")
                check(all(w >= 0.2 * tu for w in c["wall_s"]), f"{where}: compile under 0.2 s/TU")
                check(all(t >= 0.2 * tu for t in c["cpu_s"]), f"{where}: compile CPU under 0.2 s")
                check(all(r >= 128 * 1024 for r in c["max_rss_kib"]),
                      f"{where}: the compiler's children's memory is not counted")
                check(all(w >= 0.2 for w in c["link_wall_s"]), f"{where}: link under 0.2 s")

        first, run = measured("first.json")
        check_slow_compiles(first, "first run")
        check("compile" in run.stdout and "link" in run.stdout,
              f"no compile columns in the table: {run.stdout}")

        # The build's own objects and executables, which the measured compiles never touch.
        cfg = os.path.join(build_root, "cfg-fake")
        outputs = [os.path.join(d, f) for d, _, files in os.walk(cfg) for f in files
                   if f.endswith(".o") or f in ("hailstone", "pegs")]
        check(len(outputs) >= 4, f"build outputs not found: {outputs}")
        stamps = {p: os.stat(p).st_mtime_ns for p in outputs}

        second, _ = measured("second.json")
        check_slow_compiles(second, "second run (up-to-date build)")
        check({p: os.stat(p).st_mtime_ns for p in outputs} == stamps,
              "the measured compiles touched the build's own files")

        shown = harness("show", os.path.join(scratch, "second.json"), "--format", "csv")
        header = shown.stdout.splitlines()[0].split(",")
        check(header[-4:] == ["compile_median_s", "compile_cpu_median_s", "compile_max_rss_kib",
                              "link_median_s"], f"CSV columns: {header}")
        compared = harness("compare", os.path.join(scratch, "first.json"),
                           os.path.join(scratch, "second.json"), "--metric", "compile")
        check(compared.returncode == 0 and "hailstone" in compared.stdout,
              f"compare --metric compile: {compared.stdout}{compared.stderr}")

        # The database keeps them (in the unit's extra JSON) and history reads them there.
        db = os.path.join(scratch, "r.db")
        imported = harness("import", os.path.join(scratch, "second.json"), "--db", db)
        check(imported.returncode == 0, f"import: {imported.stderr}")
        exported = os.path.join(scratch, "exported.json")
        harness("export", "--db", db, "--session", "1", "--json", exported)
        with open(exported) as f:
            back = json.load(f)
        check([u["compile"] for u in back["results"]] == [u["compile"] for u in second["results"]],
              "the database lost the compile samples")
        history = harness("history", "--db", db, "--metric", "compile")
        check(history.returncode == 0 and "hailstone" in history.stdout
              and "compile (s)" in history.stdout,
              f"history --metric compile: {history.stdout}{history.stderr}")

        open(tamper, "w").close()
        tampered, run = measured("tampered.json")
        os.remove(tamper)
        for u in tampered["results"]:
            refused = u.get("compile", {}).get("refused", "")
            check("other than the built one" in refused and "wall_s" not in u["compile"],
                  f"tampered objects not refused: {u.get('compile')}")
            check(u["status"] == "ok", f"the runs should still be measured: {u['status']}")
        lines = [l for l in run.stderr.splitlines() if "compile of fake hailstone not kept" in l]
        check(len(lines) == 1, f"no one-line refusal: {run.stderr[-2000:]}")

        # A caching launcher: the folder is built through it, the measured compiles not.
        log = os.path.join(scratch, "ccache.log")
        launcher = os.path.join(scratch, "bin", "ccache")
        os.makedirs(os.path.dirname(launcher))
        with open(launcher, "w") as f:
            f.write(LAUNCHER.format(log=log))
        os.chmod(launcher, 0o755)
        cached = os.path.join(build_root, "cached")
        case_runner = os.path.join(os.path.dirname(args.harness), "bench32-case")
        configure = subprocess.run(
            ["cmake", "-S", args.source, "-B", cached, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=None",
             f"-DCMAKE_CXX_COMPILER={real}", "-DCMAKE_CXX_FLAGS=-O2",
             f"-DCMAKE_CXX_COMPILER_LAUNCHER={launcher}", "-DBENCH32_TOOLS=OFF",
             f"-DBENCH32_CASE_RUNNER={case_runner}"], capture_output=True, text=True, timeout=600)
        check(configure.returncode == 0, f"configure: {configure.stderr[-2000:]}")
        built = subprocess.run(["ninja", "-C", cached, "hailstone"], capture_output=True,
                               text=True, timeout=600)
        check(built.returncode == 0, f"build: {built.stdout[-2000:]}")
        with open(log) as f:
            calls = f.read()
        check(calls.count("\n") >= 1, "the build did not go through the launcher")
        out = os.path.join(scratch, "cached.json")
        run = harness("run", "-p", "hailstone", "-w", "smoke", "-n", "1", "--warmup", "0",
                      "--build", f"cached={cached}", "--no-build", "--compile-runs", "1",
                      "--json", out)
        check(run.returncode == 0, f"cached: status {run.returncode}: {run.stderr[-2000:]}")
        with open(log) as f:
            check(f.read() == calls, "a measured compile went through the caching launcher")
        check("ccache left out" in run.stderr, f"the launcher is not named: {run.stderr}")
        with open(out) as f:
            c = json.load(f)["results"][0]["compile"]
        check(len(c.get("wall_s", [])) == 1, f"no compile measured past the launcher: {c}")
    print("compile times: slow compiles measured twice, objects untouched, tampering "
          "refused, caching launcher left out")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
