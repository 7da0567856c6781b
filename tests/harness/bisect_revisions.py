"""bisect over a toy compiler's revisions: the known commit found, broken revisions skipped.

The toy compiler is a git repository made here: its build script writes bin/cc, which
runs the real compiler with the revision's flags. Of its 64 revisions, r41 adds
-fno-inline (quadloop's instructions and time move); r17, r42 and r50 do not build;
r39 miscompiles hailstone (a constructor writes a byte before the program's output).
Each bisection must name r41, report r39 by itself, skip what does not build, leave the
repository's own checkout untouched, and go on after an interrupt to the same answer.
"""

import json
import os
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from harness_script import arguments, check

BUILD_SH = """#!/bin/sh
set -e
if [ -e BROKEN ]; then echo "error: this revision does not build" >&2; exit 1; fi
mkdir -p bin
flags=$(cat flags)
wrong=""
if [ -e MISCOMPILE ]; then wrong="$PWD/corrupt.h"; fi
cat > bin/cc <<EOF
#!/bin/sh
extra=""
if [ -n "$wrong" ]; then
  compiles=no; hailstone=no
  for a in "\\$@"; do
    case "\\$a" in -c) compiles=yes;; */benchmarks/hailstone/*) hailstone=yes;; esac
  done
  if [ \\$compiles = yes ] && [ \\$hailstone = yes ]; then extra="-include $wrong"; fi
fi
exec {compiler} "\\$@" $flags \\$extra
EOF
chmod +x bin/cc
"""

CORRUPT_H = """#include <unistd.h>
__attribute__((constructor)) static void toy_miscompile(void) { (void)!write(1, "!", 1); }
"""


def git(repo, *args):
    return subprocess.run(["git", "-C", str(repo), *args], check=True, capture_output=True,
                          text=True).stdout.strip()


def make_repository(root, compiler):
    repo = root / "toycc"
    repo.mkdir()
    git(repo, "init", "-q", "-b", "main")
    git(repo, "config", "user.email", "toy@example.invalid")
    git(repo, "config", "user.name", "toy")
    (repo / "build.sh").write_text(BUILD_SH.replace("{compiler}", compiler))
    (repo / "corrupt.h").write_text(CORRUPT_H)
    (repo / ".gitignore").write_text("bin/\n")
    for r in range(64):
        (repo / "flags").write_text("-fno-inline\n" if r >= 41 else "\n")
        (repo / "changelog").write_text(f"revision {r}\n")
        for marker, revisions in (("BROKEN", (17, 42, 50)), ("MISCOMPILE", (39,))):
            if r in revisions:
                (repo / marker).write_text("")
            elif (repo / marker).exists():
                (repo / marker).unlink()
        git(repo, "add", "-A")
        subject = {41: "add -fno-inline", 17: "break the build", 42: "break the build",
                   50: "break the build", 39: "miscompile hailstone"}.get(r, "routine change")
        git(repo, "commit", "-q", "-m", f"r{r}: {subject}")
        git(repo, "tag", f"r{r}")
    return repo


def untouched(repo):
    check(git(repo, "status", "--porcelain") == "", "the repository's checkout was touched")
    check(git(repo, "rev-parse", "--abbrev-ref", "HEAD") == "main", "the checkout left main")


def bisect(args, *options, work, wait=True):
    cmd = [args.harness, "--source", args.source, "bisect", "--work", str(work), *options]
    if not wait:
        return subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    return subprocess.run(cmd, capture_output=True, text=True, timeout=1800)


def request(repo, metric, programs, workload):
    return ["--repo", str(repo), "--good", "r0", "--bad", "r63", "--build", "sh build.sh",
            "--compiler", "bin/cc", "-p", programs, "-w", workload, "--metric", metric]


def commit_of(repo, tag):
    return git(repo, "rev-parse", tag)[:12]


def check_answer(out, repo, measured_at_most):
    first = commit_of(repo, "r41")
    check(f"first bad revision: {first} (41/63)" in out, f"r41 not named:\n{out}")
    check("r41: add -fno-inline" in out, f"r41's subject not shown:\n{out}")
    steps = [line for line in out.splitlines() if "/63): " in line]
    measured = [s for s in steps if "skipped:" not in s]
    check(len(measured) <= measured_at_most,
          f"{len(measured)} measured steps, more than {measured_at_most}:\n{out}")
    print("\n".join(steps), flush=True)  # the steps, for the test's log
    for line in steps:
        for broken in (17, 42, 50):
            if f"({broken}/63)" in line:
                check("skipped: the compiler did not build" in line, f"r{broken}: {line}")
    return steps


def interrupted_then_resumed(args, repo, root):
    """instructions (smoke): interrupted mid-step, resumed to r41, r39 reported, sessions stored"""
    work, db = root / "by-instructions", root / "steps.sqlite"
    options = request(repo, "instructions", "quadloop,hailstone", "smoke") + ["--db", str(db)]
    proc = bisect(args, *options, work=work, wait=False)
    log = work / "bisect.json"
    deadline = time.time() + 900
    while time.time() < deadline and proc.poll() is None:
        try:
            if len(json.loads(log.read_text())["steps"]) >= 2:
                break
        except (OSError, ValueError, KeyError):
            pass
        time.sleep(0.5)
    time.sleep(2)  # into the next step
    if proc.poll() is not None:
        check(False, f"the bisection ended before it was interrupted: {proc.communicate()}")
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=120)
    check(proc.returncode == 130, f"interrupted: status {proc.returncode}\n{out}\n{err}")
    check("go on with bisect --resume" in err, f"no word on resuming:\n{err}")
    logged = len(json.loads(log.read_text())["steps"])
    untouched(repo)
    run = bisect(args, "--resume", "--db", str(db), work=work)
    check(run.returncode == 0, f"resume: status {run.returncode}\n{run.stdout}\n{run.stderr}")
    steps = check_answer(run.stdout, repo, 8)
    check(sum("(logged)" in s for s in steps) == logged, f"logged steps not replayed:\n{run.stdout}")
    miscompiled = [s for s in steps if "(39/63)" in s]
    check(len(miscompiled) == 1 and f"{commit_of(repo, 'r39')} (39/63): miscompiles hailstone ("
          "stdout differs at line 1 (byte 1)" in miscompiled[0],
          f"r39 not reported as a miscompile:\n{run.stdout}")
    check("quadloop" in run.stdout.split("first bad revision")[1],
          f"no explain table of quadloop:\n{run.stdout}")
    untouched(repo)
    with sqlite3.connect(db) as conn:
        revisions = {r for (r,) in conn.execute("SELECT revision FROM sessions")}
    check(commit_of(repo, "r41") in revisions and commit_of(repo, "r63") in revisions,
          f"steps' sessions not stored under their revisions: {revisions}")


def by_wall_time(args, repo, root):
    """wall: quadloop ~2.5x slower from r41 on, decided against the good end"""
    run = bisect(args, *request(repo, "wall", "quadloop", "ref"), "--resolution", "5", "--budget", "60s",
                 work=root / "by-wall")
    check(run.returncode == 0, f"wall: status {run.returncode}\n{run.stdout}\n{run.stderr}")
    check_answer(run.stdout, repo, 8)
    untouched(repo)


def refusals(args, repo, root):
    """ends that agree, a good end after the bad, a missing request, a metric of neither kind"""
    base = ["--build", "sh build.sh", "--compiler", "bin/cc", "-p", "quadloop", "-w", "smoke"]
    cases = [
        (["--repo", str(repo), "--good", "r0", "--bad", "r5", "--metric", "instructions", *base],
         1, "the ends do not differ in instructions"),
        (["--repo", str(repo), "--good", "r9", "--bad", "r3", *base], 2, "is not an ancestor"),
        (["--repo", str(repo), "--good", "r0", "--bad", "nosuch", *base], 2, "has no such commit"),
        (["--repo", str(repo), "--good", "r0", "--bad", "r5", "-p", "quadloop"], 2, "needs --build"),
        (["--repo", str(repo), "--good", "r0", "--bad", "r5", "--metric", "compile", *base], 2,
         "neither exact nor measured per run"),
        (["--resume"], 2, "--resume: no bisect log"),
        (["--resume", "--good", "r1"], 2, "cannot be given with --resume"),
        (["--passes", "--repo", str(repo)], 2, "is for bisect over revisions"),
    ]
    for i, (options, status, words) in enumerate(cases):
        run = bisect(args, *options, work=root / f"refused-{i}")
        lines = run.stderr.strip().splitlines()
        check(run.returncode == status and words in run.stderr and len(lines) >= 1,
              f"{options}: status {run.returncode}, wanted {status} with '{words}':\n{run.stderr}")
        check(lines[-1].startswith("bench32: "), f"{options}: not one line of ours:\n{run.stderr}")
    untouched(repo)


def main():
    # --wall alone runs the time bisection, which ctest runs by itself: a wall-time verdict
    # decided beside other tests would measure them.
    wall = "--wall" in sys.argv
    if wall:
        sys.argv.remove("--wall")
    args = arguments(__doc__)
    with tempfile.TemporaryDirectory(prefix="bench32-bisect-") as tmp:
        root = Path(tmp)
        repo = make_repository(root, args.compiler)
        for test in (by_wall_time,) if wall else (refusals, interrupted_then_resumed):
            started = time.time()
            test(args, repo, root)
            print(f"ok {test.__name__} ({time.time() - started:.0f} s): "
                  f"{test.__doc__.splitlines()[0]}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
