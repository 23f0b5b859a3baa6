#!/usr/bin/env python3
"""A stand-in for the target mail server's IMAP service, for tests only.

It speaks the part of IMAP4rev1 that a migration sends to the target, with the
target's private extensions: master authentication (X-MASTERAUTH), switching
to an account (X-SETUSER), account creation (X-CREATEUSER), folder creation
with a folder type and identifier (X-CREATE), STATUS with GUID, LIST with
identifier and type flags, APPEND and X-APPEND with LITERAL+ and APPENDUID,
and the ACL and annotation commands.

It also runs the target's administration service (tinydb over TLS on port
44337, tinydb_service.py). Both share the configuration database
(config_db.py, SQLite): the master password and backend mode that
X-MASTERAUTH obeys, the accounts that LOGIN and X-SETUSER accept, and the
bindings of the IMAP listeners. The stand-in takes a loopback address of its
own, 127.0.0.N with N from 2 to 250, so that many stand-ins can run at once on
the fixed administration port; 127.0.0.1 stays free.

Folders and messages live in memory and, when --state-dir is given, are
mirrored to disk so a test can compare what arrived: <state>/accounts/<address>/<folder-hex>/ holds
<uid>.eml (the exact bytes) and <uid>.json (flags, date, guid, annotations),
and folder.json (name, type, guid, acl). Every line in and out goes to
<state>/transcript.log. A fault plan (--faults, JSON) makes the server drop the
connection, answer NO or BAD, or stall at a chosen command.

Written from the protocol alone; it shares no code with the client.
"""

import argparse
import errno
import hashlib
import json
import os
import random
import socket
import ssl
import sys
import tempfile
import threading
import time
import uuid

from config_db import ConfigDb
from tinydb_service import AdminSession, Services

ADMIN_PORT = 44337

SEPARATOR = "/"
TYPE_KEYWORDS = {"X-CONTACT": 0x1, "X-CALENDAR": 0x2, "X-TODO": 0x4, "X-JOURNAL": 0x8,
                 "X-MAIL": 0x10, "X-MAPI": 0x20, "X-NOTE": 0x40, "X-SEARCH": 0x80,
                 "X-ALL": 0x7FFF}
TYPE_FLAGS = [(0x1, "\\TavirContact"), (0x2, "\\TavirCalendar"), (0x4, "\\TavirTodo"),
              (0x8, "\\TavirJournal"), (0x10, "\\TavirMail"), (0x20, "\\TavirMapi"),
              (0x40, "\\TavirNote"), (0x80, "\\TavirSearch")]
SYSTEM_FLAGS = {"\\seen", "\\answered", "\\flagged", "\\deleted", "\\draft"}
MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]
MAX_LINE = 1 << 20


class Drop(Exception):
    """The fault plan asked to cut the connection."""


class Closed(Exception):
    """The client went away."""


class BadCommand(Exception):
    pass


def new_guid():
    return str(uuid.uuid4()).upper()


class Folder:
    def __init__(self, name, ftype=0x10, guid=None):
        self.name = name
        self.type = ftype
        self.guid = guid or new_guid()
        self.uidvalidity = random.randint(1, 2**31 - 1)
        self.next_uid = 1
        self.messages = []  # dicts: uid, data, flags, date, guid, annotations
        self.acl = {}


class Account:
    """The mail of an account; whether it exists, and its password, are in
    the configuration database."""

    def __init__(self, address):
        self.address = address
        self.folders = {"INBOX": Folder("INBOX", 0x10)}


class State:
    def __init__(self, args, config):
        self.lock = threading.RLock()
        self.config = config
        self.auto_create = args.auto_create_accounts
        self.discard_bodies = args.discard_bodies
        self.accounts = {}  # lower-case address -> Account (its mail)
        self.state_dir = args.state_dir
        self.faults = []
        self.counters = {}
        self.administrators = {}
        for spec in args.admin or ["admin:admin-secret"]:
            user, _, rest = spec.partition(":")
            password, _, mode = rest.partition(":")
            self.administrators[user] = (password, mode == "readonly")
        self.services = None
        if args.faults:
            with open(args.faults) as f:
                self.faults = json.load(f)
        self.transcript = None
        if self.state_dir:
            os.makedirs(self.state_dir, exist_ok=True)
            self.transcript = open(os.path.join(self.state_dir, "transcript.log"), "a",
                                   buffering=1, encoding="utf-8", errors="backslashreplace")
            for spec in args.account or []:
                self.account(spec.partition(":")[0])

    def log(self, session, direction, text):
        if self.transcript:
            with self.lock:
                self.transcript.write("%s %s %s\n" % (session, direction, text))

    def fault_for(self, verb):
        """The fault planned for this occurrence of the verb, if any."""
        with self.lock:
            count = self.counters.get(verb, 0) + 1
            self.counters[verb] = count
            for fault in self.faults:
                if fault.get("on", "").upper() != verb:
                    continue
                first = fault.get("count", 1)
                times = fault.get("times", 1)
                if first <= count < first + times:
                    return fault
        return None

    def account(self, address):
        """The mail of an account the configuration database holds (created
        there first when unknown addresses are accepted); None otherwise."""
        with self.lock:
            if self.config.user(address) is None:
                if not self.auto_create:
                    return None
                self.config.add_user(address)
            key = address.lower()
            if key not in self.accounts:
                self.accounts[key] = Account(address)
                self.persist_folder(self.accounts[key], self.accounts[key].folders["INBOX"])
            return self.accounts[key]

    # --- mirroring to disk -------------------------------------------------
    def folder_dir(self, account, folder):
        return os.path.join(self.state_dir, "accounts", account.address.lower(),
                            folder.name.encode("utf-8", "surrogateescape").hex() or "-")

    def persist_folder(self, account, folder):
        if not self.state_dir:
            return
        path = self.folder_dir(account, folder)
        os.makedirs(path, exist_ok=True)
        meta = {"name": folder.name, "type": folder.type, "guid": folder.guid,
                "acl": folder.acl}
        write_atomic(os.path.join(path, "folder.json"), json.dumps(meta).encode())

    def persist_message(self, account, folder, message):
        if not self.state_dir:
            return
        path = self.folder_dir(account, folder)
        os.makedirs(path, exist_ok=True)
        write_atomic(os.path.join(path, "%d.eml" % message["uid"]), message["data"])
        meta = {k: v for k, v in message.items() if k != "data"}
        write_atomic(os.path.join(path, "%d.json" % message["uid"]), json.dumps(meta).encode())

    def remove_folder(self, account, folder):
        if not self.state_dir:
            return
        path = self.folder_dir(account, folder)
        if os.path.isdir(path):
            for name in os.listdir(path):
                os.unlink(os.path.join(path, name))
            os.rmdir(path)


def write_atomic(path, data):
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


def quote(text):
    """A string in IMAP wire form: quoted when it can be, else a literal."""
    raw = text.encode("utf-8", "surrogateescape") if isinstance(text, str) else text
    if any(b in (0, 10, 13) or b >= 0x80 for b in raw):
        return b"{%d}\r\n" % len(raw) + raw
    return b'"' + raw.replace(b"\\", b"\\\\").replace(b'"', b'\\"') + b'"'


class Reader:
    """Reads a command: its line and literals, tokenised into a flat list of
    atoms (str), strings (bytes from quoted strings and literals) and nested
    lists (python lists)."""

    def __init__(self, session):
        self.session = session

    def tokens(self, fault_check):
        session = self.session
        tokens = []
        stack = [tokens]
        verb_seen = []
        while True:
            line = session.read_line()
            pos = 0
            n = len(line)
            literal = None
            while pos < n:
                c = line[pos:pos + 1]
                if c == b" ":
                    pos += 1
                elif c == b"(":
                    new = []
                    stack[-1].append(new)
                    stack.append(new)
                    pos += 1
                elif c == b")":
                    if len(stack) == 1:
                        raise BadCommand("unbalanced parenthesis")
                    stack.pop()
                    pos += 1
                elif c == b'"':
                    pos += 1
                    out = bytearray()
                    while True:
                        if pos >= n:
                            raise BadCommand("unterminated quoted string")
                        ch = line[pos]
                        if ch == 0x5C and pos + 1 < n:
                            out.append(line[pos + 1])
                            pos += 2
                        elif ch == 0x22:
                            pos += 1
                            break
                        else:
                            out.append(ch)
                            pos += 1
                    stack[-1].append(bytes(out))
                elif c == b"{" and line.endswith(b"}") and pos == line.rfind(b"{"):
                    spec = line[pos + 1:-1]
                    plus = spec.endswith(b"+")
                    digits = spec[:-1] if plus else spec
                    if not digits.isdigit():
                        raise BadCommand("bad literal")
                    literal = (int(digits), plus)
                    pos = n
                else:
                    end = pos
                    depth = 0
                    while end < n:
                        ch = line[end:end + 1]
                        if ch == b"[":
                            depth += 1
                        elif ch == b"]":
                            depth = max(0, depth - 1)
                        elif depth == 0 and ch in (b" ", b"(", b")"):
                            break
                        end += 1
                    stack[-1].append(line[pos:end].decode("latin-1"))
                    pos = end
            if literal is None:
                if len(stack) != 1:
                    raise BadCommand("unbalanced parenthesis")
                return tokens
            size, plus = literal
            if not verb_seen:
                verb_seen.append(True)
                fault = fault_check(tokens)
            else:
                fault = None
            if not plus:
                session.send_raw(b"+ Ready for literal data\r\n")
            stack[-1].append(session.read_literal(size, fault))


class DiscardedBody(bytes):
    """An empty stand-in for a literal that was read but not kept."""

    def __new__(cls, size):
        body = super().__new__(cls)
        body.size = size
        return body


def atom(token):
    if isinstance(token, (bytes, bytearray)):
        return token.decode("utf-8", "surrogateescape")
    if isinstance(token, str):
        return token
    raise BadCommand("list where a string was expected")


def text(token):
    """A string argument as the str of its bytes (latin-1 keeps every byte)."""
    if isinstance(token, (bytes, bytearray)):
        return token.decode("utf-8", "surrogateescape")
    if isinstance(token, str):
        if token.upper() == "NIL":
            return ""
        return token
    raise BadCommand("list where a string was expected")


def imap_date(t):
    lt = time.gmtime(t)
    return "%02d-%s-%04d %02d:%02d:%02d +0000" % (lt.tm_mday, MONTHS[lt.tm_mon - 1], lt.tm_year,
                                                   lt.tm_hour, lt.tm_min, lt.tm_sec)


def parse_date(value):
    """An IMAP date-time to seconds since the epoch; None when malformed."""
    try:
        day, month, rest = value.strip().split("-", 2)
        year, clock, zone = rest.split(" ")
        h, m, s = (int(x) for x in clock.split(":"))
        mon = [x.lower() for x in MONTHS].index(month.lower()) + 1
        if len(zone) != 5 or zone[0] not in "+-":
            return None
        offset = (int(zone[1:3]) * 60 + int(zone[3:5])) * 60
        if zone[0] == "-":
            offset = -offset
        import calendar
        return calendar.timegm((int(year), mon, int(day), h, m, s, 0, 0, 0)) - offset
    except (ValueError, IndexError):
        return None


class Session:
    counter = 0

    def __init__(self, state, sock):
        self.state = state
        self.sock = sock
        self.buffer = bytearray()
        self.master = False
        self.account = None
        self.selected = None
        Session.counter += 1
        self.id = Session.counter

    # --- wire ----------------------------------------------------------------
    def fill(self):
        chunk = self.sock.recv(1 << 16)
        if not chunk:
            raise Closed()
        self.buffer += chunk

    def read_line(self):
        while True:
            end = self.buffer.find(b"\r\n")
            if end >= 0:
                line = bytes(self.buffer[:end])
                del self.buffer[:end + 2]
                self.state.log(self.id, "C:", line.decode("utf-8", "backslashreplace"))
                return line
            if len(self.buffer) > MAX_LINE:
                raise BadCommand("line too long")
            self.fill()

    def read_literal(self, size, fault):
        cut = None
        if fault and fault.get("action") == "drop_in_literal":
            cut = fault.get("after_bytes", 0)
        if self.state.discard_bodies and cut is None and size >= (1 << 20):
            return self.skip_literal(size)
        if cut is None and size >= (1 << 20) and len(self.buffer) < size:
            # Large literals (message bodies) are received straight into
            # their own buffer and kept as it is.
            data = bytearray(size)
            have = len(self.buffer)
            data[:have] = self.buffer
            self.buffer.clear()
            view = memoryview(data)
            while have < size:
                n = self.sock.recv_into(view[have:], size - have)
                if n == 0:
                    raise Closed()
                have += n
            view.release()
            self.state.log(self.id, "C:", "<literal %d bytes>" % size)
            return data
        while len(self.buffer) < size:
            if cut is not None and len(self.buffer) >= cut:
                raise Drop()
            self.fill()
        if cut is not None:
            raise Drop()
        data = bytes(self.buffer[:size])
        del self.buffer[:size]
        self.state.log(self.id, "C:", "<literal %d bytes>" % size)
        return data

    def skip_literal(self, size):
        """Reads a large literal through one reusable buffer and keeps only
        its size: for benchmarks, so that the stand-in's own memory traffic
        is not what gets measured."""
        have = min(len(self.buffer), size)
        del self.buffer[:have]
        scratch = bytearray(1 << 20)
        view = memoryview(scratch)
        while have < size:
            n = self.sock.recv_into(view, min(len(scratch), size - have))
            if n == 0:
                raise Closed()
            have += n
        view.release()
        self.state.log(self.id, "C:", "<literal %d bytes, not kept>" % size)
        return DiscardedBody(size)

    def send_raw(self, data):
        self.sock.sendall(data)

    def send(self, line):
        if isinstance(line, str):
            line = line.encode("utf-8", "surrogateescape")
        self.state.log(self.id, "S:", line.decode("utf-8", "backslashreplace"))
        self.sock.sendall(line + b"\r\n")

    # --- loop ------------------------------------------------------------------
    def run(self):
        self.send("* OK [CAPABILITY IMAP4rev1 LITERAL+ UIDPLUS ACL ANNOTATE X-MASTERAUTH] "
                  "Stand-in target ready")
        reader = Reader(self)
        while True:
            pending_fault = []

            def check(tokens):
                verb = self.verb_of(tokens)
                fault = self.state.fault_for(verb) if verb else None
                pending_fault.append(fault)
                if fault and fault.get("action") == "drop":
                    raise Drop()
                if fault and fault.get("action") == "stall":
                    self.stall()
                return fault

            try:
                tokens = reader.tokens(check)
            except BadCommand as e:
                self.buffer.clear()
                self.send("* BAD %s" % e)
                continue
            if not tokens:
                continue
            tag = atom(tokens[0])
            if len(tokens) < 2:
                self.send("%s BAD missing command" % tag)
                continue
            if not pending_fault:
                check(tokens)
            fault = pending_fault[0] if pending_fault else None
            if fault and fault.get("action") in ("no", "bad"):
                self.send("%s %s planned refusal" % (tag, fault["action"].upper()))
                continue
            if fault and fault.get("action") == "drop_after":
                raise Drop()
            try:
                if not self.dispatch(tag, tokens):
                    return
            except BadCommand as e:
                self.send("%s BAD %s" % (tag, e))

    def verb_of(self, tokens):
        if len(tokens) < 2 or not isinstance(tokens[1], str):
            return None
        verb = tokens[1].upper()
        if verb == "UID" and len(tokens) > 2 and isinstance(tokens[2], str):
            verb = "UID " + tokens[2].upper()
        return verb

    def stall(self):
        while True:
            time.sleep(3600)

    def dispatch(self, tag, tokens):
        verb = self.verb_of(tokens)
        args = tokens[2:]
        handler = {
            "CAPABILITY": self.cmd_capability, "NOOP": self.cmd_noop,
            "LOGOUT": self.cmd_logout, "LOGIN": self.cmd_login,
            "X-MASTERAUTH": self.cmd_masterauth, "X-SETUSER": self.cmd_setuser,
            "X-CREATEUSER": self.cmd_createuser, "X-CHECKVERSION": self.cmd_checkversion,
            "CREATE": self.cmd_create, "X-CREATE": self.cmd_create,
            "DELETE": self.cmd_delete, "LIST": self.cmd_list,
            "STATUS": self.cmd_status, "SELECT": self.cmd_select, "EXAMINE": self.cmd_select,
            "APPEND": self.cmd_append, "X-APPEND": self.cmd_append,
            "SETACL": self.cmd_setacl, "DELETEACL": self.cmd_deleteacl,
            "GETACL": self.cmd_getacl,
            "UID STORE": self.cmd_uid_store, "UID ASTORE": self.cmd_uid_store,
        }.get(verb)
        if handler is None:
            self.send("%s BAD unknown command" % tag)
            return True
        needs_account = verb not in ("CAPABILITY", "NOOP", "LOGOUT", "LOGIN", "X-MASTERAUTH",
                                     "X-SETUSER", "X-CREATEUSER", "X-CHECKVERSION")
        if needs_account and self.account is None:
            self.send("%s NO not logged in to an account" % tag)
            return True
        if verb in ("X-SETUSER", "X-CREATEUSER") and not self.master:
            self.send("%s NO master authentication required" % tag)
            return True
        return handler(tag, args)

    # --- commands --------------------------------------------------------------
    def cmd_capability(self, tag, args):
        self.send("* CAPABILITY IMAP4rev1 LITERAL+ UIDPLUS ACL ANNOTATE X-MASTERAUTH")
        self.send("%s OK CAPABILITY completed" % tag)
        return True

    def cmd_noop(self, tag, args):
        self.send("%s OK NOOP completed" % tag)
        return True

    def cmd_checkversion(self, tag, args):
        self.send("%s OK X-CHECKVERSION %s" % (tag, self.state.config.version()))
        return True

    def cmd_logout(self, tag, args):
        self.send("* BYE logging out")
        self.send("%s OK LOGOUT completed" % tag)
        return False

    def cmd_login(self, tag, args):
        if len(args) != 2:
            raise BadCommand("LOGIN needs two arguments")
        user, password = text(args[0]), text(args[1])
        record = self.state.config.user(user)
        if record is None or record[0] is None or record[0] != password:
            self.send("%s NO [AUTHENTICATIONFAILED] Authentication failed" % tag)
            return True
        self.account = self.state.account(user)
        self.send("%s OK LOGIN completed" % tag)
        return True

    def cmd_masterauth(self, tag, args):
        challenge = "<%d.%d@stand-in>" % (os.getpid(), random.randint(1, 10**9))
        self.send("+ " + challenge)
        answer = self.read_line().decode("latin-1").strip()
        allowed, password = self.state.config.master_auth_allowed(self.sock.getpeername()[0])
        if not allowed:
            self.send("%s NO X-MASTERAUTH refused: backend mode is off or the address is not "
                      "admitted" % tag)
            return True
        expected = hashlib.md5((challenge + password).encode("utf-8")).hexdigest()
        if answer == expected:
            self.master = True
            self.send("%s OK X-MASTERAUTH completed" % tag)
        else:
            self.send("%s NO X-MASTERAUTH failed" % tag)
        return True

    def cmd_setuser(self, tag, args):
        if len(args) != 1:
            raise BadCommand("X-SETUSER needs one argument")
        account = self.state.account(text(args[0]))
        if account is None:
            self.send("%s NO no such account" % tag)
            return True
        self.account = account
        self.selected = None
        self.send("%s OK X-SETUSER completed" % tag)
        return True

    def cmd_createuser(self, tag, args):
        if len(args) != 1 or not isinstance(args[0], list):
            raise BadCommand("X-CREATEUSER needs a list")
        items = args[0]
        fields = {}
        i = 0
        while i + 1 < len(items):
            fields[atom(items[i]).upper()] = items[i + 1]
            i += 2
        if "NAME" not in fields or "DOMAIN" not in fields or "PASSWORD" not in fields:
            raise BadCommand("X-CREATEUSER needs NAME, DOMAIN and PASSWORD")
        address = "%s@%s" % (text(fields["NAME"]), text(fields["DOMAIN"]))
        with self.state.lock:
            if not self.state.config.add_user(address, text(fields["PASSWORD"]),
                                              text(fields.get("FULLNAME", b""))):
                self.send("%s NO account exists" % tag)
                return True
            self.state.account(address)
        self.send("%s OK X-CREATEUSER completed" % tag)
        return True

    def folder(self, name):
        if name.upper() == "INBOX":
            name = "INBOX"
        return self.account.folders.get(name)

    def cmd_create(self, tag, args):
        ftype, guid = 0, None
        if len(args) == 2 and isinstance(args[0], list):
            options = args[0]
            i = 0
            while i < len(options):
                word = atom(options[i]).upper()
                if word == "GUID" and i + 1 < len(options):
                    guid = text(options[i + 1]).upper()
                    i += 2
                    continue
                if word not in TYPE_KEYWORDS:
                    raise BadCommand("unknown folder type %s" % word)
                ftype |= TYPE_KEYWORDS[word]
                i += 1
            args = args[1:]
        if len(args) != 1:
            raise BadCommand("CREATE needs a folder name")
        name = text(args[0]).rstrip(SEPARATOR)
        if not name:
            raise BadCommand("empty folder name")
        with self.state.lock:
            if self.folder(name) is not None:
                self.send("%s NO [ALREADYEXISTS] folder exists" % tag)
                return True
            parent = name.rpartition(SEPARATOR)[0]
            if parent and self.folder(parent) is None:
                self.send("%s NO [NONEXISTENT] parent folder missing" % tag)
                return True
            folder = Folder(name, ftype or 0x10, guid)
            self.account.folders[name] = folder
            self.state.persist_folder(self.account, folder)
        self.send("%s OK X-CREATE completed %s" % (tag, folder.guid))
        return True

    def cmd_delete(self, tag, args):
        if args and isinstance(args[0], list):
            args = args[1:]
        if len(args) != 1:
            raise BadCommand("DELETE needs a folder name")
        name = text(args[0])
        with self.state.lock:
            folder = self.folder(name)
            if folder is None or folder.name == "INBOX":
                self.send("%s NO cannot delete" % tag)
                return True
            del self.account.folders[folder.name]
            self.state.remove_folder(self.account, folder)
            if self.selected is folder:
                self.selected = None
        self.send("%s OK DELETE completed" % tag)
        return True

    def cmd_list(self, tag, args):
        with_guid = False
        if args and isinstance(args[0], list):
            with_guid = any(atom(x).upper() == "GUID" for x in args[0])
            args = args[1:]
        if len(args) != 2:
            raise BadCommand("LIST needs a reference and a pattern")
        pattern = text(args[1])
        with self.state.lock:
            folders = sorted(self.account.folders.values(), key=lambda f: f.name)
        for folder in folders:
            if pattern not in ("*", "%") and pattern != folder.name:
                continue
            flags = ["\\HasNoChildren"]
            flags += [flag for bit, flag in TYPE_FLAGS if folder.type & bit]
            if with_guid:
                flags.append("\\Guid(%s)" % folder.guid)
            self.send(b"* LIST (" + " ".join(flags).encode() + b') "/" ' + quote(folder.name))
        self.send("%s OK LIST completed" % tag)
        return True

    def cmd_status(self, tag, args):
        if len(args) != 2 or not isinstance(args[1], list):
            raise BadCommand("STATUS needs a folder and a list")
        folder = self.folder(text(args[0]))
        if folder is None:
            self.send("%s NO [NONEXISTENT] no such folder" % tag)
            return True
        items = []
        for item in args[1]:
            word = atom(item).upper()
            if word == "MESSAGES":
                items.append("MESSAGES %d" % len(folder.messages))
            elif word == "GUID":
                items.append("GUID %s" % folder.guid)
            elif word == "UIDNEXT":
                items.append("UIDNEXT %d" % folder.next_uid)
            elif word == "UIDVALIDITY":
                items.append("UIDVALIDITY %d" % folder.uidvalidity)
            else:
                raise BadCommand("unknown status item %s" % word)
        self.send(b"* STATUS " + quote(folder.name) + b" (" + " ".join(items).encode() + b")")
        self.send("%s OK STATUS completed" % tag)
        return True

    def cmd_select(self, tag, args):
        if len(args) != 1:
            raise BadCommand("SELECT needs a folder")
        folder = self.folder(text(args[0]))
        if folder is None:
            self.send("%s NO [NONEXISTENT] no such folder" % tag)
            return True
        self.selected = folder
        self.send("* %d EXISTS" % len(folder.messages))
        self.send("* 0 RECENT")
        self.send("* OK [UIDVALIDITY %d] UIDs valid" % folder.uidvalidity)
        self.send("* OK [UIDNEXT %d] next UID" % folder.next_uid)
        self.send("* FLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft)")
        self.send("%s OK [READ-WRITE] SELECT completed" % tag)
        return True

    def cmd_append(self, tag, args):
        if len(args) < 2:
            raise BadCommand("APPEND needs a folder and a message")
        name = text(args[0])
        data = args[-1]
        if not isinstance(data, (bytes, bytearray)):
            raise BadCommand("APPEND needs a literal")
        middle = args[1:-1]
        flags, date, guid = [], None, None
        if middle and isinstance(middle[0], list):
            flags = [atom(f) for f in middle[0]]
            middle = middle[1:]
        for flag in flags:
            if flag.startswith("\\") and flag.lower() not in SYSTEM_FLAGS:
                raise BadCommand("invalid system flag %s" % flag)
        if middle:
            date = parse_date(text(middle[0]))
            if date is None:
                raise BadCommand("invalid date")
            middle = middle[1:]
        if middle:
            guid = text(middle[0]).upper()
            middle = middle[1:]
        if middle:
            raise BadCommand("too many APPEND arguments")
        with self.state.lock:
            folder = self.folder(name)
            if folder is None:
                self.send("%s NO [TRYCREATE] no such folder" % tag)
                return True
            uid = folder.next_uid
            folder.next_uid += 1
            message = {"uid": uid, "data": data, "flags": flags,
                       "date": imap_date(date if date is not None else time.time()),
                       "guid": guid, "annotations": {}}
            folder.messages.append(message)
            self.state.persist_message(self.account, folder, message)
        self.send("%s OK [APPENDUID %d %d] APPEND completed" % (tag, folder.uidvalidity, uid))
        return True

    def acl_folder(self, tag, args, count):
        if len(args) != count:
            raise BadCommand("wrong number of arguments")
        folder = self.folder(text(args[0]))
        if folder is None:
            self.send("%s NO [NONEXISTENT] no such folder" % tag)
        return folder

    def cmd_setacl(self, tag, args):
        folder = self.acl_folder(tag, args, 3)
        if folder is None:
            return True
        with self.state.lock:
            folder.acl[text(args[1])] = text(args[2])
            self.state.persist_folder(self.account, folder)
        self.send("%s OK SETACL completed" % tag)
        return True

    def cmd_deleteacl(self, tag, args):
        if len(args) not in (2, 3):
            raise BadCommand("DELETEACL needs a folder and an identifier")
        folder = self.acl_folder(tag, args[:2], 2)
        if folder is None:
            return True
        with self.state.lock:
            folder.acl.pop(text(args[1]), None)
            self.state.persist_folder(self.account, folder)
        self.send("%s OK DELETEACL completed" % tag)
        return True

    def cmd_getacl(self, tag, args):
        folder = self.acl_folder(tag, args, 1)
        if folder is None:
            return True
        with self.state.lock:
            entries = sorted(folder.acl.items())
        line = b"* ACL " + quote(folder.name)
        for identifier, rights in entries:
            line += b" " + quote(identifier) + b" " + quote(rights)
        self.send(line)
        self.send("%s OK GETACL completed" % tag)
        return True

    def cmd_uid_store(self, tag, args):
        args = args[1:]  # the STORE or ASTORE word
        if self.selected is None:
            self.send("%s NO no folder selected" % tag)
            return True
        if len(args) < 2:
            raise BadCommand("STORE needs a UID set and data")
        first, _, last = atom(args[0]).partition(":")
        low, high = int(first), int(last or first)
        item = atom(args[1]).upper()
        if item != "ANNOTATION" or len(args) != 3 or not isinstance(args[2], list):
            raise BadCommand("only ANNOTATION stores are served")
        entries = args[2]
        with self.state.lock:
            for message in self.selected.messages:
                if not low <= message["uid"] <= high:
                    continue
                i = 0
                while i + 1 < len(entries):
                    entry = text(entries[i])
                    values = entries[i + 1]
                    attrs = {}
                    if isinstance(values, list):
                        j = 0
                        while j + 1 < len(values):
                            value = values[j + 1]
                            # NIL (no value) is kept apart from an empty string.
                            nil = isinstance(value, str) and value.upper() == "NIL"
                            attrs[text(values[j])] = None if nil else text(value)
                            j += 2
                    message["annotations"][entry] = attrs
                    i += 2
                self.state.persist_message(self.account, self.selected, message)
        self.send("%s OK STORE completed" % tag)
        return True


def serve(listener, state, tls_context, session_class=None):
    """Accepts connections until the listener is closed; each runs a session
    (IMAP unless told otherwise) on a thread of its own."""
    while True:
        try:
            sock, _ = listener.accept()
        except OSError:
            return
        threading.Thread(target=handle, args=(sock, state, tls_context, session_class or Session),
                         daemon=True).start()


def handle(sock, state, tls_context, session_class):
    try:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        if tls_context is not None:
            sock.settimeout(30)
            sock = tls_context.wrap_socket(sock, server_side=True)
            sock.settimeout(None)
        session_class(state, sock).run()
    except (Closed, Drop, OSError, ssl.SSLError):
        pass
    finally:
        try:
            sock.close()
        except OSError:
            pass


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


def take_address(with_tls):
    """A loopback address 127.0.0.N of our own, with the administration port
    and two free IMAP ports on it: random N from 2 to 250, retried while the
    administration port is taken there (other stand-ins run at the same
    time)."""
    for _ in range(500):
        host = "127.0.0.%d" % random.randint(2, 250)
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
    parser.add_argument("--master-password", required=True)
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
                             "folder, else in a new temporary folder)")
    parser.add_argument("--state-dir")
    parser.add_argument("--discard-bodies", action="store_true",
                        help="read literals of 1 MiB or more without keeping them")
    parser.add_argument("--faults", help="JSON list of planned faults")
    parser.add_argument("--cert", help="PEM certificate for the TLS ports")
    parser.add_argument("--key", help="PEM key for the TLS ports")
    parser.add_argument("--ports-file", required=True,
                        help="written as 'plain tls address' once the server listens")
    args = parser.parse_args()

    host, admin, plain, secure = take_address(bool(args.cert))
    db_path = args.config_db or os.path.join(
        args.state_dir if args.state_dir else tempfile.mkdtemp(prefix="stand-in-"), "config.db")
    if args.state_dir:
        os.makedirs(args.state_dir, exist_ok=True)
    config = ConfigDb(db_path)
    services = {"IMAP": (host, plain.getsockname()[1])}
    if secure:
        services["IMAPS"] = (host, secure.getsockname()[1])
    accounts = [(spec.partition(":")[0], spec.partition(":")[2] or None)
                for spec in args.account or []]
    config.create({"version": args.product_version, "backend_mode": args.backend_mode,
                   "master_password": args.master_password,
                   "worker_threads": args.worker_threads, "services": services,
                   "accounts": accounts})
    state = State(args, config)

    context = None
    if args.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.cert, args.key)
    state.services = Services(config, host,
                              lambda listener, tls: serve(listener, state,
                                                          context if tls else None))
    state.services.adopt("IMAP", plain, False)
    if secure:
        state.services.adopt("IMAPS", secure, True)
        threading.Thread(target=serve, args=(admin, state, context, AdminSession),
                         daemon=True).start()
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
