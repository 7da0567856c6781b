#!/usr/bin/env python3
"""run's progress as a person sees it, and the command line's plain words.

On a terminal (a pty): a bar that reaches 100% with every run counted, and an estimate of
the time left that settles: after the first quarter of a steady run it never grows by
more than half. Off a terminal: at most one time-stamped line per unit, none per round.
--json - puts the results on standard output and the table on standard error. Every
help names its values by what they are, never by the parser's types.
"""
import argparse
import json
import os
import pty
import re
import select
import subprocess
import sys
import tempfile
import time

FAILURES = []


def check(ok, what):
    if not ok:
        FAILURES.append(what)
        print(f"FAIL: {what}", file=sys.stderr)


def on_a_terminal(argv, timeout=120):
    """What argv writes to its terminal, and its exit status."""
    pid, fd = pty.fork()
    if pid == 0:
        os.environ.pop("BENCH32_SCRIPT", None)
        os.execv(argv[0], argv)
    out = b""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        ready, _, _ = select.select([fd], [], [], 1)
        if not ready:
            continue
        try:
            chunk = os.read(fd, 65536)
        except OSError:  # the child closed the terminal
            break
        if not chunk:
            break
        out += chunk
    _, status = os.waitpid(pid, 0)
    return out.decode(errors="replace"), os.waitstatus_to_exitcode(status)


def seconds(text):
    """"12s", "4:05" or "1:02:03" as seconds."""
    if text.endswith("s"):
        return float(text[:-1])
    total = 0.0
    for part in text.split(":"):
        total = total * 60 + float(part)
    return total


FRAME = re.compile(r"\[[#.]+\] (\d+)/(\d+) runs\s+(\d+)%\s+\S+ spent, (?:about (\S+) left|estimating)")


def bar_settles(args, run):
    out, status = on_a_terminal(run + ["-w", "ref", "-p", "hailstone,primes", "--runs", "8",
                                       "--warmup", "0", "--color", "never"])
    check(status == 0, f"run on a terminal: status {status}: {out[-500:]}")
    frames = [FRAME.search(f) for f in out.split("\r\x1b[K")]
    frames = [f for f in frames if f]
    check(len(frames) >= 3, f"the bar was drawn {len(frames)} times: {out[-500:]!r}")
    if not frames:
        return
    done, total, percent = (int(frames[-1].group(i)) for i in (1, 2, 3))
    check(done == total == 16 and percent == 100, f"the last frame: {frames[-1].group(0)}")
    # Once a quarter of the runs are done, each estimate is at most half again the one
    # before (a second of slack: they are shown in whole seconds).
    previous = None
    for f in frames:
        if int(f.group(1)) * 4 < int(f.group(2)) or f.group(4) is None:
            continue
        left = seconds(f.group(4))
        check(previous is None or left <= previous * 1.5 + 1,
              f"the estimate grew from {previous}s to {left}s at {f.group(0)}")
        previous = left
    check("round " not in out, "a line per round on a terminal")


def log_is_one_line_per_unit(args, run):
    r = subprocess.run(run + ["-w", "smoke", "--runs", "3"], capture_output=True, text=True,
                       timeout=300)
    check(r.returncode == 0, f"run off a terminal: {r.stderr[-500:]}")
    lines = r.stderr.splitlines()
    units = [l for l in lines if re.match(r"\d\d:\d\d:\d\d done \S+/smoke: 3 runs$", l)]
    check(len(units) == 20, f"{len(units)} unit lines of 20: {r.stderr[:800]}")
    # The unit lines and the summary, nothing else: no line per round, no bar (and at
    # most the one line of this machine's failing checks).
    rest = [l for l in lines if "this machine moves timings:" not in l]
    check(len(rest) <= 21, f"{len(rest)} lines for 20 units: {r.stderr[:800]}")
    check("\r" not in r.stderr and "round" not in r.stderr, "progress off a terminal")
    quiet = subprocess.run(run + ["-w", "smoke", "-p", "hailstone", "--runs", "2", "--quiet"],
                           capture_output=True, text=True, timeout=60)
    check(quiet.returncode == 0 and quiet.stderr.count("\n") == 1,
          f"--quiet kept more than the summary: {quiet.stderr!r}")


def dash_is_standard_output(args, run):
    r = subprocess.run(run + ["-w", "smoke", "-p", "hailstone", "--runs", "2", "--json", "-"],
                       capture_output=True, text=True, timeout=60)
    check(r.returncode == 0, f"--json -: {r.stderr}")
    try:
        doc = json.loads(r.stdout)
        check(doc["results"][0]["program"] == "hailstone", "--json -: not the session")
    except (ValueError, KeyError, IndexError) as e:
        check(False, f"--json -: standard output is not the results ({e}): {r.stdout[:200]!r}")
    check("hailstone" in r.stderr and "peak RSS" in r.stderr, f"the table not on stderr: {r.stderr}")
    check(not os.path.exists("-"), "--json - wrote a file named -")
    both = subprocess.run(run + ["--json", "-", "--csv", "-"], capture_output=True, text=True)
    check(both.returncode == 2 and both.stderr.count("\n") == 1 and "both write" in both.stderr,
          f"two options on -: {both.returncode} {both.stderr}")


def help_says_what_values_are(args):
    harness = args.harness
    commands = subprocess.run([harness, "--help"], capture_output=True, text=True).stdout
    names = re.findall(r"^  ([a-z]+) ", commands.split("Subcommands:")[1], re.M)
    check(len(names) >= 10, f"commands in the help: {names}")
    for name in [None] + names:
        argv = [harness] + ([name] if name else []) + ["--help"]
        direct = subprocess.run(argv, capture_output=True, text=True,
                                env={k: v for k, v in os.environ.items() if k != "BENCH32_SCRIPT"})
        text = direct.stdout
        for word in ("TEXT", "INT", "UINT", "FLOAT", "TEXT:PATH", "=/"):
            check(re.search(rf"(?<![A-Z]){re.escape(word)}(?![A-Z])", text) is None,
                  f"{name or 'bench32'} --help shows {word}")
        check("Through ./bench32" not in text, f"{name} --help run directly names the script")
        check(f"Usage: {os.path.basename(harness)}" in text, f"{name} --help: usage name")
        scripted = subprocess.run(argv, capture_output=True, text=True,
                                  env=dict(os.environ, BENCH32_SCRIPT="bench32")).stdout
        check("Usage: bench32 " in scripted and "Through ./bench32 also: test" in scripted,
              f"{name} --help through the script")
    top = subprocess.run([harness, "--help"], capture_output=True, text=True).stdout
    check(all(s in top for s in ("0 ", "1 ", "2 ", "3 ", "130", "143")), "exit statuses in --help")
    explain = subprocess.run([harness, "explain", "--help"], capture_output=True, text=True).stdout
    check("--asm [K]" in explain and "K default 3" in explain, f"--asm: {explain}")


def machine_check(args):
    """check: a row per concern, what to do where one fails, its status saying whether one
    did; and run's one line naming the same failures"""
    env = dict(os.environ, COLUMNS="72")
    text = subprocess.run([args.harness, "check"], capture_output=True, text=True, env=env,
                          timeout=60)
    check(text.returncode in (0, 1), f"check: status {text.returncode}: {text.stderr}")
    widest = max((len(l) for l in text.stdout.splitlines()), default=0)
    check(widest <= 72, f"check: a line of {widest} columns at COLUMNS=72:\n{text.stdout}")
    as_json = subprocess.run([args.harness, "check", "--format", "json"], capture_output=True,
                             text=True, timeout=60)
    try:
        rows = json.loads(as_json.stdout)["tables"][0]["rows"]
    except (ValueError, KeyError, IndexError) as e:
        check(False, f"check --format json: {e}: {as_json.stdout[:300]}")
        return
    names = [r["check"] for r in rows]
    check(names == ["governor", "turbo", "aslr", "smt", "load", "waiting"], f"checks: {names}")
    failing = [r for r in rows if r["finding"] == "FAILS"]
    check((as_json.returncode == 1) == bool(failing), f"check's status {as_json.returncode}")
    check(all(r["advice"] for r in rows if r["finding"] != "ok"), f"a check without advice: {rows}")
    # ASLR is read from the kernel; with it on, both say so.
    with open("/proc/sys/kernel/randomize_va_space") as f:
        aslr = f.read().strip()
    aslr_row = next(r for r in rows if r["check"] == "aslr")
    check((aslr_row["finding"] == "FAILS") == (aslr != "0"), f"aslr {aslr}: {aslr_row}")


def main():
    os.chdir(tempfile.mkdtemp(prefix="bench32-progress-"))
    ap = argparse.ArgumentParser()
    ap.add_argument("--harness", required=True)
    ap.add_argument("--source", required=True)
    ap.add_argument("--build", required=True, help="a build folder with the programs built")
    args = ap.parse_args()
    run = [args.harness, "--source", args.source, "run", "-b", f"rel={args.build}", "--no-build"]
    start = time.monotonic()
    help_says_what_values_are(args)
    machine_check(args)
    log_is_one_line_per_unit(args, run)
    dash_is_standard_output(args, run)
    bar_settles(args, run)
    if not FAILURES:
        print(f"ok: progress bar, log, -, help ({time.monotonic() - start:.1f}s)")
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
