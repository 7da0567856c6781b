#!/usr/bin/env python3
"""Remote targets over a real ssh: a throwaway sshd on 127.0.0.1 with generated keys.

Runs `run --remote 127.0.0.1:DIR --ssh 'ssh -F FILE'` for a native configuration and, when
the cross compiler is here, for an i386 one run under qemu on the target: every run
verified and recorded with the target's description. A copied file changed on the target
after the copy is refused with one line, and an ssh command that takes 300 ms per
connection leaves the recorded times of a millisecond program below 2 ms. Skips (77) when
sshd or ssh is missing.

    remote_ssh.py --source DIR --harness EXE --compiler CXX
"""

import json
import os
import shutil
import socket
import stat
import subprocess
import sys
import tempfile
import time

from harness_script import arguments, check

SSHD = "/usr/sbin/sshd"
PROGRAMS = "hailstone,Fibonacci,primes"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_sshd(scratch):
    """A loopback-only sshd on a free port; the client config file that reaches it."""
    port = free_port()
    for name in ("host_key", "user_key"):
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f",
                        os.path.join(scratch, name)], check=True)
    shutil.copy(os.path.join(scratch, "user_key.pub"), os.path.join(scratch, "authorized_keys"))
    server = os.path.join(scratch, "sshd_config")
    with open(server, "w") as f:
        f.write(f"Port {port}\nListenAddress 127.0.0.1\nHostKey {scratch}/host_key\n"
                f"PidFile {scratch}/sshd.pid\nAuthorizedKeysFile {scratch}/authorized_keys\n"
                "StrictModes no\nPasswordAuthentication no\nKbdInteractiveAuthentication no\n"
                "UsePAM no\nPermitRootLogin prohibit-password\nLogLevel ERROR\n")
    host_key = open(os.path.join(scratch, "host_key.pub")).read().split()[:2]
    with open(os.path.join(scratch, "known_hosts"), "w") as f:
        f.write(f"[127.0.0.1]:{port} {' '.join(host_key)}\n")
    client = os.path.join(scratch, "ssh_config")
    with open(client, "w") as f:
        f.write(f"Host 127.0.0.1\n  Port {port}\n  IdentityFile {scratch}/user_key\n"
                f"  IdentitiesOnly yes\n  UserKnownHostsFile {scratch}/known_hosts\n"
                "  StrictHostKeyChecking yes\n  BatchMode yes\n  LogLevel ERROR\n")
    os.makedirs("/run/sshd", exist_ok=True)
    daemon = subprocess.Popen([SSHD, "-D", "-e", "-f", server], stderr=subprocess.PIPE, text=True)
    for _ in range(100):
        if daemon.poll() is not None:
            check(False, f"sshd ended: {daemon.stderr.read()}")
        with socket.socket() as s:
            if s.connect_ex(("127.0.0.1", port)) == 0:
                return daemon, client
        time.sleep(0.05)
    daemon.kill()
    check(False, "sshd did not listen")


def wrapper(scratch, name, body):
    """An ssh command of its own: a shell script around ssh."""
    path = os.path.join(scratch, name)
    with open(path, "w") as f:
        f.write("#!/bin/sh\n" + body)
    os.chmod(path, os.stat(path).st_mode | stat.S_IEXEC)
    return path


def main():
    args = arguments(__doc__)
    if not os.access(SSHD, os.X_OK) or not shutil.which("ssh") or not shutil.which("ssh-keygen"):
        print("skipped: openssh-server (sshd) or ssh is not installed")
        sys.exit(77)
    with tempfile.TemporaryDirectory(prefix="bench32-remote-") as scratch:
        daemon, client = start_sshd(scratch)
        try:
            run_tests(args, scratch, client)
        finally:
            daemon.kill()
            daemon.wait()


def check_recorded(results, runs, run_under=""):
    """Every unit verified and timed runs times there, the target described in the file."""
    doc = json.load(open(results))
    target = doc.get("target", {})
    check(target.get("machine") == os.uname().machine and target.get("cores") and
          target.get("kernel") and target.get("remote", "").startswith("127.0.0.1:"),
          f"target: {target}")
    check(doc["run_under"] == run_under, f"run_under: {doc['run_under']}")
    for unit in doc["results"]:
        name = f"{unit['config']} {unit['program']}"
        check(unit["status"] == "ok", f"{name}: {unit.get('failure')}")
        check(len(unit["samples"]["wall_s"]) == runs and len(unit["warmup"]["wall_s"]) == 1,
              f"{name}: {unit['samples']}")
    return doc


def run_tests(args, scratch, client):
    ssh = f"ssh -F {client}"

    def harness(*words, ssh_command=ssh):
        started = time.monotonic()
        done = subprocess.run([args.harness, "--source", args.source, "run", "--remote",
                               f"127.0.0.1:{scratch}/target", "--ssh", ssh_command,
                               "--build-root", scratch, "-w", "smoke", *words],
                              capture_output=True, text=True, timeout=600)
        return done, time.monotonic() - started

    config = f"nat={args.compiler}:-O2"
    results = os.path.join(scratch, "native.json")
    done, _ = harness("-c", config, "-p", PROGRAMS, "--runs", "3", "--json", results)
    check(done.returncode == 0, f"native run: {done.stderr}")
    check_recorded(results, 3)
    shown = subprocess.run([args.harness, "show", results], capture_output=True, text=True)
    check("ran on 127.0.0.1:" in shown.stdout, f"show: {shown.stdout}")

    # A copy changed on the target after it arrived: refused before anything is run.
    victim = f"{scratch}/target/bin/nat/hailstone"
    corrupt = wrapper(scratch, "corrupting-ssh",
                      f'{ssh} "$@"; status=$?\ncase "$*" in *"tar -C"*) printf X | dd of={victim}'
                      " bs=1 seek=200 conv=notrunc 2>/dev/null;; esac\nexit $status\n")
    done, _ = harness("-c", config, "-p", "hailstone", "--runs", "1", ssh_command=corrupt)
    said = [line for line in done.stderr.splitlines() if line.startswith("bench32:")]
    check(done.returncode != 0 and len(said) == 1 and "copy of bin/nat/hailstone" in said[0] and
          "runs" not in done.stderr, f"corrupted copy: {done.returncode} {done.stderr}")

    # 300 ms more per connection: the session is slower, the recorded times are not.
    slow = wrapper(scratch, "slow-ssh", f'sleep 0.3\nexec {ssh} "$@"\n')
    results = os.path.join(scratch, "slow.json")
    done, took = harness("-c", config, "-p", "hailstone", "--runs", "5", "--json", results,
                         ssh_command=slow)
    check(done.returncode == 0, f"slow ssh: {done.stderr}")
    walls = check_recorded(results, 5)["results"][0]["samples"]["wall_s"]
    # Six runs, the description and two copies' connections: each at least 300 ms.
    check(took > 0.3 * 9, f"the slow ssh took only {took:.2f} s")
    # Far below the 300 ms of a connection, whatever else the machine is doing.
    check(sorted(walls)[len(walls) // 2] < 0.05 and max(walls) < 0.1, f"wall times {walls}")
    print(f"slow ssh: session {took:.2f} s, recorded wall times {walls}")

    cross, qemu = shutil.which("i686-linux-gnu-g++"), shutil.which("qemu-i386")
    if not cross or not qemu:
        print("ok (the i386 configuration skipped: no i686-linux-gnu-g++ or qemu-i386)")
        return
    results = os.path.join(scratch, "i386.json")
    under = "qemu-i386 -L /usr/i686-linux-gnu"
    done, _ = harness("-c", "i686-O2=i686-linux-gnu-g++:-O2", "--run-under", under, "-p",
                      PROGRAMS, "--runs", "3", "--json", results)
    check(done.returncode == 0, f"i386 run: {done.stderr}")
    check_recorded(results, 3, under)
    print("ok: native and i386 on the target, a corrupted copy refused, times the target's")


if __name__ == "__main__":
    main()
