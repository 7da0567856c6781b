#!/usr/bin/env python3
"""Feeds every benchmark program bounded random and adversarial inputs and checks
that each run ends cleanly.

A clean end is: an exit status with nothing on standard error, or exit status 2
with one line "bench32: ..." on standard error (a runtime stop such as input that
ended before an end marker). Anything else fails the program: a sanitizer report
(it writes to standard error), a crash by a signal other than the documented
SIGFPE of stats and scopeprobe, a run that outlives its timeout, or one that writes
more than its output cap (four times its largest workload's output, at least 64 MiB
by default: standard output is counted, not kept, and the program is stopped there).

Programs are found by the harness at run time (`list --json`), so new ones join by
themselves. Each program gets numbers only within the ranges of the "robustness"
profile in its workloads.json: several programs legitimately run for a very long
time on large inputs (a busy delay that grows with the input, an exponential
recursion), and a timeout is a failure only because every input fed here is one
that the program is meant to finish quickly. A program without a profile fails.

    robustness.py --source DIR --harness EXE --bin DIR [--runs N] [--seed S] [--timeout T]
                  [--max-output BYTES]
"""

import argparse
import concurrent.futures
import os
import random
import re
import signal
import subprocess
import sys
import threading

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from programs import load  # noqa: E402
import time
from dataclasses import dataclass, field

INT_MIN = -(2**31)
INT_MAX = 2**31 - 1


@dataclass
class Profile:
    # Range of each read, in order; the last range holds for every later read. A
    # read that repeats an earlier value (after the input ends or stops being
    # numeric) must stay within the ranges of the reads that follow, and the
    # generator sees to that.
    ranges: list
    reads: int  # how many numbers a normal input holds
    why: str
    marker: str = ""  # "any": -1 ends the input anywhere; "third": in a triple's third place
    signals: set = field(default_factory=set)


def profile_of(program):
    """The program's profile from its workloads.json, or None."""
    p = program.get("robustness")
    if not p:
        return None
    return Profile([tuple(r) for r in p["ranges"]], p["reads"], p["why"], p["end_marker"],
                   set(p["signals"]))


BLANKS = " \t\n\v\f\r"


def range_at(profile, i):
    return profile.ranges[min(i, len(profile.ranges) - 1)]


def range_from(profile, i):
    """The values that every read from the i-th on accepts."""
    lo, hi = INT_MIN, INT_MAX
    for j in range(i, max(i + 1, len(profile.ranges))):
        a, b = range_at(profile, j)
        lo, hi = max(lo, a), min(hi, b)
    return lo, hi


def pick(rng, lo, hi):
    """A value in [lo, hi], often at an edge or small."""
    choice = rng.random()
    if choice < 0.15:
        return lo
    if choice < 0.3:
        return hi
    if choice < 0.7:
        v = rng.randint(-30, 30)
        return min(max(v, lo), hi)
    return rng.randint(lo, hi)


def render(rng, v):
    """The text of v: sometimes with a '+', leading zeros, or as a number so large
    that it saturates to the same value."""
    sign = "-" if v < 0 else rng.choice(["", "", "", "+"])
    digits = str(abs(v))
    r = rng.random()
    if r < 0.1:
        digits = "0" * rng.randint(1, 40) + digits
    elif r < 0.2 and v in (INT_MIN, INT_MAX):
        digits = "9" * rng.randint(11, 60)
    return sign + digits


def blank_run(rng):
    r = rng.random()
    if r < 0.7:
        return " "
    if r < 0.95:
        return "".join(rng.choice(BLANKS) for _ in range(rng.randint(1, 8)))
    return "".join(rng.choice(BLANKS) for _ in range(rng.randint(1000, 100000)))


def junk(rng):
    # None of these yields a number later but 0 or 1, which every range holds: a
    # number after the junk could exceed the range of the reads that repeat it.
    return rng.choice(["x", "abc", "\0", "-", "+", "--", "+-", "- ", "0x1b", "1e9", "#",
                       "\x7f", "\xff", ".5", ",", "\0\0\0"])


def random_input(rng, profile):
    """One input: numbers within the profile, with varied blanks, and an ending that
    is normal, early, or junk."""
    count = rng.randint(0, profile.reads + 2)
    values = []
    for i in range(count):
        lo, hi = range_at(profile, i)
        v = pick(rng, lo, hi)
        if profile.marker == "any" and rng.random() < 0.1:
            v = -1
        if profile.marker == "third" and i % 3 == 2 and rng.random() < 0.3:
            v = -1
        values.append(v)
    ending = rng.choice(["normal", "normal", "early", "junk", "nul"])
    if ending != "normal" or count < profile.reads or profile.marker:
        # Every later read repeats the last value (or 0): keep it in range for them.
        last = len(values) - 1
        lo, hi = range_from(profile, max(last, 0))
        if last >= 0:
            values[last] = min(max(values[last], lo), hi)
    text = blank_run(rng) if rng.random() < 0.3 else ""
    text += blank_run(rng).join(render(rng, v) for v in values)
    if ending == "normal":
        text += "\n"
    elif ending == "junk":
        text += rng.choice(["", " "]) + junk(rng) + rng.choice(["", "\n"])
    elif ending == "nul":
        text += "\0" * rng.randint(1, 3)
    return text.encode("latin-1")


def fixed_inputs(profile):
    """Adversarial inputs that every program gets. Numbers in them are in range."""
    lo, hi = range_from(profile, 0)
    small = min(max(3, lo), hi)
    out = [
        ("empty", b""),
        ("blanks-only", (BLANKS * 20000).encode()),
        ("nul-bytes", b"\0" * 64),
        ("junk", b"abc 7\n"),
        ("lone-sign", b"-"),
        ("sign-then-blank", b"- 5\n" if lo <= 5 <= hi else b"- \n"),
        ("signs", b"+-+-+-\n"),
        ("binary-junk", bytes(range(256))),
        ("long-zeros", b"0" * 100000 + str(small).encode()),
        ("number-then-nul", str(small).encode() + b"\0 7"),
        ("number-no-newline", str(small).encode()),
        ("long-blank-run", b" " * 200000 + str(small).encode() + b"\n" * 1000),
    ]
    if hi == INT_MAX:
        out.append(("huge", b"9" * 1000 + b"\n"))
    if lo == INT_MIN:
        out.append(("huge-negative", b"-" + b"9" * 1000 + b"\n"))
    return out


@dataclass
class Outcome:
    ok: bool
    detail: str = ""
    seconds: float = 0.0


def run_one(exe, data, timeout, allowed_signals, output_cap):
    start = time.monotonic()
    outcome = check_run(exe, data, timeout, allowed_signals, output_cap)
    outcome.seconds = time.monotonic() - start
    return outcome


STDERR_KEPT = 1 << 20


def kill_group(proc):
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


def check_run(exe, data, timeout, allowed_signals, output_cap):
    """Runs exe on data. Standard output is counted and dropped, and a program that
    writes more than output_cap bytes is stopped there: the memory a run takes stays
    bounded whatever it does."""
    start = time.monotonic()
    proc = subprocess.Popen(
        [exe], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        start_new_session=True,
    )
    written = 0
    overflow = threading.Event()
    err = bytearray()

    def feed():
        try:
            proc.stdin.write(data)
        except BrokenPipeError:
            pass
        finally:
            try:
                proc.stdin.close()
            except BrokenPipeError:
                pass

    def count_stdout():
        nonlocal written
        while chunk := proc.stdout.read1(1 << 16):
            written += len(chunk)
            if written > output_cap:
                overflow.set()
                kill_group(proc)
                return

    def keep_stderr():
        while chunk := proc.stderr.read1(1 << 16):
            err.extend(chunk[:max(0, STDERR_KEPT - len(err))])

    threads = [threading.Thread(target=f, daemon=True) for f in (feed, count_stdout, keep_stderr)]
    for t in threads:
        t.start()
    try:
        proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        kill_group(proc)
        proc.wait()
        return Outcome(False, f"still running after {timeout:.0f} s")
    finally:
        # Anything the program left in its group goes with it, and the pipes end.
        kill_group(proc)
        for t in threads:
            t.join(timeout=10)
        for f in (proc.stdin, proc.stdout, proc.stderr):
            f.close()
    if overflow.is_set():
        return Outcome(False, f"wrote more than {output_cap} bytes to standard output, and "
                              "was stopped")
    elapsed = time.monotonic() - start
    status = proc.returncode
    err = bytes(err)
    text = err.decode("utf-8", "replace")
    if status < 0:
        name = signal.Signals(-status).name
        if name in allowed_signals and not err:
            return Outcome(True)
        return Outcome(False, f"killed by {name}" + (f": {text.strip()[:2000]}" if err else ""))
    if not err:
        return Outcome(True)
    if status == 2 and re.fullmatch(r"bench32: [^\n]*\n", text):
        return Outcome(True, text.strip())
    return Outcome(False, f"exit status {status}, after {elapsed:.1f} s, "
                          f"standard error:\n{text.strip()[:4000]}")


def output_cap_of(program, floor):
    """The most a program may write on any input fed here: four times its largest
    workload's output, and at least floor."""
    largest = max((w["stdout_size"] for w in program["workloads"].values()), default=0)
    return max(floor, 4 * largest)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--source", required=True, help="the suite's source tree")
    ap.add_argument("--harness", required=True, help="the bench32-harness executable")
    ap.add_argument("--bin", required=True, help="folder of the built programs")
    ap.add_argument("--runs", type=int, default=16, help="random inputs per program")
    ap.add_argument("--seed", type=int, default=20261209)
    ap.add_argument("--timeout", type=float, default=60.0, help="seconds per run")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--keep", help="folder to write failing inputs into")
    ap.add_argument("--max-output", type=int, default=64 << 20,
                    help="bytes of standard output any program may write (at least; a "
                         "program's cap is four times its largest workload's output)")
    ap.add_argument("programs", nargs="*", help="only these programs")
    args = ap.parse_args()

    # SIGFPE must end the program by the signal, not by a sanitizer report.
    asan = os.environ.get("ASAN_OPTIONS", "detect_leaks=1")
    os.environ["ASAN_OPTIONS"] = asan + ":handle_sigfpe=0"
    os.environ.setdefault("UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1")

    programs = load(args.harness, args.source)
    if args.programs:
        programs = [p for p in programs if p["name"] in args.programs]
    if not programs:
        print("robustness: no programs found", file=sys.stderr)
        return 1

    jobs = []  # (program, input name, data)
    failures = 0
    for program in programs:
        name = program["name"]
        exe = os.path.join(args.bin, name)
        profile = profile_of(program)
        if profile is None:
            print(f"FAIL {name}: no \"robustness\" profile in its workloads.json")
            failures += 1
            continue
        if not os.access(exe, os.X_OK):
            print(f"{name}: skipped, not built ({exe})")
            continue
        print(f"{name}: {profile.why}")
        rng = random.Random(f"{args.seed}/{name}")
        cap = output_cap_of(program, args.max_output)
        for label, data in fixed_inputs(profile):
            jobs.append((name, exe, label, data, profile, cap))
        for i in range(args.runs):
            jobs.append((name, exe, f"random-{i}", random_input(rng, profile), profile, cap))

    stops = {}
    times = []
    started = time.monotonic()
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        futures = {
            pool.submit(run_one, exe, data, args.timeout, profile.signals, cap):
                (name, label, data)
            for name, exe, label, data, profile, cap in jobs
        }
        for fut in concurrent.futures.as_completed(futures):
            name, label, data = futures[fut]
            outcome = fut.result()
            times.append((outcome.seconds, name, label))
            if outcome.ok:
                if outcome.detail:
                    stops.setdefault(name, set()).add(outcome.detail)
                continue
            failures += 1
            shown = data[:200]
            more = f" ... ({len(data)} bytes)" if len(data) > 200 else ""
            print(f"FAIL {name} / {label}: {outcome.detail}\n  input: {shown!r}{more}")
            if args.keep:
                os.makedirs(args.keep, exist_ok=True)
                with open(os.path.join(args.keep, f"{name}-{label}.in"), "wb") as f:
                    f.write(data)
    times.sort(reverse=True)
    print("slowest runs: " + ", ".join(f"{n} / {l} {t:.1f} s" for t, n, l in times[:5]))
    for name, messages in sorted(stops.items()):
        print(f"{name}: clean stops: {'; '.join(sorted(messages))}")
    print(f"robustness: {len(jobs)} runs of {len(programs)} programs, {failures} failed, "
          f"{time.monotonic() - started:.1f} s")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
