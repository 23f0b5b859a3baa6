#!/usr/bin/env python3
"""The stand-in target's intake: six clients append the same messages from
memory, once all into ONE stand-in and once each into a stand-in of its
own, in interleaved rounds; prints wall time, messages/s and MB/s (min and
median) of each and the ratio of the medians. The stand-in's state folder
is kept on tmpfs (/dev/shm), so that the disk is not what is measured.

    bench/standin/intake.py [--rounds N] [--clients N] [--messages N]
                            [--large N] [--discard-bodies]

The corpus has the shape of the migration benchmark's: 12 accounts of 13
folders, 5,000 messages log-uniform from 200 bytes to 140 KiB plus 25 of 1
to 10 MiB (about 250 MB), from one seed. Each client takes every sixth
account, logs in with the master password, switches to the account, creates
its folders and then, timed, appends its messages one after another, each
waiting for its tagged answer (LITERAL+, flags and date as a migration sends
them).
"""

import argparse
import hashlib
import math
import multiprocessing
import os
import random
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
STAND_IN = os.path.join(HERE, "..", "..", "tests", "targetserver", "stand_in_target.py")
MASTER = "bench-master"
FOLDERS = ["INBOX", "Archive", "Archive/2023", "Archive/2024", "Projekte", "Projekte/Plan",
           "Dokumente", "Nihongo", "Nihongo/Memo", "Reisen", "Fotos", "Kunden", "Kunden/Alt"]
MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]


def corpus(seed, accounts, messages, large):
    """[(account, folder, size, flags, date)] from one seed."""
    rnd = random.Random(seed)
    big = set(rnd.sample(range(messages), min(large, messages)))
    out = []
    placed = 0
    for i in range(messages):
        account = rnd.randrange(accounts)
        folder = 0 if rnd.random() < 0.3 else 1 + rnd.randrange(len(FOLDERS) - 1)
        if i in big:
            size = (1 << 20) + (9 << 20) // max(1, large - 1) * placed
            placed += 1
            if placed == large:
                size = 10 << 20
        elif i == 0:
            size = 200
        else:
            size = int(math.exp(math.log(200) + rnd.random() * (math.log(140 * 1024)
                                                                  - math.log(200))))
        flags = " ".join(f for chance, f in ((0.7, "\\Seen"), (0.2, "\\Answered"),
                                              (0.1, "\\Flagged")) if rnd.random() < chance)
        when = time.gmtime(946684800 + int(rnd.random() * 25 * 365 * 86400))
        date = "%02d-%s-%04d %02d:%02d:%02d +0000" % (when.tm_mday, MONTHS[when.tm_mon - 1],
                                                       when.tm_year, when.tm_hour, when.tm_min,
                                                       when.tm_sec)
        out.append((account, folder, size, flags, date))
    return out


TEXT = b"".join(b"%06d The quick brown fox jumps over the lazy dog, line after line.\r\n" % i
                for i in range(160000))  # about 11 MB of lines to cut bodies from


def body(n, size):
    head = b"From: bench@example.com\r\nSubject: message %d\r\n\r\n" % n
    if size <= len(head) + 2:
        return (head + TEXT)[:size - 2] + b"\r\n"
    start = (n * 7919) % 100000 * 70
    return head + TEXT[start:start + size - len(head) - 2] + b"\r\n"


class Client:
    def __init__(self, port, host):
        self.sock = socket.create_connection((host, port))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.file = self.sock.makefile("rb")
        self.tag = 0
        self.line()  # greeting

    def line(self):
        line = self.file.readline()
        if not line:
            raise SystemExit("the stand-in closed the connection")
        return line.rstrip(b"\r\n")

    def command(self, text, literal=None):
        self.tag += 1
        tag = b"b%d" % self.tag
        if literal is None:
            self.sock.sendall(tag + b" " + text + b"\r\n")
        else:
            self.sock.sendall(tag + b" " + text + b" {%d+}\r\n" % len(literal) + literal + b"\r\n")
        while True:
            line = self.line()
            if line.startswith(tag + b" "):
                return line[len(tag) + 1:]

    def master_login(self, account):
        self.tag += 1
        tag = b"b%d" % self.tag
        self.sock.sendall(tag + b" X-MASTERAUTH\r\n")
        challenge = self.line()[2:]
        self.sock.sendall(hashlib.md5(challenge + MASTER.encode()).hexdigest().encode() + b"\r\n")
        answer = self.line()
        if not answer.startswith(tag + b" OK"):
            raise SystemExit("X-MASTERAUTH refused: %r" % answer)
        answer = self.command(b'X-SETUSER "%s"' % account.encode())
        if not answer.startswith(b"OK"):
            raise SystemExit("X-SETUSER refused: %r" % answer)


def client_run(port, host, accounts, mine, barrier, failures):
    """One client: sets up its accounts, waits at the barrier, appends."""
    try:
        bodies = [(account, FOLDERS[folder], body(n, size), flags, date)
                  for n, (account, folder, size, flags, date) in mine]
        sessions = {}
        for account in accounts:
            client = Client(port, host)
            client.master_login("user%02d@example.com" % (account + 1))
            for folder in FOLDERS[1:]:
                client.command(b'X-CREATE (X-MAIL) "%s"' % folder.encode())
            sessions[account] = client
        barrier.wait()
        for account, folder, data, flags, date in bodies:
            answer = sessions[account].command(
                b'APPEND "%s" (%s) "%s"' % (folder.encode(), flags.encode(), date.encode()), data)
            if not answer.startswith(b"OK"):
                failures.value += 1
        for client in sessions.values():
            client.command(b"LOGOUT")
    except BaseException:
        failures.value += 1
        barrier.abort()
        raise


class StandIn:
    def __init__(self, scratch, discard):
        self.dir = tempfile.mkdtemp(prefix="stand-in-", dir=scratch)
        self.process = None
        try:
            self.start(discard)
        except BaseException:
            self.close()
            raise

    def start(self, discard):
        ports = os.path.join(self.dir, "ports")
        args = [sys.executable, STAND_IN, "--master-password", MASTER, "--ports-file", ports,
                "--state-dir", os.path.join(self.dir, "state"), "--auto-create-accounts"]
        if discard:
            args.append("--discard-bodies")
        self.process = subprocess.Popen(args, start_new_session=True)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            try:
                with open(ports) as f:
                    plain, _, host = f.read().split()
                self.port, self.host = int(plain), host
                return
            except (OSError, ValueError):
                if self.process.poll() is not None:
                    raise SystemExit("the stand-in exited at start-up")
                time.sleep(0.02)
        raise SystemExit("the stand-in did not start")

    def close(self):
        if self.process is not None:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


def run(messages, clients, accounts, targets, discard):
    """Seconds for the clients' appends, into `targets` stand-ins."""
    scratch = "/dev/shm" if os.path.isdir("/dev/shm") else None
    stand_ins = []
    try:
        for _ in range(targets):
            stand_ins.append(StandIn(scratch, discard))
        barrier = multiprocessing.Barrier(clients + 1)
        failures = multiprocessing.Value("i", 0)
        procs = []
        for c in range(clients):
            own = [a for a in range(accounts) if a % clients == c]
            mine = [(n, m) for n, m in enumerate(messages) if m[0] % clients == c]
            target = stand_ins[c % targets]
            procs.append(multiprocessing.Process(
                target=client_run, args=(target.port, target.host, own, mine, barrier, failures)))
        for p in procs:
            p.start()
        barrier.wait(timeout=300)
        start = time.monotonic()
        for p in procs:
            p.join()
        seconds = time.monotonic() - start
        if failures.value or any(p.exitcode for p in procs):
            raise SystemExit("an append failed")
        return seconds
    finally:
        for s in stand_ins:
            s.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--clients", type=int, default=6)
    parser.add_argument("--accounts", type=int, default=12)
    parser.add_argument("--messages", type=int, default=5000)
    parser.add_argument("--large", type=int, default=25)
    parser.add_argument("--seed", type=int, default=20240917)
    parser.add_argument("--discard-bodies", action="store_true",
                        help="the stand-ins read bodies of 1 MiB or more without keeping them")
    args = parser.parse_args()
    multiprocessing.set_start_method("fork")
    messages = corpus(args.seed, args.accounts, args.messages, args.large)
    total = sum(m[2] for m in messages)
    print("%d messages, %.0f MB, %d clients, %d rounds" % (len(messages), total / 1e6,
                                                           args.clients, args.rounds))
    runs = {"one stand-in": 1, "%d stand-ins" % args.clients: args.clients}
    times = {name: [] for name in runs}
    for r in range(args.rounds):
        for name, targets in runs.items():
            times[name].append(run(messages, args.clients, args.accounts, targets,
                                   args.discard_bodies))
        print("round %d: %s" % (r + 1, ", ".join("%s %.2f s" % (n, t[-1])
                                                  for n, t in times.items())))
        sys.stdout.flush()
    print("%-14s %7s %9s %9s %8s" % ("intake", "min s", "median s", "msg/s", "MB/s"))
    medians = {}
    for name, values in times.items():
        medians[name] = statistics.median(values)
        print("%-14s %7.2f %9.2f %9.0f %8.1f" % (name, min(values), medians[name],
                                                 len(messages) / medians[name],
                                                 total / 1e6 / medians[name]))
    one, many = medians.values()
    print("one / %d stand-ins (medians): %.2f" % (args.clients, one / many))


if __name__ == "__main__":
    main()
