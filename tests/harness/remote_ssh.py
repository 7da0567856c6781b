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


def run_tests(args, scratch, client):
    ssh = f"ssh -F {client}"

    def harness(*words, ssh_command=ssh, remote_dir="target"):
        started = time.monotonic()
        done = subprocess.run([args.harness, "--source", args.source, "run", "--remote",
                               f"127.0.0.1:{scratch}/{remote_dir}", "--ssh", ssh_command,
                               "--build-root", scratch, "-w", "smoke", *words],
                              capture_output=True, text=True, timeout=600)
        return done, time.monotonic() - started

    native = f"nat=g++:-O2".replace("g++", args.compiler)
    results = os.path.join(scratch, "native.json")
    done, _ = harness("-c", native, "-p", PROGRAMS, "--runs", "3", "--json", results)
    check(done.returncode == 0, f"native run: {done.stderr}")
    check_recorded(results, 3, "x86_64" if os.uname().machine == "x86_64" else os.uname().machine)
    print(done.stdout)
