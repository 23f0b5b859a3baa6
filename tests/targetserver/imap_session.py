"""The stand-in target's IMAP session: the part of IMAP4rev1 that a migration
sends to the target, with the target's private extensions: master
authentication (X-MASTERAUTH), switching to an account or to a domain's
public folders (X-SETUSER), account creation (X-CREATEUSER), folder creation
with a folder type and identifier (X-CREATE), STATUS with GUID, LIST with
identifier and type flags, APPEND and X-APPEND with LITERAL+ and APPENDUID,
FETCH and UID FETCH of what a message keeps (its UID, flags, internal date,
size, and its whole bytes, header or text, or header fields, in part or
whole), and the ACL and annotation commands.

One session runs in one process (connection_processes.py); everything it
reads or changes is shared with the other sessions through the state
folder (mail_store.py, shared_state.py) and the configuration database
(config_db.py).

Written from the protocol alone; it shares no code with the client.
"""

import calendar
import hashlib
import os
import random
import re
import time

from client_input import Reader
from config_db import fold_address, split_address
from mail_store import DiscardedBody, FolderGone, Refused, SpooledBody

TYPE_KEYWORDS = {"X-CONTACT": 0x1, "X-CALENDAR": 0x2, "X-TODO": 0x4, "X-JOURNAL": 0x8,
                 "X-MAIL": 0x10, "X-MAPI": 0x20, "X-NOTE": 0x40, "X-SEARCH": 0x80,
                 "X-ALL": 0x7FFF}
TYPE_FLAGS = [(0x1, "\\TavirContact"), (0x2, "\\TavirCalendar"), (0x4, "\\TavirTodo"),
              (0x8, "\\TavirJournal"), (0x10, "\\TavirMail"), (0x20, "\\TavirMapi"),
              (0x40, "\\TavirNote"), (0x80, "\\TavirSearch")]
SYSTEM_FLAGS = {"\\seen", "\\answered", "\\flagged", "\\deleted", "\\draft"}
MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]
MAX_LINE = 1 << 20
# Literals from this size on are received into a file of their own, in
# pieces of this size, so that a large body is never held whole in memory.
SPOOL_FROM = 256 << 10
# Literals from this size on are read without being kept when bodies are
# discarded (benchmarks): the stand-in's own memory and disk traffic is not
# what they measure.
DISCARD_FROM = 1 << 20
CAPABILITIES = "IMAP4rev1 LITERAL+ UIDPLUS ACL ANNOTATE X-MASTERAUTH"
PUBLIC_MAILBOX = "#public"
STORE, MASTER = "store", "master"  # what a command needs first (Session.COMMANDS)
# A LOGIN command's line up to its user name, which is quoted, a literal or
# an atom; the transcript shows the password after it as "***".
LOGIN_LINE = re.compile(r'(\S+ +LOGIN +(?:"(?:[^"\\]|\\.)*"|\{\d+\+?\}$|[^ ]+))(.*)', re.I)


class Drop(Exception):
    """The fault plan asked to cut the connection."""


class BadCommand(Exception):
    pass


def quote(text):
    """A string in IMAP wire form: quoted when it can be, else a literal."""
    raw = text.encode("utf-8", "surrogateescape") if isinstance(text, str) else text
    if any(b in (0, 10, 13) or b >= 0x80 for b in raw):
        return b"{%d}\r\n" % len(raw) + raw
    return b'"' + raw.replace(b"\\", b"\\\\").replace(b'"', b'\\"') + b'"'


def command_tokens(session, fault_check):
    """Reads a command: its line and literals, tokenised into a flat list of
    atoms (str), strings (bytes from quoted strings and literals) and nested
    lists (python lists)."""
    tokens = []
    stack = [tokens]
    verb_seen = []
    first = True
    while True:
        line = session.read_line(first)
        first = False
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
    if isinstance(token, (SpooledBody, DiscardedBody)):
        raise BadCommand("a string of %d bytes where a short one was expected" % token.size)
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
        return calendar.timegm((int(year), mon, int(day), h, m, s, 0, 0, 0)) - offset
    except (ValueError, IndexError):
        return None


def message_set(text, last, by_uid):
    """The numbers of a message set ("1:5,7,9:*") in order, each once.
    Sequence numbers must all exist; UIDs that don't are passed over."""
    numbers = set()
    for piece in text.split(","):
        ends = piece.split(":")
        if len(ends) > 2 or not all(e == "*" or e.isdigit() and int(e) > 0 for e in ends):
            raise BadCommand("invalid message set %s" % text)
        low, high = sorted(last if e == "*" else int(e) for e in (ends[0], ends[-1]))
        if not by_uid and (low < 1 or high > last):
            raise BadCommand("invalid message sequence number %s" % piece)
        numbers.update(range(max(low, 1), min(high, last) + 1))
    return sorted(numbers)


SECTION = re.compile(r"^(BODY(?:\.PEEK)?)\[([^\]]*)\](?:<(\d+)(?:\.(\d+))?>)?$", re.I)
MACROS = {"FAST": ["FLAGS", "INTERNALDATE", "RFC822.SIZE"]}


def split_message(data):
    """(header, text): the header with the blank line that ends it."""
    for blank in (b"\r\n\r\n", b"\n\n"):
        at = data.find(blank)
        if at >= 0:
            return data[:at + len(blank)], data[at + len(blank):]
    return data, b""


def header_fields(header, names, keep):
    """The fields of a header whose names are (keep) or are not (not keep)
    in `names`, each with its continuation lines, then the blank line."""
    out = []
    taking = False
    for line in header.splitlines(keepends=True):
        if line in (b"\r\n", b"\n"):
            break
        if line[:1] not in (b" ", b"\t"):
            name = line.split(b":", 1)[0].strip().decode("latin-1").upper()
            taking = (name in names) == keep
        if taking:
            out.append(line)
    return b"".join(out) + b"\r\n"


def body_section(item):
    """(reply label, function of the message's bytes, peek) of a BODY item."""
    m = SECTION.match(item)
    if not m:
        raise BadCommand("unknown FETCH item %s" % item)
    peek = m.group(1).upper() == "BODY.PEEK"
    spec = m.group(2).strip().upper()
    word, _, rest = spec.partition(" ")
    if word in ("HEADER.FIELDS", "HEADER.FIELDS.NOT"):
        names = set(rest.strip().strip("()").split())
        if not names:
            raise BadCommand("HEADER.FIELDS needs field names")
        keep = word == "HEADER.FIELDS"
        part = lambda data: header_fields(split_message(data)[0], names, keep)
        spec = "%s (%s)" % (word, " ".join(rest.strip().strip("()").split()))
    elif spec == "HEADER":
        part = lambda data: split_message(data)[0]
    elif spec == "TEXT":
        part = lambda data: split_message(data)[1]
    elif spec == "":
        part = lambda data: data
    else:
        raise BadCommand("section %s is not served" % spec)
    label = "BODY[%s]" % spec
    if m.group(3) is not None:
        origin = int(m.group(3))
        length = int(m.group(4)) if m.group(4) is not None else None
        whole = part
        part = lambda data: whole(data)[origin:None if length is None else origin + length]
        label += "<%d>" % origin
    return label, part, peek


def fetch_items(token):
    """[(name, None or body_section(...))] of a FETCH item list or item."""
    tokens = token if isinstance(token, list) else [token]
    items = []
    for t in tokens:
        word = atom(t)
        upper = word.upper()
        for name in MACROS.get(upper, [upper]):
            if name in ("UID", "FLAGS", "INTERNALDATE", "RFC822.SIZE"):
                items.append((name, None))
            elif name == "RFC822":
                items.append((name, ("RFC822",) + body_section("BODY[]")[1:]))
            elif name == "RFC822.HEADER":
                items.append((name, ("RFC822.HEADER",) + body_section("BODY.PEEK[HEADER]")[1:]))
            elif name == "RFC822.TEXT":
                items.append((name, ("RFC822.TEXT",) + body_section("BODY[TEXT]")[1:]))
            else:
                items.append((name, body_section(word)))
    if not items:
        raise BadCommand("FETCH needs items")
    return items


class Session:
    """One IMAP connection. `server` gives the shared state: config (the
    configuration database), mail (the stores), log(session, direction,
    text), fault_for(verb), account(address), discard_bodies."""

    def __init__(self, server, sock, number):
        self.server = server
        self.sock = sock
        self.id = number
        self.input = Reader(sock)
        self.master = False
        self.store = None  # the account's mailbox or a domain's public folders
        self.selected = None
        self.spooled = []  # bodies received into files for the command in hand
        self.password_follows = False  # a LOGIN's user was a literal

    def log(self, direction, line):
        self.server.log(self.id, direction, line)

    # --- wire ----------------------------------------------------------------
    def read_line(self, first=False):
        """A line of the client's: the first of a command (first), one that
        goes on after a literal, or an answer to a challenge."""
        line = self.input.line(MAX_LINE)
        if line is None:
            raise BadCommand("line too long")
        shown = line.decode("utf-8", "backslashreplace")
        if first:
            login = LOGIN_LINE.match(shown)
            self.password_follows = bool(login) and not login.group(2)
            if login and login.group(2):
                shown = login.group(1) + " ***"
        elif self.password_follows:
            self.password_follows = False
            shown = " ***"
        self.log("C:", shown)
        return line

    def read_literal(self, size, fault):
        cut = None
        if fault and fault.get("action") == "drop_in_literal":
            cut = fault.get("after_bytes", 0)
        if cut is not None:
            self.input.exact(min(size, cut))
            raise Drop()
        keep = self.server.mail.keep_bodies
        if size >= DISCARD_FROM and self.server.discard_bodies or size >= SPOOL_FROM and not keep:
            self.input.receive(size, None, SPOOL_FROM)
            self.log("C:", "<literal %d bytes, not kept>" % size)
            return DiscardedBody(size)
        if size >= SPOOL_FROM:
            body = SpooledBody(self.server.mail.spool_path(), size)
            self.spooled.append(body)
            with open(body.path, "wb") as f:
                self.input.receive(size, f, SPOOL_FROM)
            self.log("C:", "<literal %d bytes>" % size)
            return body
        data = self.input.exact(size)
        self.log("C:", "<literal %d bytes>" % size)
        return data

    def send_raw(self, data):
        self.sock.sendall(data)

    def send(self, line):
        if isinstance(line, str):
            line = line.encode("utf-8", "surrogateescape")
        self.log("S:", line.decode("utf-8", "backslashreplace"))
        self.sock.sendall(line + b"\r\n")

    # --- loop ------------------------------------------------------------------
    def run(self):
        self.send("* OK [CAPABILITY %s] Stand-in target ready" % CAPABILITIES)
        while True:
            try:
                if not self.command():
                    return
            finally:
                for body in self.spooled:
                    body.discard()
                self.spooled.clear()

    def command(self):
        """Reads and answers one command; False after LOGOUT."""
        pending_fault = []

        def check(tokens):
            verb = self.verb_of(tokens)
            fault = self.server.fault_for(verb) if verb else None
            pending_fault.append(fault)
            if fault and fault.get("action") == "drop":
                raise Drop()
            if fault and fault.get("action") == "stall":
                self.stall()
            if fault and fault.get("action") == "pause":
                time.sleep(fault.get("seconds", 1))
            return fault

        try:
            tokens = command_tokens(self, check)
        except BadCommand as e:
            self.input.buffer.clear()
            self.send("* BAD %s" % e)
            return True
        if not tokens:
            return True
        tag = atom(tokens[0])
        if len(tokens) < 2:
            self.send("%s BAD missing command" % tag)
            return True
        if not pending_fault:
            check(tokens)
        fault = pending_fault[0]
        if fault and fault.get("action") in ("no", "bad"):
            self.send("%s %s planned refusal" % (tag, fault["action"].upper()))
            return True
        if fault and fault.get("action") == "drop_after":
            raise Drop()
        try:
            return self.dispatch(tag, tokens)
        except BadCommand as e:
            self.send("%s BAD %s" % (tag, e))
        except Refused as e:
            self.send("%s NO [%s] %s" % (tag, e.code, e))
        except FolderGone:
            self.send("%s NO [NONEXISTENT] no such folder" % tag)
        return True

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
        handler, needs = self.COMMANDS.get(self.verb_of(tokens), (None, None))
        if handler is None:
            self.send("%s BAD unknown command" % tag)
        elif needs == STORE and self.store is None:
            self.send("%s NO not logged in to an account" % tag)
        elif needs == MASTER and not self.master:
            self.send("%s NO master authentication required" % tag)
        else:
            return handler(self, tag, tokens[2:])
        return True

    # --- commands --------------------------------------------------------------
    def cmd_capability(self, tag, args):
        self.send("* CAPABILITY %s" % CAPABILITIES)
        self.send("%s OK CAPABILITY completed" % tag)
        return True

    def cmd_noop(self, tag, args):
        self.send("%s OK NOOP completed" % tag)
        return True

    def cmd_checkversion(self, tag, args):
        self.send("%s OK X-CHECKVERSION %s" % (tag, self.server.config.version()))
        return True

    def cmd_logout(self, tag, args):
        self.send("* BYE logging out")
        self.send("%s OK LOGOUT completed" % tag)
        return False

    def cmd_login(self, tag, args):
        if len(args) != 2:
            raise BadCommand("LOGIN needs two arguments")
        user, password = text(args[0]), text(args[1])
        record = self.server.config.user(user)
        if record is None or record[0] is None or record[0] != password:
            self.send("%s NO [AUTHENTICATIONFAILED] Authentication failed" % tag)
            return True
        self.store = self.server.mail.account(user)
        self.selected = None
        self.send("%s OK LOGIN completed" % tag)
        return True

    def cmd_masterauth(self, tag, args):
        challenge = "<%d.%d@stand-in>" % (os.getpid(), random.randint(1, 10**9))
        self.send("+ " + challenge)
        answer = self.read_line().decode("latin-1").strip()
        allowed, password = self.server.config.master_auth_allowed(self.sock.getpeername()[0])
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
        address = text(args[0])
        store = self.store_of(address)
        if store is None:
            self.send("%s NO no such account" % tag)
            return True
        self.store = store
        self.selected = None
        self.send("%s OK X-SETUSER completed" % tag)
        return True

    def store_of(self, address):
        """The store an X-SETUSER address names: "#public@<domain>" is the
        public folders of a domain that exists; other names starting with
        "#" are namespaces that hold no store."""
        domain, mailbox = split_address(address)
        if not mailbox.startswith("#"):
            return self.server.account(address)
        if fold_address(mailbox) == PUBLIC_MAILBOX and self.server.config.domain_exists(domain):
            return self.server.mail.public(domain)
        return None

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
        if not self.server.config.add_user(address, text(fields["PASSWORD"]),
                                           text(fields.get("FULLNAME", b""))):
            self.send("%s NO account exists" % tag)
            return True
        self.server.mail.account(address)
        self.send("%s OK X-CREATEUSER completed" % tag)
        return True

    def folder(self, token):
        """The folder a name argument means; FolderGone when there is none."""
        folder = self.store.folder(text(token))
        if folder is None:
            raise FolderGone()
        return folder

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
        folder = self.store.create(text(args[0]), ftype or 0x10, guid)
        self.send("%s OK X-CREATE completed %s" % (tag, folder.guid))
        return True

    def cmd_delete(self, tag, args):
        if args and isinstance(args[0], list):
            args = args[1:]
        if len(args) != 1:
            raise BadCommand("DELETE needs a folder name")
        folder = self.folder(args[0])
        self.store.delete(folder.name)
        if self.selected is not None and self.selected.name == folder.name:
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
        for folder in self.store.folders():
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
        folder = self.folder(args[0])
        uidvalidity, next_uid = folder.uids()
        items = []
        for item in args[1]:
            word = atom(item).upper()
            if word == "MESSAGES":
                items.append("MESSAGES %d" % (next_uid - 1))
            elif word == "GUID":
                items.append("GUID %s" % folder.guid)
            elif word == "UIDNEXT":
                items.append("UIDNEXT %d" % next_uid)
            elif word == "UIDVALIDITY":
                items.append("UIDVALIDITY %d" % uidvalidity)
            else:
                raise BadCommand("unknown status item %s" % word)
        self.send(b"* STATUS " + quote(folder.name) + b" (" + " ".join(items).encode() + b")")
        self.send("%s OK STATUS completed" % tag)
        return True

    def cmd_select(self, tag, args):
        if len(args) != 1:
            raise BadCommand("SELECT needs a folder")
        folder = self.folder(args[0])
        uidvalidity, next_uid = folder.uids()
        self.selected = folder
        self.send("* %d EXISTS" % (next_uid - 1))
        self.send("* 0 RECENT")
        self.send("* OK [UIDVALIDITY %d] UIDs valid" % uidvalidity)
        self.send("* OK [UIDNEXT %d] next UID" % next_uid)
        self.send("* FLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft)")
        self.send("%s OK [READ-WRITE] SELECT completed" % tag)
        return True

    def cmd_append(self, tag, args):
        if len(args) < 2:
            raise BadCommand("APPEND needs a folder and a message")
        name = text(args[0])
        data = args[-1]
        if not isinstance(data, (bytes, bytearray, SpooledBody, DiscardedBody)):
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
        folder = self.store.folder(name)
        try:
            if folder is None:
                raise FolderGone()
            uidvalidity, uid = folder.append(
                data, flags, imap_date(date if date is not None else time.time()), guid)
        except FolderGone:
            self.send("%s NO [TRYCREATE] no such folder" % tag)
            return True
        self.send("%s OK [APPENDUID %d %d] APPEND completed" % (tag, uidvalidity, uid))
        return True

    def cmd_fetch(self, tag, args, by_uid=False):
        if self.selected is None:
            self.send("%s NO no folder selected" % tag)
            return True
        if len(args) < 2:
            raise BadCommand("FETCH needs a message set and items")
        # Messages are never removed: message n of a folder has UID n.
        _, next_uid = self.selected.uids()
        numbers = message_set(atom(args[0]), next_uid - 1, by_uid)
        items = fetch_items(args[1] if len(args) == 2 else args[1:])
        if by_uid and "UID" not in [name for name, _ in items]:
            items.insert(0, ("UID", None))
        out = bytearray()
        for n in numbers:
            out += b"* %d FETCH (" % n + b" ".join(self.fetch_one(n, items)) + b")\r\n"
            if len(out) >= 1 << 16:
                self.send_raw(bytes(out))
                out.clear()
        self.send_raw(bytes(out))
        self.log("S:", "<%d FETCH replies>" % len(numbers))
        self.send("%s OK FETCH completed" % tag)
        return True

    def cmd_uid_fetch(self, tag, args):
        return self.cmd_fetch(tag, args[1:], by_uid=True)

    def fetch_one(self, uid, items):
        """The items of one message's FETCH reply, each as "NAME value"."""
        meta, data = self.selected.message(uid)
        flags = meta["flags"]
        parts = []
        # Reading a body without PEEK marks the message seen; the reply
        # then tells the new flags.
        reads = any(section and not section[2] for _, section in items)
        if reads and "\\seen" not in (f.lower() for f in flags):
            flags = self.selected.add_flag(uid, "\\Seen")
            if "FLAGS" not in (name for name, _ in items):
                parts.append(b"FLAGS (" + " ".join(flags).encode() + b")")
        for name, section in items:
            if name == "UID":
                parts.append(b"UID %d" % uid)
            elif name == "FLAGS":
                parts.append(b"FLAGS (" + " ".join(flags).encode() + b")")
            elif name == "INTERNALDATE":
                parts.append(b'INTERNALDATE "' + meta["date"].encode() + b'"')
            elif name == "RFC822.SIZE":
                parts.append(b"RFC822.SIZE %d" % len(data))
            else:
                label, part, _ = section
                parts.append(label.encode() + b" {%d}\r\n" % len(part(data)) + part(data))
        return parts

    def acl_folder(self, args, count):
        if len(args) != count:
            raise BadCommand("wrong number of arguments")
        return self.folder(args[0])

    def cmd_setacl(self, tag, args):
        folder = self.acl_folder(args, 3)
        identifier, rights = text(args[1]), text(args[2])
        folder.change_acl(lambda acl: acl.__setitem__(identifier, rights))
        self.send("%s OK SETACL completed" % tag)
        return True

    def cmd_deleteacl(self, tag, args):
        if len(args) not in (2, 3):
            raise BadCommand("DELETEACL needs a folder and an identifier")
        folder = self.acl_folder(args[:2], 2)
        identifier = text(args[1])
        folder.change_acl(lambda acl: acl.pop(identifier, None))
        self.send("%s OK DELETEACL completed" % tag)
        return True

    def cmd_getacl(self, tag, args):
        folder = self.acl_folder(args, 1)
        entries = sorted(folder.acl().items())
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
        if not first.isdigit() or not (last or first).isdigit():
            raise BadCommand("a UID set of one UID or one range expected")
        low, high = int(first), int(last or first)
        item = atom(args[1]).upper()
        if item != "ANNOTATION" or len(args) != 3 or not isinstance(args[2], list):
            raise BadCommand("only ANNOTATION stores are served")
        entries = {}
        pairs = args[2]
        for i in range(0, len(pairs) - 1, 2):
            values = pairs[i + 1]
            attrs = {}
            if isinstance(values, list):
                for j in range(0, len(values) - 1, 2):
                    value = values[j + 1]
                    # NIL (no value) is kept apart from an empty string.
                    nil = isinstance(value, str) and value.upper() == "NIL"
                    attrs[text(values[j])] = None if nil else text(value)
            entries[text(pairs[i])] = attrs
        self.selected.annotate(low, high, entries)
        self.send("%s OK STORE completed" % tag)
        return True

    # Each command's handler and what it needs first: a store to work on
    # (logged in to an account, or switched to one), or master authentication.
    COMMANDS = {
        "CAPABILITY": (cmd_capability, None), "NOOP": (cmd_noop, None),
        "LOGOUT": (cmd_logout, None), "LOGIN": (cmd_login, None),
        "X-MASTERAUTH": (cmd_masterauth, None), "X-CHECKVERSION": (cmd_checkversion, None),
        "X-SETUSER": (cmd_setuser, MASTER), "X-CREATEUSER": (cmd_createuser, MASTER),
        "CREATE": (cmd_create, STORE), "X-CREATE": (cmd_create, STORE),
        "DELETE": (cmd_delete, STORE), "LIST": (cmd_list, STORE),
        "STATUS": (cmd_status, STORE), "SELECT": (cmd_select, STORE),
        "EXAMINE": (cmd_select, STORE), "APPEND": (cmd_append, STORE),
        "X-APPEND": (cmd_append, STORE), "SETACL": (cmd_setacl, STORE),
        "DELETEACL": (cmd_deleteacl, STORE), "GETACL": (cmd_getacl, STORE),
        "UID STORE": (cmd_uid_store, STORE), "UID ASTORE": (cmd_uid_store, STORE),
        "FETCH": (cmd_fetch, STORE), "UID FETCH": (cmd_uid_fetch, STORE),
    }
