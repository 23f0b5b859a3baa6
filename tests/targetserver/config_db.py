"""The stand-in target's configuration database (SQLite), shared by its IMAP
service and its administration service.

Everything the administration service can change that the IMAP side obeys
(master password, backend mode and its access list, domains and accounts,
service bindings) lives here and nowhere else, and every reader opens the
file itself, so the IMAP side keeps working unchanged when each of its
connections runs in a process of its own.

Run as a program, it prints the rows of one statement on a database:
    config_db.py <database> <statement>
"""

import ipaddress
import sqlite3
import sys
import threading

import case_folding

# Table -> [(column, type)]: only what a migration uses (see
# docs/tinydb-protocol.md).
TABLES = {
    "Info": [("Version", "TEXT")],
    "Cluster": [("BackendMode", "INTEGER"), ("MasterPassword", "TEXT"),
                ("BackendAccessList", "TEXT")],
    "IpAccessList": [("Name", "TEXT"), ("FirstAddress", "TEXT"), ("LastAddress", "TEXT")],
    "MessageStore": [("FolderCache", "INTEGER"), ("IndexWriteCache", "INTEGER")],
    "Security": [("PolicyMode", "INTEGER")],
    "ServicePorts": [("Service", "TEXT"), ("Address", "TEXT"), ("Port", "INTEGER")],
    "Misc": [("WorkerThreads", "INTEGER")],
    "MigrationTools": [("Record", "TEXT")],
    "Domain": [("Name", "TEXT")],
    "User": [("Domain", "TEXT"), ("Name", "TEXT"), ("Password", "TEXT"), ("FullName", "TEXT")],
}

# Uniqueness the server enforces; names compare without regard to case.
KEYS = {
    "IpAccessList": "PRIMARY KEY (Name)",
    "ServicePorts": "PRIMARY KEY (Service)",
    "Domain": "PRIMARY KEY (Name)",
    "User": "PRIMARY KEY (Domain, Name)",
}
# (table, column) -> collation. Account names and domains compare as the
# mail store names their stores (fold_address): letters of every script
# without regard to case. SQLite's own NOCASE folds A-Z only; with it
# "Ünal@" and "ünal@" would be two accounts sharing one mailbox.
COLLATIONS = {("Domain", "Name"): "ADDRESS", ("User", "Domain"): "ADDRESS",
              ("User", "Name"): "ADDRESS", ("IpAccessList", "Name"): "NOCASE"}

# The database's user_version once its ADDRESS indexes are ordered by
# fold_address. Earlier versions compared with str.lower() and left it 0:
# their indexes are built again when the stand-in starts on one (refold).
ADDRESS_FOLDING = 1

# Column name -> type; a name has the same type in every table.
COLUMN_TYPES = {column: kind for columns in TABLES.values() for column, kind in columns}


def fold_address(text):
    """An address, account name or domain as the server compares it, and
    as the engine does: by Unicode's simple case folding (case_folding.py,
    one character to one). str.lower() is no comparison without regard to
    case ("ς" and "σ", "µ" and "μ", "ſ" and "s" stay apart, and "İ" becomes
    two characters); str.casefold() is the full folding ("ß" as "ss")."""
    return text.translate(case_folding.TABLE)


def lowered_address(text):
    """An address as earlier versions compared it and named its store."""
    return text.lower()


def _compare_addresses(a, b):
    a, b = fold_address(a), fold_address(b)
    return (a > b) - (a < b)


class Refolded(Exception):
    """What an earlier version left can't be made this version's: accounts
    or domains, or their stores, that were two and fold alike now. Its text
    says which."""


def open_db(path, read_only=False):
    """A connection to the database with the server's collations (every
    connection that reads or changes the tables needs them); autocommit,
    waiting up to 30 s for other writers."""
    target = "file:%s?mode=ro" % path if read_only else path
    conn = sqlite3.connect(target, uri=read_only, timeout=30, isolation_level=None)
    conn.create_collation("ADDRESS", _compare_addresses)
    return conn


def split_address(address):
    """(domain, mailbox) of "mailbox@domain"; the domain is empty without '@'."""
    name, at, domain = address.rpartition("@")
    return (domain, name) if at else ("", address)


class ConfigDb:
    def __init__(self, path):
        self.path = path
        self.local = threading.local()

    def connection(self):
        """This thread's own connection (sqlite3 connections stay with their
        thread); autocommit, waiting for other writers."""
        conn = getattr(self.local, "conn", None)
        if conn is None:
            conn = open_db(self.path)
            self.local.conn = conn
        return conn

    def create(self, settings):
        """Makes the tables and the rows of the settings. settings: version,
        backend_mode, master_password, worker_threads."""
        conn = self.connection()
        conn.execute("PRAGMA journal_mode=WAL")
        for table, columns in TABLES.items():
            parts = ["%s %s%s" % (c, t, " COLLATE " + COLLATIONS[table, c]
                                  if (table, c) in COLLATIONS else "")
                     for c, t in columns]
            if table in KEYS:
                parts.append(KEYS[table])
            conn.execute("CREATE TABLE %s (%s)" % (table, ", ".join(parts)))
        conn.execute("INSERT INTO Info VALUES (?)", (settings["version"],))
        conn.execute("INSERT INTO Cluster VALUES (?, ?, '')",
                     (settings["backend_mode"], settings["master_password"]))
        conn.execute("INSERT INTO MessageStore VALUES (0, 0)")
        conn.execute("INSERT INTO Security VALUES (2)")
        conn.execute("INSERT INTO Misc VALUES (?)", (settings["worker_threads"],))
        conn.execute("PRAGMA user_version = %d" % ADDRESS_FOLDING)

    def refold(self, rename_stores):
        """Makes a database of an earlier version, whose ADDRESS indexes are
        ordered by str.lower(), one of this version: its indexes built again
        by fold_address, so that look-ups find every row, and
        rename_stores(addresses) called with the accounts' addresses and
        the "#public@<domain>" of the domains (each as stored), whose stores
        an earlier version named by lowered_address, before the database is
        marked as this version's (so a start cut short does it all again).
        Nothing for a database of this version. Raises Refolded when rows
        that were two accounts (or domains) are one now: the stand-in can't
        merge their mailboxes."""
        conn = self.connection()
        if self.one("PRAGMA user_version")[0] >= ADDRESS_FOLDING:
            return
        try:
            conn.execute("REINDEX ADDRESS")
        except sqlite3.IntegrityError:
            raise Refolded("the configuration database holds accounts or domains that differ "
                           "only in case and are one now: "
                           + ", ".join(self.rows_folding_alike()))
        rename_stores([name + "@" + domain for domain, name in
                       conn.execute("SELECT Domain, Name FROM User")] +
                      ["#public@" + domain for domain, in
                       conn.execute("SELECT Name FROM Domain")])
        conn.execute("PRAGMA user_version = %d" % ADDRESS_FOLDING)

    def rows_folding_alike(self):
        """The accounts and domains of this database that fold alike, as
        "a / b" texts."""
        seen, alike = {}, []
        rows = [name + "@" + domain for domain, name in
                self.connection().execute("SELECT Domain, Name FROM User")]
        rows += [domain for domain, in self.connection().execute("SELECT Name FROM Domain")]
        for row in rows:
            key = fold_address(row)
            if key in seen:
                alike.append("%s / %s" % (seen[key], row))
            seen.setdefault(key, row)
        return alike

    def kept(self):
        """Whether the database holds the tables of an earlier start already."""
        return self.one("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'Info'") \
            is not None

    def rebind(self, services):
        """Points each service at its listener of this start, {name: (address,
        port)}: a new database names none, one kept from an earlier start
        names that start's."""
        conn = self.connection()
        for name, (address, port) in services.items():
            conn.execute("INSERT OR REPLACE INTO ServicePorts VALUES (?, ?, ?)",
                         (name, address, port))

    def one(self, sql, params=()):
        return self.connection().execute(sql, params).fetchone()

    # --- what the IMAP side reads ----------------------------------------------
    def user(self, address):
        """(password, full name) of an account, or None when there is none."""
        domain, name = split_address(address)
        return self.one("SELECT Password, FullName FROM User WHERE Domain = ? AND Name = ?",
                        (domain, name))

    def add_user(self, address, password=None, fullname=""):
        """Creates the account (and its domain); False when it exists."""
        domain, name = split_address(address)
        conn = self.connection()
        try:
            conn.execute("INSERT OR IGNORE INTO Domain VALUES (?)", (domain,))
            conn.execute("INSERT INTO User VALUES (?, ?, ?, ?)", (domain, name, password, fullname))
            return True
        except sqlite3.IntegrityError:
            return False

    def domain_exists(self, domain):
        return self.one("SELECT 1 FROM Domain WHERE Name = ?", (domain,)) is not None

    def master_auth_allowed(self, peer):
        """(allowed, master password): backend mode must be on, and when the
        cluster names an access list the peer must fall in one of its ranges."""
        mode, password, access_list = self.one(
            "SELECT BackendMode, MasterPassword, BackendAccessList FROM Cluster")
        if mode != 1 or password is None:
            return False, None
        if access_list:
            ranges = self.connection().execute(
                "SELECT FirstAddress, LastAddress FROM IpAccessList WHERE Name = ?",
                (access_list,)).fetchall()
            if not any(in_range(peer, first, last) for first, last in ranges):
                return False, None
        return True, password

    def version(self):
        return self.one("SELECT Version FROM Info")[0]

    def service_binding(self, service):
        return self.one("SELECT Address, Port FROM ServicePorts WHERE Service = ?", (service,))


def in_range(peer, first, last):
    try:
        return (ipaddress.IPv4Address(first) <= ipaddress.IPv4Address(peer)
                <= ipaddress.IPv4Address(last))
    except ValueError:
        return False


def print_rows(rows):
    """Prints rows for a reader in another language: a line per row, values
    separated by tabs (None as \\N; backslash, tab and line end escaped;
    text as the bytes it came from)."""
    out = sys.stdout.buffer
    for row in rows:
        cells = ["\\N" if value is None else str(value).replace("\\", "\\\\")
                 .replace("\t", "\\t").replace("\n", "\\n") for value in row]
        out.write(("\t".join(cells) + "\n").encode("utf-8", "surrogateescape"))


def read_db(path, sql):
    """Prints the rows of one statement on the database."""
    print_rows(open_db(path, read_only=True).execute(sql))


def change_db(path, sql):
    """Runs one changing statement on the database, as an administrator
    changes a setting by hand behind the administration service."""
    open_db(path).execute(sql)


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "--change":
        change_db(sys.argv[2], sys.argv[3])
    elif len(sys.argv) == 3:
        read_db(sys.argv[1], sys.argv[2])
    else:
        sys.exit("usage: config_db.py [--change] <database> <statement>")
