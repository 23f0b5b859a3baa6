#!/usr/bin/env python3
"""A stand-in for the target mail server, for tests only.

It runs the target's IMAP service (imap_session.py) and its administration
service (tinydb over TLS on port 44337, tinydb_service.py). Both share the
configuration database (config_db.py, SQLite): the master password and
backend mode that X-MASTERAUTH obeys, the domains and accounts that LOGIN
and X-SETUSER accept, and the bindings of the IMAP listeners. The stand-in
takes a loopback address of its own, 127.0.0.N with N from 2 to 250, so that
many stand-ins can run at once on the fixed administration port; 127.0.0.1
stays free.

Each IMAP connection is served by a process of its own
(connection_processes.py); the main process owns the listeners and runs
the administration service on threads. Everything the sessions share lives
in the state folder (--state-dir), which a test reads back to compare what
arrived (mail_store.py has the layout): <state>/accounts/<store>/ holds a
folder per folder, with folder.json (name, type, guid, acl) and
per message <uid>.eml (the exact bytes) and <uid>.json (flags, date, guid,
annotations). Every line in and out goes to <state>/transcript.log, with
passwords as "***". The state folder and the configuration database hold
the accounts' passwords and their mail (run.sh --target migrates a real
source into it): only their owner may read them (folders 0700, files 0600).
A fault
plan (--faults FILE, a file holding a JSON list) makes the server drop the
connection, answer NO or BAD, or stall at a chosen occurrence of a command,
counted over all connections, or kills the process at a chosen step of making a store or a
folder ("on": "MAKE STORE", "INDEX FOLDER" or "PLACE FOLDER", "action":
"die"), as a crash of the server would.

Written from the protocol alone; it shares no code with the client.
"""

import argparse
import errno
import os
import random
import signal
import socket
import ssl
import sys
import tempfile
import threading
import time

from client_input import Closed
from config_db import ConfigDb, Refolded
from connection_processes import ConnectionForker
from imap_session import Drop, Session
from mail_store import MailRoot
from shared_state import FaultPlan, FaultPlanUnusable, Transcript, read_fault_plan
from tinydb_service import AdminSession, Services

ADMIN_PORT = 44337


class Server:
    """What every session reaches: the settings, the configuration database,
    the mail, the transcript and the fault plan. Made by the main process
    before it forks anything; a connection's process opens a database
    connection of its own (connect_database)."""

    def __init__(self, args, state_dir, db_path, faults):
        self.config = ConfigDb(db_path)
        self.auto_create = args.auto_create_accounts
        self.discard_bodies = args.discard_bodies
        self.faults = FaultPlan(faults, state_dir)
        self.mail = MailRoot(state_dir, keep_bodies=not args.no_bodies,
                             crash_point=self.crash_point)
        self.transcript = Transcript(os.path.join(state_dir, "transcript.log"))
        self.administrators = {}
        for spec in args.admin or ["admin:admin-secret"]:
            user, _, rest = spec.partition(":")
            password, _, mode = rest.partition(":")
            self.administrators[user] = (password, mode == "readonly")
        self.services = None

    def connect_database(self):
        """A fresh database handle for a new process (a connection made
        before a fork must not be used after it)."""
        self.config = ConfigDb(self.config.path)

    def log(self, session, direction, text):
        self.transcript.log(session, direction, text)

    def fault_for(self, verb, statement=""):
        return self.faults.fault_for(verb, statement)

    def crash_point(self, step):
        """Dies at once, as a crashed server does, where the fault plan says
        "die" for this step of making a store or a folder (mail_store.py):
        its occurrences count over every process, as verbs do."""
        fault = self.fault_for(step)
        if fault and fault.get("action") == "die":
            os.kill(os.getpid(), signal.SIGKILL)

    def account(self, address):
        """The mailbox of an account the configuration database holds
        (created there first when unknown addresses are accepted); None
        otherwise."""
        if self.config.user(address) is None:
            if not self.auto_create:
                return None
            self.config.add_user(address)
        return self.mail.account(address)


def serve(sock, tls_context, session):
    """Runs one connection: the TLS handshake (within 30 seconds) when there
    is a context, then session(socket).run(). A client that goes away, or a
    planned drop, just ends it."""
    try:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        if tls_context is not None:
            sock.settimeout(30)
            sock = tls_context.wrap_socket(sock, server_side=True)
            sock.settimeout(None)
        session(sock).run()
    except (Closed, Drop, OSError):
        pass
    finally:
        sock.close()


def serve_imap(server, tls_context, sock, number):
    """Runs one IMAP connection, in its own process."""
    server.connect_database()
    serve(sock, tls_context, lambda conn: Session(server, conn, number))


def accept_imap(listener, forker, tls):
    """Accepts IMAP connections until the listener is closed, handing each
    to a process of its own."""
    while True:
        try:
            sock, _ = listener.accept()
        except OSError:
            return
        forker.hand_over(sock, tls)


def serve_admin(listener, server, tls_context):
    """Accepts administration connections until the listener is closed;
    each runs on a thread of its own."""
    while True:
        try:
            sock, _ = listener.accept()
        except OSError:
            return
        threading.Thread(target=serve, args=(sock, tls_context,
                                             lambda conn: AdminSession(server, conn)),
                         daemon=True).start()


def listen(host, port):
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        sock.bind((host, port))
        sock.listen(64)
    except OSError:
        sock.close()
        raise
    return sock


def take_address(with_tls, preferred=None):
    """A loopback address 127.0.0.N of our own, with the administration port
    and two free IMAP ports on it: `preferred` when given and free, else
    random N from 2 to 250, retried while the administration port is taken
    there (other stand-ins run at the same time)."""
    for attempt in range(500):
        host = preferred if preferred and attempt == 0 else "127.0.0.%d" % random.randint(2, 250)
        opened = []
        try:
            if with_tls:
                opened.append(listen(host, ADMIN_PORT))
            opened.append(listen(host, 0))
            if with_tls:
                opened.append(listen(host, 0))
        except OSError as e:
            for sock in opened:
                sock.close()
            if e.errno != errno.EADDRINUSE:
                raise
            continue
        admin = opened.pop(0) if with_tls else None
        return host, admin, opened[0], opened[1] if with_tls else None
    raise SystemExit("no loopback address with a free administration port")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--master-password", required=True,
                        help="the cluster's master password in a new configuration database "
                             "(one kept from an earlier start keeps its own)")
    parser.add_argument("--backend-mode", type=int, default=1,
                        help="1 (default): X-MASTERAUTH works from the start; 0: refused")
    parser.add_argument("--account", action="append",
                        help="address[:password]; may be repeated")
    parser.add_argument("--auto-create-accounts", action="store_true",
                        help="X-SETUSER of an unknown address creates it")
    parser.add_argument("--admin", action="append",
                        help="user:password[:readonly] of the administration service; "
                             "may be repeated (default admin:admin-secret)")
    parser.add_argument("--product-version", default="6.5.2")
    parser.add_argument("--worker-threads", type=int, default=4)
    parser.add_argument("--config-db",
                        help="the configuration database (default: config.db in the state "
                             "folder)")
    parser.add_argument("--state-dir",
                        help="the folder of the mail, the transcript and the fault counts "
                             "(default: a new temporary folder, left behind)")
    parser.add_argument("--discard-bodies", action="store_true",
                        help="read literals of 1 MiB or more without keeping them")
    parser.add_argument("--no-bodies", action="store_true",
                        help="keep no message bytes at all (empty .eml files), only what "
                             "is known about each message")
    parser.add_argument("--faults", metavar="FILE",
                        help="the path of a file holding the fault plan: a JSON list of "
                             "planned faults, each an object such as {\"on\": \"APPEND\", "
                             "\"count\": 3, \"action\": \"no\"} (shared_state.FaultPlan)")
    parser.add_argument("--cert", help="PEM certificate for the TLS ports")
    parser.add_argument("--key", help="PEM key for the TLS ports")
    parser.add_argument("--address",
                        help="the loopback address 127.0.0.N to take when it is free (default: "
                             "any); a user's own known-hosts file then keeps one line for it")
    parser.add_argument("--ports-file", required=True,
                        help="written as 'plain tls address' once the server listens")
    args = parser.parse_args()
    # Read before anything is made: a plan that can't be used ends the
    # start with one line that says why.
    try:
        faults = read_fault_plan(args.faults) if args.faults else []
    except FaultPlanUnusable as e:
        sys.exit("stand-in: %s" % e)

    # Every folder and file the stand-in and its connections' processes
    # make is its owner's alone.
    os.umask(0o077)
    state_dir = args.state_dir or tempfile.mkdtemp(prefix="stand-in-")
    os.makedirs(state_dir, exist_ok=True)
    os.chmod(state_dir, 0o700)
    db_path = args.config_db or os.path.join(state_dir, "config.db")
    context = None
    if args.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.cert, args.key)
    server = Server(args, state_dir, db_path, faults)
    # Forked before any thread starts and before any listener is opened, so
    # that no connection's process holds a listener the administration
    # service closes.
    forker = ConnectionForker(lambda sock, number, tls:
                              serve_imap(server, context if tls else None, sock, number))

    host, admin, plain, secure = take_address(bool(args.cert), args.address)
    services = {"IMAP": (host, plain.getsockname()[1])}
    if secure:
        services["IMAPS"] = (host, secure.getsockname()[1])
    accounts = [(spec.partition(":")[0], spec.partition(":")[2] or None)
                for spec in args.account or []]
    # A state folder kept from an earlier start (run.sh --target keeps it)
    # keeps its settings, domains, accounts, mail and records, as a
    # restarted server's do; only the listeners are new, and the accounts
    # it lacks are added.
    if not server.config.kept():
        server.config.create({"version": args.product_version, "backend_mode": args.backend_mode,
                              "master_password": args.master_password,
                              "worker_threads": args.worker_threads})
    else:
        try:
            server.config.refold(server.mail.rename_lowered_stores)
        except Refolded as e:
            sys.exit("stand-in: %s" % e)
    server.config.rebind(services)
    for address, password in accounts:
        server.config.add_user(address, password)
    for address, _ in accounts:
        server.mail.account(address)

    server.services = Services(server.config, host,
                               lambda listener, tls: accept_imap(listener, forker, tls))
    server.services.adopt("IMAP", plain, False)
    if secure:
        server.services.adopt("IMAPS", secure, True)
        threading.Thread(target=serve_admin, args=(admin, server, context), daemon=True).start()
    tmp = args.ports_file + ".tmp"
    with open(tmp, "w") as f:
        f.write("%d %d %s\n" % (plain.getsockname()[1],
                                 secure.getsockname()[1] if secure else 0, host))
    os.replace(tmp, args.ports_file)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    sys.exit(main())
