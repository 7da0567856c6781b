#!/usr/bin/env python3
"""Profile-guided builds end to end, and what --pgo refuses.

For g++, and clang++ when the llvm-profdata of its version is here, runs
`run -c plain=CXX:-O2 -c pgo=CXX:-O2 --pgo pgo -p hailstone,primes,listtree -w smoke`
twice in a scratch build root and checks: every run verified on both configurations;
each PGO binary differs from the plain one; the results file marks `pgo` (and only it)
with each program's training input digest (the train workload's, as `list --json`
gives it, and not the smoke or ref input's) and its profile digest; the second run
trains again to the same profiles and binaries; `compare` reads the file. Then each
misuse of --pgo is refused with one line and status 2 before anything is built (a clang++
target without a profile runtime among them, when this machine lacks one for armhf).

    pgo.py --source DIR --harness EXE --compiler CXX
"""

import json
import os
import shutil
import subprocess
import tempfile

from harness_script import arguments, check

PROGRAMS = ["hailstone", "primes", "listtree"]


def profdata_for_clang():
    """Whether the llvm-profdata of clang++'s major version is on the PATH."""
    if not shutil.which("clang++"):
        return False
    version = subprocess.run(["clang++", "--version"], capture_output=True, text=True).stdout
    major = version.split("clang version ")[1].split(".")[0] if "clang version " in version else ""
    return bool(major) and bool(shutil.which(f"llvm-profdata-{major}") or shutil.which("llvm-profdata"))


def clang_profile_runtime(arch):
    """Where clang++'s profile runtime for ARCH is (or would be)."""
    builtins = subprocess.run(["clang++", "--rtlib=compiler-rt", "-print-libgcc-file-name"],
                              capture_output=True, text=True).stdout.strip()
    return os.path.join(os.path.dirname(builtins), f"libclang_rt.profile-{arch}.a")


def main():
    args = arguments(__doc__)

    def harness(*words, env=None):
        return subprocess.run([args.harness, "--source", args.source, *words],
                              capture_output=True, text=True, timeout=900, env=env)

    listed = harness("list", "--json")
    check(listed.returncode == 0, f"list: {listed.stderr}")
    facts = {p["name"]: p["workloads"] for p in json.loads(listed.stdout)["programs"]}

    compilers = ["g++"] + (["clang++"] if profdata_for_clang() else [])
    with tempfile.TemporaryDirectory(prefix="bench32-pgo-") as scratch:
        for compiler in compilers:
            runs = []
            for attempt in (1, 2):
                results = os.path.join(scratch, f"{compiler}-{attempt}.json")
                run = harness("run", "-c", f"plain={compiler}:-O2", "-c", f"pgo={compiler}:-O2",
                              "--pgo", "pgo", "-p", ",".join(PROGRAMS), "-w", "smoke", "-n", "2",
                              "--warmup", "0", "--build-root", os.path.join(scratch, compiler),
                              "--json", results)
                check(run.returncode == 0, f"{compiler} run {attempt}: {run.stderr[-3000:]}")
                check("training pgo: 3 programs on their train workload" in run.stderr,
                      f"{compiler}: no training said: {run.stderr}")
                with open(results) as f:
                    runs.append(json.load(f))

            doc = runs[0]
            configs = {c["name"]: c for c in doc["configs"]}
            check("pgo" not in configs["plain"], f"{compiler}: plain marked pgo")
            pgo = configs["pgo"].get("pgo")
            check(pgo is not None, f"{compiler}: pgo not marked: {configs['pgo']}")
            check((pgo.get("merge_tool", "") != "") == (compiler == "clang++"),
                  f"{compiler}: merge tool {pgo.get('merge_tool')}")
            profiles = {p["program"]: p for p in pgo["profiles"]}
            check(sorted(profiles) == sorted(PROGRAMS), f"{compiler}: profiles {profiles}")
            for name, profile in profiles.items():
                workloads = facts[name]
                check(profile["workload"] == "train", f"{compiler} {name}: {profile}")
                check(profile["input_xxh3"] == workloads["train"]["input_xxh3"],
                      f"{compiler} {name}: trained on {profile['input_xxh3']}")
                check(profile["input_xxh3"] not in
                      (workloads["smoke"]["input_xxh3"], workloads["ref"]["input_xxh3"]),
                      f"{compiler} {name}: trained on a measured input")
                check(len(profile["profile_xxh3"]) == 16, f"{compiler} {name}: {profile}")

            binaries = {(u["config"], u["program"]): u["binary"]["xxh3"] for u in doc["results"]}
            for unit in doc["results"]:
                check(unit["status"] == "ok", f"{compiler} {unit['config']}/{unit['program']}: "
                      f"{unit.get('failure')}")
            for name in PROGRAMS:
                check(binaries[("pgo", name)] != binaries[("plain", name)],
                      f"{compiler} {name}: the PGO binary is the plain one")

            again = runs[1]
            check([c.get("pgo") for c in again["configs"]] == [c.get("pgo") for c in doc["configs"]],
                  f"{compiler}: a second training gave other profiles")
            check({(u["config"], u["program"]): u["binary"]["xxh3"] for u in again["results"]}
                  == binaries, f"{compiler}: a second run gave other binaries")

            compared = harness("compare", os.path.join(scratch, f"{compiler}-1.json"))
            check(compared.returncode == 0 and "pgo" in compared.stdout,
                  f"{compiler} compare: {compared.stderr}")

        # Misuses, each refused before anything is built.
        fake_clang = os.path.join(scratch, "fake", "clang++")
        os.makedirs(os.path.dirname(fake_clang))
        with open(fake_clang, "w") as f:
            f.write("#!/bin/sh\necho 'clang version 99.0.0'\n")
        os.chmod(fake_clang, 0o755)
        with_profile_file = dict(os.environ, LLVM_PROFILE_FILE="/tmp/elsewhere.profraw")
        root = os.path.join(scratch, "refused")
        # A folder that holds a build, so that -b is taken and --pgo is what is refused.
        configured = os.path.join(scratch, "configured")
        os.makedirs(configured)
        open(os.path.join(configured, "CMakeCache.txt"), "w").close()
        refusals = [
            (["-c", "a=g++:-O2", "--pgo", "b"], None, "--pgo b: no --config of that name"),
            (["-b", f"a={configured}", "--pgo", "a"], None, "only a --config configuration"),
            (["-c", "a=g++:-O2", "--pgo", "a", "-w", "train"], None, "the train workload"),
            (["-c", "a=g++:-O2", "-c", "a-instrumented=g++:-O2", "--pgo", "a"], None,
             "is the folder of configuration a-instrumented"),
            (["-c", "a=g++:-O2", "--pgo", "a", "--layouts", "2"], None, "--layouts"),
            (["-c", "a=g++:-O2", "--pgo", "a"], with_profile_file, "LLVM_PROFILE_FILE is set"),
            (["-c", f"a={fake_clang}:-O2", "--pgo", "a"], None, "no llvm-profdata"),
        ]
        if compilers[-1] == "clang++" and not os.path.exists(clang_profile_runtime("armhf")):
            refusals.append((["-c", "a=clang++:--target=arm-linux-gnueabihf -O2", "--pgo", "a"],
                             None, "has no profile runtime for this target"))
        for words, env, said in refusals:
            run = harness("run", *words, "--build-root", root, env=env)
            lines = run.stderr.strip().splitlines()
            check(run.returncode == 2 and len(lines) == 1 and said in lines[0],
                  f"{words}: status {run.returncode}: {run.stderr}")
            check(not os.path.exists(root), f"{words}: built something")
    print(f"ok: profile-guided builds with {', '.join(compilers)}; {len(refusals)} misuses refused")


if __name__ == "__main__":
    main()
