"""The stand-in target's folder-name rules (docs/folder-names.md): which names
CREATE refuses, and how a name is matched against the folders of a store.
Names arrive as the client sends them, in IMAP modified UTF-7 (RFC 3501,
5.1.3); these functions decode them on their own, sharing nothing with the
client.
"""

import base64

SEPARATOR = "/"
MAX_COMPONENT_BYTES = 255

# The folders every mail account starts with, and their folder type bits
# (the X-CREATE type keywords: X-MAIL 0x10, X-CONTACT 0x1, X-CALENDAR 0x2,
# X-TODO 0x4, X-NOTE 0x40, X-JOURNAL 0x8).
ACCOUNT_FOLDERS = [("INBOX", 0x10), ("Sent", 0x10), ("Drafts", 0x10), ("Trash", 0x10),
                   ("Junk", 0x10), ("Contacts", 0x1), ("Calendar", 0x2), ("Tasks", 0x4),
                   ("Notes", 0x40), ("Journal", 0x8)]
# A top-level name matching one of these without regard to ASCII case is
# that folder.
_CANONICAL = {name.upper(): name for name, _ in ACCOUNT_FOLDERS}
# Views of other stores, shown in every account: never folders of a store.
SHARED_VIEWS = {"PUBLIC FOLDERS", "ARCHIVE FOLDERS"}


class NameRefused(Exception):
    """A name the target refuses; the message is one sentence."""


def encode(text):
    """Modified UTF-7 of a str (lone surrogates travel as they are)."""
    out = []
    run = []

    def flush():
        if run:
            raw = "".join(run).encode("utf-16-be", "surrogatepass")
            out.append("&" + base64.b64encode(raw).decode().rstrip("=").replace("/", ",") + "-")
            run.clear()

    for ch in text:
        if 0x20 <= ord(ch) <= 0x7E:
            flush()
            out.append("&-" if ch == "&" else ch)
        else:
            run.append(ch)
    flush()
    return "".join(out)


def _decode_run(run):
    """The characters of one base64 run (between "&" and "-")."""
    if not run or any(not (c.isascii() and (c.isalnum() or c in "+,")) for c in run):
        raise NameRefused("a malformed \"&\" run in modified UTF-7")
    bits = len(run) * 6
    if bits % 16 >= 6:
        raise NameRefused("a malformed \"&\" run in modified UTF-7")
    padded = run.replace(",", "/") + "=" * (-len(run) % 4)
    return base64.b64decode(padded).decode("utf-16-be", "surrogatepass")


def decode(wire):
    """The name a modified UTF-7 wire name stands for; NameRefused when it is
    not valid (an 8-bit byte or a control character outside base64, a
    malformed run) or not in its one canonical form (printable ASCII or "&"
    in base64, two runs where one would do, stray bits)."""
    out = []
    i = 0
    while i < len(wire):
        ch = wire[i]
        if not 0x20 <= ord(ch) <= 0x7E:
            raise NameRefused("a byte outside printable ASCII; names travel in modified UTF-7")
        if ch != "&":
            out.append(ch)
            i += 1
            continue
        end = wire.find("-", i + 1)
        if end < 0:
            raise NameRefused("an \"&\" run in modified UTF-7 without its closing \"-\"")
        out.append("&" if end == i + 1 else _decode_run(wire[i + 1:end]))
        i = end + 1
    text = "".join(out)
    if encode(text) != wire:
        raise NameRefused("a name that is not in canonical modified UTF-7")
    return text


def _check_component(component):
    if component == "":
        raise NameRefused("an empty name component")
    if component in (".", ".."):
        raise NameRefused("a name component \"%s\"" % component)
    for ch in component:
        code = ord(ch)
        if code < 0x20 or 0x7F <= code <= 0x9F:
            raise NameRefused("a control character in a name")
        if ch in "*%":
            raise NameRefused("a \"%s\" in a name (a LIST wildcard)" % ch)
        if 0xD800 <= code <= 0xDFFF:
            raise NameRefused("an unpaired UTF-16 surrogate in a name")
    if len(component.encode("utf-8")) > MAX_COMPONENT_BYTES:
        raise NameRefused("a name component longer than %d bytes" % MAX_COMPONENT_BYTES)


def check_new_name(wire):
    """The decoded components of a name CREATE may make (before the store's
    own rules); NameRefused otherwise. One trailing separator (RFC 3501:
    the folder is meant to have children) is dropped first."""
    if wire.endswith(SEPARATOR):
        wire = wire[:-1]
    components = decode(wire).split(SEPARATOR)
    for component in components:
        _check_component(component)
    first = components[0]
    if first.startswith("#"):
        raise NameRefused("a name that begins with \"#\" (a namespace)")
    if first.upper() in SHARED_VIEWS:
        raise NameRefused("\"%s\" is a view of another store, not a folder" % first)
    return wire


def canonical(wire, mail_account):
    """The name a wire name means in a store: in a mail account a first
    component naming INBOX or one of the account's special folders in any
    ASCII case is that folder's own spelling; everything else is exact."""
    if not mail_account:
        return wire
    first, sep, rest = wire.partition(SEPARATOR)
    return _CANONICAL.get(first.upper(), first) + sep + rest


def is_account_folder(name):
    """True for INBOX and the special folders of a mail account (canonical
    names), which always exist there."""
    return name in _CANONICAL.values()
