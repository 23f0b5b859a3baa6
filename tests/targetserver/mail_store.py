"""The stand-in target's mail on disk: the stores (an account's mailbox, a
domain's public folders), their folders and messages. The state folder is
the truth and every process serving a connection works on it directly:
whatever changes a store or a folder happens under a file lock (flock on a
file opened for the occasion, so threads exclude one another as processes
do), and a folder appears and disappears whole (made, and removed, in the
spool folder and renamed into or out of place), so that sessions in different processes see one
another's folders and messages and never hand out a UID twice.

Layout under <state>/accounts/<store>/, <store> being the account's address
or "#public@<domain>" folded as the configuration database compares them
(config_db.fold_address: Unicode's simple case folding, as the engine folds):
    store.lock        held while the store is made and while folders are
                      created or deleted
    store.json        written once the store has its first folders: a
                      store without it was left half-made by a process
                      that died, and is completed by the next that opens it
    guids/            the folder identifiers in use: a file per identifier,
                      named by the SHA-1 of the identifier in upper case,
                      holding its folder's directory name, so that a new
                      folder's identifier is checked without reading every
                      folder.json (X-CREATE into 2,000 folders took 32 s);
                      written before its folder is put in place, so that
                      no folder is ever in place without its entry
    <sha1 of name>/   a folder:
        folder.json   name (as on the wire), type, guid, acl
        uids          "<uidvalidity> <next UID>"; the folder's lock, held to
                      append or change
        <uid>.eml     a message's exact bytes
        <uid>.json    its uid, flags, date, guid and annotations
Messages are never removed, so a folder holds UIDs 1 to its next UID - 1.
Files are written with os-level calls: an APPEND writes three, and Python's
buffered files would cost more than the rest of the command.

A process may be killed at any point (tests kill the stand-in's at the
steps that MailRoot's crash_point names); it leaves at most files in
spool/ and unused entries in guids/, never a folder that is not whole, and
a store it left half-made is completed by the next process that opens it.

Run as a program, it prints what one store holds (print_store):
    mail_store.py <state> <address or #public@domain>
"""

import contextlib
import fcntl
import hashlib
import itertools
import json
import os
import random
import shutil
import uuid

from config_db import Refolded, fold_address, lowered_address, print_rows
from folder_names import (ACCOUNT_FOLDERS, SEPARATOR, NameRefused, canonical, check_new_name,
                          is_account_folder)


class Refused(Exception):
    """A change the store refuses: an IMAP response code and a sentence."""

    def __init__(self, code, sentence):
        super().__init__(sentence)
        self.code = code


class FolderGone(Exception):
    """The folder was deleted (or never was)."""


def new_guid():
    return str(uuid.uuid4()).upper()


@contextlib.contextmanager
def locked(path, create=True):
    """An exclusive flock on `path` for the length of the block; yields the
    descriptor. FileNotFoundError when the file is missing and not to be
    created."""
    fd = os.open(path, os.O_RDWR | (os.O_CREAT if create else 0), 0o600)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        yield fd
    finally:
        os.close(fd)


_unique = itertools.count()


def unique_name(prefix):
    """A file name no other process or call uses."""
    return "%s.%d.%d" % (prefix, os.getpid(), next(_unique))


def write_file(path, data):
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    try:
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view):]
    finally:
        os.close(fd)


def write_atomic(path, data):
    tmp = unique_name(path)
    write_file(tmp, data)
    os.replace(tmp, path)


def read_json(path):
    with open(path, "rb") as f:
        return json.loads(f.read())


class SpooledBody:
    """A message body received into a file of its own (large bodies are
    never held whole in memory); saving it moves the file into place."""

    def __init__(self, path, size):
        self.path = path
        self.size = size

    def discard(self):
        with contextlib.suppress(OSError):
            os.unlink(self.path)


class DiscardedBody:
    """A body that was read but not kept: only its size is known."""

    def __init__(self, size):
        self.size = size

    def discard(self):
        pass


def save_body(body, path, keep):
    """Puts a body (bytes, SpooledBody or DiscardedBody) at `path`; an empty
    file when bodies are not kept."""
    if isinstance(body, SpooledBody) and keep:
        os.rename(body.path, path)
        return
    if isinstance(body, SpooledBody):
        body.discard()
    write_file(path, bytes(body) if keep and isinstance(body, (bytes, bytearray)) else b"")


# The steps of making a store and its folders after which a test may have
# the process killed (crash_point): the store's folder and lock made,
# before its first folder; a new folder's identifier indexed, before the
# folder is put in place; the folder in place.
MAKE_STORE, INDEX_FOLDER, PLACE_FOLDER = "MAKE STORE", "INDEX FOLDER", "PLACE FOLDER"


class MailRoot:
    """The stores under one state folder. keep_bodies: whether message
    bytes are written (else only their metadata, with an empty body).
    crash_point(step) is called after each step of making a store or a
    folder, with the step's name."""

    def __init__(self, state_dir, keep_bodies=True, crash_point=None):
        self.state_dir = state_dir
        self.keep_bodies = keep_bodies
        self.crash_point = crash_point or (lambda step: None)
        self.spool_dir = os.path.join(state_dir, "spool")
        os.makedirs(os.path.join(state_dir, "accounts"), exist_ok=True)
        os.makedirs(self.spool_dir, exist_ok=True)

    def account(self, address):
        """The mailbox of an account (made with its first folders if new)."""
        return Store(self, fold_address(address), mail_account=True).open()

    def public(self, domain):
        """The public folder store of a domain (empty when new)."""
        return Store(self, fold_address("#public@" + domain), mail_account=False).open()

    def spool_path(self):
        return os.path.join(self.spool_dir, unique_name("spool"))

    def rename_lowered_stores(self, addresses):
        """Renames the stores that an earlier version named by
        config_db.lowered_address to their names of this version; called
        once, as the stand-in starts on a state folder of that version
        (ConfigDb.refold). Raises Refolded for a store found under both
        names: two accounts' mail can't be merged."""
        accounts = os.path.join(self.state_dir, "accounts")
        for address in addresses:
            old = os.path.join(accounts, lowered_address(address))
            new = os.path.join(accounts, fold_address(address))
            if old == new or not os.path.isdir(old):
                continue
            if os.path.exists(new):
                raise Refolded("the stores %s and %s are one account's now" % (old, new))
            os.rename(old, new)


class Store:
    def __init__(self, root, key, mail_account):
        self.root = root
        self.key = key
        self.mail_account = mail_account
        self.path = os.path.join(root.state_dir, "accounts", key)

    def open(self):
        """The store, made now when it is new. A store that a killed process
        left half-made (no store.json) is completed: the folders it has are
        whole, and only the missing ones are made."""
        marker = os.path.join(self.path, "store.json")
        if os.path.exists(marker):
            return self
        os.makedirs(os.path.join(self.path, "guids"), exist_ok=True)
        with locked(os.path.join(self.path, "store.lock")):
            if not os.path.exists(marker):
                self.root.crash_point(MAKE_STORE)
                for name, ftype in ACCOUNT_FOLDERS if self.mail_account else ():
                    if not Folder(self, name).exists():
                        self.make_folder(name, ftype, new_guid())
                write_atomic(marker, json.dumps({"kind": "mail" if self.mail_account
                                                 else "public"}).encode())
        return self

    def folder(self, wire):
        """The folder a wire name means, or None."""
        folder = Folder(self, canonical(wire, self.mail_account))
        return folder if folder.exists() else None

    def folders(self):
        """Every folder, by name, with its metadata read."""
        found = []
        for entry in os.listdir(self.path):
            try:
                meta = read_json(os.path.join(self.path, entry, "folder.json"))
            except (FileNotFoundError, NotADirectoryError):
                continue
            found.append(Folder(self, meta["name"], meta))
        return sorted(found, key=lambda f: f.name)

    def create(self, wire, ftype, guid):
        """Makes a folder; Refused (with a response code) when the rules or
        the store forbid it."""
        try:
            name = canonical(check_new_name(wire), self.mail_account)
        except NameRefused as e:
            raise Refused("CANNOT", "%s is not a folder name here: %s" % (wire, e))
        if self.mail_account and is_account_folder(name):
            raise Refused("ALREADYEXISTS", "%s is a folder every account has" % name)
        with locked(os.path.join(self.path, "store.lock")):
            if Folder(self, name).exists():
                raise Refused("ALREADYEXISTS", "the folder exists")
            parent = name.rpartition(SEPARATOR)[0]
            if parent and not Folder(self, parent).exists():
                raise Refused("NONEXISTENT", "the parent folder is missing")
            other = self.holder_of(guid) if guid else None
            if other is not None:
                raise Refused("CANNOT", "the folder identifier %s is taken by %s"
                              % (guid, other.name))
            return self.make_folder(name, ftype, guid or new_guid())

    def make_folder(self, name, ftype, guid):
        """Writes a new folder aside, indexes its identifier and renames the
        folder into place (under the store's lock). Indexed first: an entry
        whose folder is not there holds nothing, while a folder in place
        without its entry would let another folder take its identifier."""
        folder = Folder(self, name, {"name": name, "type": ftype, "guid": guid, "acl": {}})
        aside = self.root.spool_path()
        os.mkdir(aside)
        write_file(os.path.join(aside, "folder.json"), json.dumps(folder.meta).encode())
        write_file(os.path.join(aside, "uids"), b"%d 1\n" % random.randint(1, 2**31 - 1))
        write_atomic(self.guid_entry(guid), os.path.basename(folder.path).encode())
        self.root.crash_point(INDEX_FOLDER)
        os.rename(aside, folder.path)
        self.root.crash_point(PLACE_FOLDER)
        return folder

    def guid_entry(self, guid):
        """The index file of a folder identifier (identifiers compare
        without regard to case; hashed, as a client chooses them)."""
        key = guid.upper().encode("utf-8", "surrogateescape")
        return os.path.join(self.path, "guids", hashlib.sha1(key).hexdigest())

    def holder_of(self, guid):
        """The folder that has this identifier, or None. An entry whose
        folder is gone, not yet in place or has another identifier (a
        deletion or creation cut short) is no holder."""
        try:
            with open(self.guid_entry(guid), "rb") as f:
                entry = f.read().decode()
            meta = read_json(os.path.join(self.path, entry, "folder.json"))
        except (FileNotFoundError, NotADirectoryError):
            return None
        return Folder(self, meta["name"], meta) if meta["guid"].upper() == guid.upper() else None

    def delete(self, wire):
        """Removes a folder and its messages; Refused for the folders every
        account has."""
        name = canonical(wire, self.mail_account)
        if self.mail_account and is_account_folder(name):
            raise Refused("CANNOT", "%s is a folder every account has" % name)
        folder = Folder(self, name)
        with locked(os.path.join(self.path, "store.lock")):
            try:
                with folder.locked():
                    guid = folder.guid
                    aside = self.root.spool_path()
                    os.rename(folder.path, aside)
                    shutil.rmtree(aside)
            except FolderGone:
                raise Refused("NONEXISTENT", "no such folder")
            with contextlib.suppress(FileNotFoundError):
                os.unlink(self.guid_entry(guid))


class Folder:
    def __init__(self, store, name, meta=None):
        self.store = store
        self.name = name
        self.path = os.path.join(store.path,
                                 hashlib.sha1(name.encode("utf-8", "surrogateescape")).hexdigest())
        self._meta = meta

    def exists(self):
        return os.path.exists(os.path.join(self.path, "folder.json"))

    @property
    def meta(self):
        if self._meta is None:
            try:
                self._meta = read_json(os.path.join(self.path, "folder.json"))
            except FileNotFoundError:
                raise FolderGone()
        return self._meta

    @property
    def guid(self):
        return self.meta["guid"]

    @property
    def type(self):
        return self.meta["type"]

    @contextlib.contextmanager
    def locked(self):
        """The folder's lock; yields the descriptor of its UID file.
        FolderGone when the folder no longer exists."""
        try:
            with locked(os.path.join(self.path, "uids"), create=False) as fd:
                if os.fstat(fd).st_nlink == 0:
                    raise FolderGone()
                yield fd
        except (FileNotFoundError, NotADirectoryError):
            raise FolderGone()

    @staticmethod
    def _read_uids(fd):
        uidvalidity, next_uid = os.pread(fd, 64, 0).split()
        return int(uidvalidity), int(next_uid)

    def uids(self):
        """(UIDVALIDITY, the next UID); the folder holds UIDs 1 to the next
        less one."""
        with self.locked() as fd:
            return self._read_uids(fd)

    def append(self, body, flags, date, guid):
        """Stores a message; returns (UIDVALIDITY, its UID)."""
        with self.locked() as fd:
            uidvalidity, uid = self._read_uids(fd)
            eml = os.path.join(self.path, "%d.eml" % uid)
            meta = {"uid": uid, "flags": flags, "date": date, "guid": guid, "annotations": {}}
            try:
                save_body(body, eml, self.store.root.keep_bodies)
                # The message appears with its metadata, whole.
                write_atomic(os.path.join(self.path, "%d.json" % uid), json.dumps(meta).encode())
                os.pwrite(fd, b"%d %d\n" % (uidvalidity, uid + 1), 0)
            except BaseException:
                for leftover in (eml, os.path.join(self.path, "%d.json" % uid)):
                    with contextlib.suppress(OSError):
                        os.unlink(leftover)
                raise
            return uidvalidity, uid

    def message(self, uid):
        """(metadata, bytes) of the message with this UID; FolderGone when
        it is not there."""
        try:
            meta = read_json(os.path.join(self.path, "%d.json" % uid))
            with open(os.path.join(self.path, "%d.eml" % uid), "rb") as f:
                return meta, f.read()
        except (FileNotFoundError, NotADirectoryError):
            raise FolderGone()

    def add_flag(self, uid, flag):
        """Adds a flag to a message (as reading its body without PEEK sets
        \\Seen); returns the flags it has then."""
        with self.locked():
            path = os.path.join(self.path, "%d.json" % uid)
            meta = read_json(path)
            if flag.lower() not in (f.lower() for f in meta["flags"]):
                meta["flags"].append(flag)
                write_atomic(path, json.dumps(meta).encode())
            return meta["flags"]

    def annotate(self, low, high, entries):
        """Sets annotation entries ({entry: {attribute: value}}) on the
        messages with UIDs low..high."""
        with self.locked() as fd:
            for uid in range(low, min(high, self._read_uids(fd)[1] - 1) + 1):
                path = os.path.join(self.path, "%d.json" % uid)
                try:
                    meta = read_json(path)
                except FileNotFoundError:
                    continue
                meta["annotations"].update(entries)
                write_atomic(path, json.dumps(meta).encode())

    def acl(self):
        """The access list as stored now (written whole, so read without
        the lock)."""
        try:
            return read_json(os.path.join(self.path, "folder.json"))["acl"]
        except FileNotFoundError:
            raise FolderGone()

    def change_acl(self, change):
        """Applies change(acl dict) and stores the result."""
        with self.locked():
            self._meta = None
            meta = self.meta
            change(meta["acl"])
            write_atomic(os.path.join(self.path, "folder.json"), json.dumps(meta).encode())



def print_store(state_dir, address):
    """Prints the store of an address (or "#public@<domain>"), as the
    server finds it, as config_db.print_rows does: for each folder in name
    order "folder", its name, type, identifier, access list (JSON) and
    directory, then for each of its messages in UID order "message", its
    UID, date, identifier, flags (separated by spaces) and annotations
    (JSON). The bytes of a message are in <directory>/<UID>.eml."""
    store = Store(MailRoot(state_dir), fold_address(address), mail_account=False)
    rows = []
    for folder in store.folders() if os.path.isdir(store.path) else []:
        rows.append(["folder", folder.name, folder.type, folder.guid,
                     json.dumps(folder.meta["acl"]), folder.path])
        for uid in range(1, folder.uids()[1]):
            meta = read_json(os.path.join(folder.path, "%d.json" % uid))
            rows.append(["message", uid, meta["date"], meta["guid"] or "", " ".join(meta["flags"]),
                         json.dumps(meta["annotations"])])
    print_rows(rows)


if __name__ == "__main__":
    import sys
    if len(sys.argv) != 3:
        sys.exit("usage: mail_store.py <state folder> <address or #public@domain>")
    print_store(sys.argv[1], sys.argv[2])
