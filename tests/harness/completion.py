"""Shell completion and the manual page, written from the command table and installed.

The bash script loads and completes commands and a command's options; the fish script is
one `complete` line per word; `man -l` renders the page with every command; and
`cmake --install` puts all four files in place.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from harness_script import check


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--harness", required=True)
    ap.add_argument("--build", required=True)
    args = ap.parse_args()

    def harness(*words):
        done = subprocess.run([args.harness, *words], capture_output=True, text=True, timeout=60)
        check(done.returncode == 0, f"{' '.join(words)}: {done.stderr}")
        return done.stdout

    bash = harness("completion", "bash")
    with tempfile.TemporaryDirectory(prefix="bench32-completion-") as tmp:
        script = Path(tmp) / "bench32.bash"
        script.write_text(bash)
        cases = [("bench32 com", 1, {"compare", "completion"}),
                 ("bench32 run --ru", 2, {"--runs", "--run-under"}),
                 ("bench32 --source . bisect --res", 4, {"--resolution", "--resume"}),
                 ("bench32 serve --read", 2, {"--read-only"})]
        for line, index, wanted in cases:
            words = line.split()
            probe = (f"source {script}; complete -p bench32 >/dev/null || exit 3; "
                     f"COMP_WORDS=({' '.join(words)}); COMP_CWORD={index}; _bench32; "
                     "printf '%s\\n' \"${COMPREPLY[@]}\"")
            done = subprocess.run(["bash", "-c", probe], capture_output=True, text=True, timeout=30)
            check(done.returncode == 0, f"the bash script does not load: {done.stderr}")
            check(set(done.stdout.split()) == wanted, f"{line}: {done.stdout.split()}")
        fish = harness("completion", "fish").splitlines()
        check(len(fish) > 50 and all(l.startswith("complete -c ") for l in fish[1:]),
              f"the fish script: {fish[:3]}")
        check(harness("completion", "zsh").startswith("# zsh"), "the zsh script")
        page = Path(tmp) / "bench32.1"
        page.write_text(harness("man"))
        if shutil.which("man"):
            shown = subprocess.run(["man", "-l", str(page)], capture_output=True, text=True,
                                   timeout=60, env=dict(os.environ, MANPAGER="cat", MANWIDTH="100"))
            check(shown.returncode == 0, f"man -l: {shown.stderr}")
            for word in ("NAME", "SYNOPSIS", "EXIT STATUS", "bisect", "serve", "--runs"):
                check(word in shown.stdout.replace("\u2010", "-"), f"the page lacks {word}")
        prefix = Path(tmp) / "prefix"
        done = subprocess.run(["cmake", "--install", args.build, "--prefix", str(prefix)],
                              capture_output=True, text=True, timeout=300)
        check(done.returncode == 0, f"cmake --install: {done.stderr[-1500:]}")
        for path in ("bin/bench32-harness", "share/bash-completion/completions/bench32",
                     "share/fish/vendor_completions.d/bench32.fish", "share/bench32/bench32.zsh",
                     "share/man/man1/bench32.1"):
            check((prefix / path).is_file(), f"cmake --install left out {path}")
        check((prefix / "share/bash-completion/completions/bench32").read_text() == bash,
              "the installed bash script is not the one the harness writes")
    print("ok: bash completes, fish and zsh written, man renders, cmake --install installs them")
    return 0


if __name__ == "__main__":
    sys.exit(main())
