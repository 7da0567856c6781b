"""Seeded mutants of results files and workloads files through the harness's readers.

    mutate_readers.py --harness EXE --source DIR --build DIR [--results N] [--workloads N]
                      [--seed S] [--full] [--keep DIR]

Each results-file mutant (byte flips, truncations, deep nesting, huge numbers, duplicate
keys, type swaps, control characters in strings, repeated or missing configurations) goes
through show, compare, score and report; each workloads-file mutant through
`run --no-build` of a copy of one program's folder. Every call is sorted into one outcome;
the run fails on any crash, sanitizer report, hang, exit 0 on invalid JSON, message with
the JSON library's text or over one line. --full gives 2,000 and 500 mutants.
"""

import argparse
import collections
import concurrent.futures
import copy
import json
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
BAD_OUTCOMES = ("crash/signal", "sanitizer report", "timeout", "exit 0 on invalid JSON",
                "library text", "multi-line message", "unsafe characters")


class Invalid(Exception):
    pass


def strict_json(text):
    """The document as the harness must read it, or Invalid: duplicate keys, nesting past
    64, NaN and numbers beyond a double are all refused there."""
    def pairs(items):
        keys = [k for k, _ in items]
        if len(keys) != len(set(keys)):
            raise Invalid("duplicate key")
        return dict(items)

    def constant(name):
        raise Invalid(name)

    def number(text):
        value = float(text)
        if value in (float("inf"), float("-inf")):
            raise Invalid("number out of range")
        return value

    try:
        doc = json.loads(text, object_pairs_hook=pairs, parse_constant=constant,
                         parse_float=number)
    except (ValueError, RecursionError, Invalid, UnicodeDecodeError):
        raise Invalid("not JSON")
    stack = [(doc, 1)]
    while stack:
        value, depth = stack.pop()
        if isinstance(value, (list, dict)):
            if depth > 64:
                raise Invalid("too deep")
            children = value.values() if isinstance(value, dict) else value
            stack.extend((child, depth + 1) for child in children)
    return doc


def valid_json(data):
    try:
        strict_json(data.decode("utf-8"))
        return True
    except (Invalid, UnicodeDecodeError):
        return False


# --- mutations: each takes (rng, the document, its text) and gives bytes ----------------

def places(doc, path=()):
    """Every (container, key) of the document, the root's children first."""
    found = []
    stack = [doc]
    while stack:
        value = stack.pop()
        items = value.items() if isinstance(value, dict) else enumerate(value) \
            if isinstance(value, list) else ()
        for key, child in items:
            found.append((value, key))
            stack.append(child)
    return found


def strings_of(doc):
    return [(c, k) for c, k in places(doc) if isinstance(c[k], str)]


def numbers_of(doc):
    return [(c, k) for c, k in places(doc)
            if isinstance(c[k], (int, float)) and not isinstance(c[k], bool)]


def dump(doc):
    return json.dumps(doc, indent=1).encode()


def byte_flip(rng, doc, text):
    data = bytearray(text)
    for _ in range(rng.randint(1, 8)):
        data[rng.randrange(len(data))] = rng.randrange(256)
    return bytes(data)


def truncation(rng, doc, text):
    return text[:rng.randrange(len(text))]


def deep_nesting(rng, doc, text):
    depth = rng.choice([65, 1000, 10000, 100000])
    c, k = rng.choice(places(doc))
    marker = "\u0001DEEP\u0001"
    c[k] = marker
    out = json.dumps(doc)
    return out.replace(json.dumps(marker), "[" * depth + "]" * depth).encode()


HUGE = ["1e20", "1e308", "18446744073709551616", "-18446744073709551617", "-5", "1.5",
        "1e999", "-0.0", "9223372036854775808", "2147483648", "4294967296", "0.5",
        "-2147483649", "1e-320", "123456789012345678901234567890"]


def huge_number(rng, doc, text):
    c, k = rng.choice(numbers_of(doc) or places(doc))
    marker = "\u0001NUM\u0001"
    c[k] = marker
    return json.dumps(doc).replace(json.dumps(marker), rng.choice(HUGE)).encode()


def duplicate_key(rng, doc, text):
    objects = [c[k] for c, k in places(doc) if isinstance(c[k], dict) and c[k]] + [doc]
    target = rng.choice(objects)
    key = rng.choice(list(target))
    marker = "\u0001DUP\u0001"
    target[marker] = 0
    extra = json.dumps(key) + ": " + json.dumps(rng.choice([target[key], 7, "x", None]))
    return json.dumps(doc).replace(json.dumps(marker) + ": 0", extra).encode()


def type_swap(rng, doc, text):
    c, k = rng.choice(places(doc))
    c[k] = rng.choice(["x", "", [], {}, None, True, 0, -1, [1, "a"], {"a": 1}])
    return dump(doc)


def control_characters(rng, doc, text):
    strings = strings_of(doc)
    if not strings:
        return type_swap(rng, doc, text)
    for _ in range(rng.randint(1, 3)):
        c, k = rng.choice(strings)
        at = rng.randrange(len(c[k]) + 1)
        c[k] = c[k][:at] + rng.choice(["\n", "\r\n", "\x1b[2J", "\x00", "\t", "\u009b",
                                       "\u2028", "\x7f"]) + c[k][at:]
    return dump(doc)


def removed_member(rng, doc, text):
    c, k = rng.choice(places(doc))
    if isinstance(c, dict):
        del c[k]
    else:
        c.pop(k)
    return dump(doc)


def results_semantics(rng, doc, text):
    kind = rng.randrange(3)
    if kind == 0 and doc.get("configs"):
        doc["configs"].append(copy.deepcopy(rng.choice(doc["configs"])))
    elif kind == 1 and doc.get("results"):
        doc["results"].append(copy.deepcopy(rng.choice(doc["results"])))
    elif doc.get("results"):
        rng.choice(doc["results"])["config"] = "no-such-config"
    return dump(doc)


def workloads_semantics(rng, doc, text):
    entry = rng.choice(list(doc["workloads"].values()))
    change = rng.choice([
        {"stdout_size": -5}, {"status": 0.5}, {"status": 256}, {"min_instructions": -5},
        {"stdout_xxh3": "00000000000000ff", "stdout_size": 3},
        {"input": [{"repeat": "", "times": 1000000000000}]},
        {"input": [{"repeat": "12", "times": 9223372036854775808}]},
        {"input": [{"file": "/dev/zero"}]}, {"input": [{"file": "."}]},
        {"input": [{"file": "/nonexistent"}]}, {"signal": "SIGNOPE"}, {"signal": "SIGFPE"},
        {"note": "a\nb\x1b[2J"}, {"input": [{"repeat": "1 ", "times": 2.5}]},
    ])
    entry.update(change)
    return dump(doc)


COMMON = [byte_flip, truncation, deep_nesting, huge_number, duplicate_key, type_swap,
          control_characters, removed_member]


def mutant(rng, base, semantic):
    kind = rng.choice(COMMON + [semantic])
    doc = copy.deepcopy(base)
    return kind.__name__, kind(rng, doc, dump(base))


# --- running and sorting ---------------------------------------------------------------

def outcome(done, valid, timed_out):
    if timed_out:
        return "timeout"
    err = done.stderr.decode("utf-8", "replace")
    if re.search(r"AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer|runtime error:",
                 err):
        return "sanitizer report"
    if done.returncode < 0 or done.returncode >= 128 + 1 and done.returncode != 130:
        return "crash/signal"
    if "json.exception" in err or "what()" in err or "[json" in err:
        return "library text"
    if done.returncode == 0:
        return "exit 0 on valid input" if valid else "exit 0 on invalid JSON"
    lines = [line for line in err.split("\n") if line]
    if done.returncode in (2, 3):
        if len(lines) != 1:
            return "multi-line message"
        if re.search(r"[\x00-\x08\x0b-\x1f\x7f]", lines[0]):
            return "unsafe characters"
        return f"status {done.returncode}, one line"
    return f"status {done.returncode}"


def call(argv, valid, timeout, cwd=None):
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=1:abort_on_error=0",
               UBSAN_OPTIONS="print_stacktrace=1")
    try:
        done = subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                              stdin=subprocess.DEVNULL, timeout=timeout, cwd=cwd, env=env)
        return outcome(done, valid, False), done.stderr.decode("utf-8", "replace")[:300]
    except subprocess.TimeoutExpired:
        return "timeout", ""


def results_case(args, scratch, index, rng, bases):
    base_file, base = rng.choice(bases)
    kind, data = mutant(rng, base, results_semantics)
    valid = valid_json(data)
    path = os.path.join(scratch, f"m{index}.json")
    with open(path, "wb") as f:
        f.write(data)
    report = os.path.join(scratch, f"m{index}.html")
    h = [args.harness, "--source", args.source]
    config = base["configs"][0]["name"]
    calls = [h + ["show", path], h + ["compare", base_file, path],
             h + ["score", path, "--reference", base_file, "--reference-config", config],
             h + ["report", path, "-o", report]]
    found = [(kind, " ".join(c[3:]), *call(c, valid, args.timeout)) for c in calls]
    if not any(o in BAD_OUTCOMES for _, _, o, _ in found):
        for leftover in (path, report):
            if os.path.exists(leftover):
                os.remove(leftover)
    return found


def workloads_case(args, scratch, index, rng, base):
    kind, data = mutant(rng, base, workloads_semantics)
    valid = valid_json(data)
    tree = os.path.join(scratch, f"w{index}")
    folder = os.path.join(tree, "benchmarks", args.program)
    os.makedirs(folder)
    with open(os.path.join(folder, "workloads.json"), "wb") as f:
        f.write(data)
    argv = [args.harness, "--source", tree, "run", "--no-build", "-b", f"rel={args.build}",
            "-p", args.program, "-w", "smoke", "--warmup", "0", "-n", "1",
            "--json", os.path.join(tree, "r.json")]
    o, err = call(argv, valid, args.timeout * 3)
    if o not in BAD_OUTCOMES:
        shutil.rmtree(tree)
    return [(kind, "run --no-build", o, err)]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--harness", required=True)
    ap.add_argument("--source", required=True)
    ap.add_argument("--build", required=True, help="a build folder with the program built")
    ap.add_argument("--program", default="hailstone")
    ap.add_argument("--results", type=int, default=200)
    ap.add_argument("--workloads", type=int, default=50)
    ap.add_argument("--full", action="store_true", help="2,000 and 500 mutants")
    ap.add_argument("--seed", type=int, default=32)
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--timeout", type=float, default=60)
    ap.add_argument("--keep", help="where failing mutants are kept (default: a temporary folder)")
    args = ap.parse_args()
    if args.full:
        args.results, args.workloads = max(args.results, 2000), max(args.workloads, 500)

    data = os.path.join(HERE, "data")
    corpus = os.path.join(HERE, "..", "fuzz", "corpus", "results-file")
    bases = []
    for name in [os.path.join(data, "results-v1.json"), os.path.join(data, "results-v2.json"),
                 os.path.join(corpus, "v3-copies-compile-pgo.json")]:
        with open(name) as f:
            bases.append((name, strict_json(f.read())))
    with open(os.path.join(args.source, "benchmarks", args.program, "workloads.json")) as f:
        workloads = strict_json(f.read())

    scratch = args.keep or tempfile.mkdtemp(prefix="bench32-mutants-")
    os.makedirs(scratch, exist_ok=True)
    rng = random.Random(args.seed)
    jobs = []
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        for i in range(args.results):
            jobs.append(pool.submit(results_case, args, scratch, i,
                                    random.Random(rng.random()), bases))
        for i in range(args.workloads):
            jobs.append(pool.submit(workloads_case, args, scratch, i,
                                    random.Random(rng.random()), workloads))
        found = [row for job in jobs for row in job.result()]

    counts = collections.Counter((command.split()[0], o) for _, command, o, _ in found)
    print(f"{args.results} results-file and {args.workloads} workloads-file mutants "
          f"(seed {args.seed}), {len(found)} calls:")
    for (command, o), n in sorted(counts.items()):
        print(f"  {command:8} {o:28} {n}")
    bad = [row for row in found if row[2] in BAD_OUTCOMES]
    for kind, command, o, err in bad[:20]:
        print(f"FAIL: {o}: {kind} mutant, {command}: {err.strip()}")
    if bad:
        print(f"{len(bad)} bad outcomes; mutants kept in {scratch}")
        sys.exit(1)
    if not args.keep:
        shutil.rmtree(scratch)
    print(f"{len(found)} passed, 0 failed")


if __name__ == "__main__":
    main()
