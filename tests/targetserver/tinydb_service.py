"""The stand-in target's administration service: the tinydb protocol over TLS
(docs/tinydb-protocol.md), with statements of the documented subset run for
real on the configuration database, and the service functions
start_service/stop_service that really move the IMAP listeners.

Written from the protocol description alone; it shares no code with the
client.
"""

import re
import socket
import sqlite3
import struct
import threading
import time

from client_input import Closed, Reader
from config_db import COLUMN_TYPES, TABLES

MAX_FRAME = 1 << 20
PROTOCOL = 1

HELLO, LOGIN, QUERY, BYE = 0x01, 0x02, 0x03, 0x04
WELCOME, LOGGEDIN, RESULT, ERROR = 0x81, 0x82, 0x83, 0x84

SYNTAX, UNKNOWN, READ_ONLY, EXISTS, NOT_LOGGED_IN = 1, 2, 3, 4, 5
PROTOCOL_VERSION, MALFORMED, SERVICE, INTERNAL = 6, 7, 8, 9

KEYWORDS = {"SELECT", "FROM", "WHERE", "AND", "IN", "UPDATE", "SET", "INSERT", "INTO", "VALUES",
            "DELETE", "NULL"}
NAMES = {name.upper(): name for name in list(TABLES) + list(COLUMN_TYPES)}
TOKEN = re.compile(r"""\s*(?:(?P<word>[A-Za-z_][A-Za-z0-9_]*)|(?P<number>-?[0-9]+)
                   |(?P<string>'(?:[^'\\]|\\['\\])*')|(?P<punct>[(),=]))""", re.X)


class AdminError(Exception):
    def __init__(self, code, sentence):
        super().__init__(sentence)
        self.code = code
        self.sentence = sentence


# --- statements ----------------------------------------------------------------

def lexemes(text):
    """(kind, text as written, start, end) of each token of a statement."""
    pos = 0
    text = text.rstrip()
    while pos < len(text):
        match = TOKEN.match(text, pos)
        if not match or match.end() == pos:
            raise AdminError(SYNTAX, "syntax error near: %s" % text[pos:pos + 20])
        kind = match.lastgroup
        yield kind, match.group(kind), match.start(kind), match.end(kind)
        pos = match.end()


def tokenize(text):
    """[(kind, value)] of a statement; text literals come back unescaped."""
    tokens = []
    for kind, value, _, _ in lexemes(text):
        if kind == "string":
            value = re.sub(r"\\(['\\])", r"\1", value[1:-1])
        tokens.append((kind, value))
    if not tokens:
        raise AdminError(SYNTAX, "empty statement")
    return tokens


# Columns whose values the transcript never shows.
SECRET_COLUMNS = {"PASSWORD", "MASTERPASSWORD"}


def without_passwords(statement):
    """The statement as the transcript keeps it: each text given to a
    password column ("Password = '...'", or in its place among an INSERT's
    values) as '***'; every text, when the statement can't be read."""
    try:
        found = list(lexemes(statement))
    except AdminError:
        return re.sub(r"'(?:[^'\\]|\\.)*'?", "'***'", statement)
    words = [value.upper() if kind == "word" else value for kind, value, _, _ in found]
    secret = {i for i in range(2, len(found)) if found[i][0] == "string" and words[i - 1] == "="
              and words[i - 2] in SECRET_COLUMNS}
    if "VALUES" in words:
        at = words.index("VALUES")
        # INSERT INTO <table> (<columns>) VALUES (<values>)
        columns = [word for (kind, _, _, _), word in zip(found[3:at], words[3:at]) if kind == "word"]
        values = [i for i in range(at + 1, len(found)) if found[i][0] != "punct"]
        secret.update(i for column, i in zip(columns, values) if column in SECRET_COLUMNS)
    for i in sorted(secret, reverse=True):
        _, _, start, end = found[i]
        statement = statement[:start] + "'***'" + statement[end:]
    return statement


def to_sqlite(tokens):
    """The statement as SQLite text with every literal a parameter; only the
    subset's keywords and the known table and column names pass."""
    parts, params = [], []
    for kind, value in tokens:
        if kind == "word":
            upper = value.upper()
            if upper in KEYWORDS:
                parts.append(upper)
            elif upper in NAMES:
                parts.append(NAMES[upper])
            else:
                raise AdminError(UNKNOWN, "no such table or column: %s" % value)
        elif kind == "string":
            parts.append("?")
            params.append(value)
        elif kind == "number":
            parts.append("?")
            params.append(int(value))
        else:
            parts.append(value)
    return " ".join(parts), params


def typed(column, value):
    """A value and its wire tag under its column's type."""
    if value is None:
        return None
    if COLUMN_TYPES.get(column) == "INTEGER":
        return int(value)
    return value if isinstance(value, str) else str(value)


class Services:
    """The IMAP listeners, by service name ("IMAP", "IMAPS"), bound where
    ServicePorts says when they start. 'All addresses' is this stand-in's own
    loopback address, so nothing ever listens beyond loopback."""

    def __init__(self, config, own_address, serve):
        self.config = config
        self.own_address = own_address
        self.serve = serve  # serve(listener, tls) runs a listener's accept loop
        self.listeners = {}
        self.lock = threading.Lock()

    def adopt(self, name, listener, tls):
        self.listeners[name] = (listener, tls)
        threading.Thread(target=self.serve, args=(listener, tls), daemon=True).start()

    def stop(self, name):
        with self.lock:
            entry = self.listeners.pop(name, None)
        if entry is None:
            return
        listener = entry[0]
        try:
            listener.shutdown(socket.SHUT_RDWR)  # wakes the accept loop
        except OSError:
            pass
        listener.close()

    def start(self, name, tls):
        with self.lock:
            if name in self.listeners:
                return
            row = self.config.service_binding(name)
            if row is None:
                raise AdminError(UNKNOWN, "no such service: %s" % name)
            address, port = row
            if address not in ("0.0.0.0", self.own_address):
                raise AdminError(SERVICE, "%s is not an address of this server" % address)
            listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            try:
                listener.bind((self.own_address, port))
                listener.listen(64)
            except OSError as e:
                listener.close()
                raise AdminError(SERVICE, "the %s service can't listen on %s:%d: %s"
                                 % (name, self.own_address, port, e.strerror))
            self.listeners[name] = (listener, tls)
        threading.Thread(target=self.serve, args=(listener, tls), daemon=True).start()


# --- the protocol -----------------------------------------------------------------

def text_field(text):
    raw = text.encode("utf-8")
    return struct.pack(">i", len(raw)) + raw


class Fields:
    """The fields of one message's payload, read in turn."""

    def __init__(self, payload):
        self.data = payload
        self.pos = 0

    def take(self, n):
        if self.pos + n > len(self.data):
            raise AdminError(MALFORMED, "the message ends early")
        part = self.data[self.pos:self.pos + n]
        self.pos += n
        return part

    def u16(self):
        return struct.unpack(">H", self.take(2))[0]

    def text(self):
        (n,) = struct.unpack(">i", self.take(4))
        if n < 0:
            raise AdminError(MALFORMED, "negative length")
        try:
            return self.take(n).decode("utf-8")
        except UnicodeDecodeError:
            raise AdminError(MALFORMED, "text that is not UTF-8")

    def done(self):
        if self.pos != len(self.data):
            raise AdminError(MALFORMED, "bytes left over")


class AdminSession:
    counter = 0

    def __init__(self, state, sock):
        self.state = state
        self.sock = sock
        self.input = Reader(sock)
        self.admin = None
        self.read_only = False
        AdminSession.counter += 1
        self.id = AdminSession.counter
        self.round_trips = 0

    def log(self, direction, text):
        self.state.log("A%d" % self.id, direction, text)

    def read_frame(self):
        # A message none of whose bytes had come when everything before it
        # was read and answered was written after those: it opens a round
        # trip of a client that reads the answers before it writes again.
        # Statements written together (pipelined) come in one TLS record,
        # and so are in the buffer once the first of them is read.
        if not self.input.buffer:
            self.round_trips += 1
            self.log("R:", "round trip %d" % self.round_trips)
        (length,) = struct.unpack(">I", self.input.exact(4))
        if length == 0 or length > MAX_FRAME:
            raise AdminError(MALFORMED, "a frame of %d bytes" % length)
        body = self.input.exact(length)
        return body[0], body[1:]

    def send(self, kind, payload=b""):
        self.sock.sendall(struct.pack(">IB", len(payload) + 1, kind) + payload)

    def send_error(self, code, sentence):
        self.log("S:", "ERROR %d %s" % (code, sentence))
        self.send(ERROR, struct.pack(">H", code) + text_field(sentence))

    def planned(self, verb, statement=""):
        """The fault planned for this message; acts on drop, stall and pause
        (the message is then served as usual, "seconds" later)."""
        fault = self.state.fault_for(verb, statement)
        action = fault.get("action") if fault else None
        if action == "drop":
            raise Closed()
        if action == "stall":
            while True:
                time.sleep(3600)
        if action == "pause":
            time.sleep(fault.get("seconds", 1))
        return action

    def run(self):
        """The whole conversation; a fault plan's drop or a client that
        goes away just ends it."""
        try:
            self.converse()
        except AdminError as e:
            self.send_error(e.code, e.sentence)
        except Closed:
            pass

    def converse(self):
        """Messages are taken one at a time, each answered before the next
        is read: statements a client sends without waiting (pipelined) run
        in the order they came, and their answers go out in that order."""
        kind, payload = self.read_frame()
        self.planned("TINYDB HELLO")
        if kind != HELLO:
            self.send_error(MALFORMED, "HELLO expected")
            return
        hello = Fields(payload)
        version = hello.u16()
        client = hello.text()
        self.log("C:", "HELLO %d %s" % (version, client))
        if version != PROTOCOL:
            self.send_error(PROTOCOL_VERSION, "protocol version %d is not spoken here" % version)
            return
        self.send(WELCOME, struct.pack(">H", PROTOCOL) + text_field(self.state.config.version()))
        while True:
            kind, payload = self.read_frame()
            if kind == BYE:
                self.log("C:", "BYE")
                return
            if kind == LOGIN:
                self.login(Fields(payload))
            elif kind == QUERY:
                self.query(Fields(payload))
            else:
                self.send_error(MALFORMED, "unknown message type %d" % kind)
                return

    def login(self, message):
        user, password = message.text(), message.text()
        message.done()
        self.log("C:", "LOGIN %s" % user)
        self.planned("TINYDB LOGIN")
        entry = self.state.administrators.get(user)
        if entry is None or entry[0] != password:
            self.admin = None
            answer = 2
        else:
            self.admin = user
            self.read_only = entry[1]
            answer = 1 if self.read_only else 0
        self.log("S:", "LOGGEDIN %d" % answer)
        self.send(LOGGEDIN, bytes([answer]))

    def query(self, message):
        statement = message.text()
        message.done()
        self.log("C:", "QUERY %s" % without_passwords(statement))
        if self.admin is None:
            self.send_error(NOT_LOGGED_IN, "not logged in")
            return
        action = self.planned("TINYDB QUERY", statement)
        if action in ("no", "refuse"):
            self.send_error(INTERNAL, "planned refusal")
            return
        try:
            changed, columns, rows = self.execute(statement)
        except AdminError as e:
            self.send_error(e.code, e.sentence)
            return
        if action == "drop_after":
            raise Closed()
        self.log("S:", "RESULT %d changed, %d rows" % (changed, len(rows)))
        self.send(RESULT, self.encode_result(changed, columns, rows))

    def execute(self, statement):
        tokens = tokenize(statement)
        verb = tokens[0][1].upper() if tokens[0][0] == "word" else ""
        if verb == "CALL":
            return self.call(tokens)
        if verb not in ("SELECT", "UPDATE", "INSERT", "DELETE"):
            raise AdminError(SYNTAX, "not a statement of the subset: %s" % verb)
        if self.read_only and verb != "SELECT":
            raise AdminError(READ_ONLY, "a read-only administrator may only read")
        sql, params = to_sqlite(tokens)
        conn = self.state.config.connection()
        try:
            cursor = conn.execute(sql, params)
            rows = cursor.fetchall()
        except sqlite3.IntegrityError as e:
            raise AdminError(EXISTS, "the row exists already (%s)" % e)
        except sqlite3.OperationalError as e:
            code = UNKNOWN if "no such" in str(e) else SYNTAX
            raise AdminError(code, str(e))
        except sqlite3.Error as e:
            raise AdminError(INTERNAL, str(e))
        columns = [d[0] for d in cursor.description] if cursor.description else []
        changed = cursor.rowcount if verb != "SELECT" and cursor.rowcount > 0 else 0
        return changed, columns, rows

    def call(self, tokens):
        shape = [kind for kind, _ in tokens]
        if shape != ["word", "word", "punct", "string", "punct"] or tokens[2][1] != "(" \
                or tokens[4][1] != ")":
            raise AdminError(SYNTAX, "CALL function('text') expected")
        function, service = tokens[1][1], tokens[3][1]
        if function not in ("start_service", "stop_service"):
            raise AdminError(UNKNOWN, "no such function: %s" % function)
        if self.read_only:
            raise AdminError(READ_ONLY, "a read-only administrator may only read")
        if service not in ("IMAP", "IMAPS"):
            raise AdminError(UNKNOWN, "no such service: %s" % service)
        services = self.state.services
        if function == "stop_service":
            services.stop(service)
        else:
            services.start(service, service == "IMAPS")
        return 0, [], []

    @staticmethod
    def encode_result(changed, columns, rows):
        out = bytearray(struct.pack(">qH", changed, len(columns)))
        kinds = []
        for name in columns:
            kind = 1 if COLUMN_TYPES.get(name) == "INTEGER" else 2
            kinds.append(kind)
            out += text_field(name) + bytes([kind])
        out += struct.pack(">I", len(rows))
        for row in rows:
            out += struct.pack(">H", len(row))
            for name, kind, value in zip(columns, kinds, row):
                value = typed(name, value)
                if value is None:
                    out += b"\x00"
                elif kind == 1:
                    out += b"\x01" + struct.pack(">q", value)
                else:
                    out += b"\x02" + text_field(value)
        return bytes(out)
