#!/usr/bin/env python3
"""Starts the peers of the wizard's demo on loopback, without root.

    python3 scripts/demo.py [--target-only] [--fresh] KEEP_FOLDER READY_FILE

A throw-away Dovecot with a few sample accounts, folders and messages is the
source server; the stand-in target (tests/targetserver/stand_in_target.py)
with its administration service is the target. The script writes a sample
accounts file, prints what to type on each page of the wizard, touches
READY_FILE, and runs until it gets SIGTERM or SIGINT; then it prints what
the target holds, stops both servers and removes the source's files.

With --target-only it starts the stand-in target alone, for a migration from
a real source server with the user's own accounts file.

The stand-in keeps its accounts, mail and settings from one run to the next,
as a real target does, so that a second run can be tried against what the
first one left: in KEEP_FOLDER/demo-target for the demo, in
KEEP_FOLDER/target-mail with --target-only. --fresh empties it first. The
demo's source is seeded anew on every run with the same messages, so a
second demo run finds them on the target already.

KEEP_FOLDER also keeps the servers' certificate from one demo to the next:
the wizard pins the target's certificate on first use, in the user's own
known-hosts file. The stand-in takes the same 127.0.0.N on every run (one
per user, another one only when that is taken), so that the file keeps one
line for it, and a new certificate there would be refused as a changed
server.
"""
import base64
import concurrent.futures
import ctypes
import grp
import imaplib
import json
import os
import pwd
import random
import secrets
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import textwrap
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "targetserver"))
import folder_names  # noqa: E402  (the stand-in's own reading of folder names)
DOMAIN = "demo.example"
ADMIN = ("admin", "demo-admin")
# name, password on the source, password in the accounts file, full name
ACCOUNTS = [
    ("anna", "anna-pw", "anna-pw", "Anna Lindqvist"),
    ("ben", "ben-pw", "ben-pw", "Ben Okafor"),
    ("carla", "carla-pw", "carla-pw", "Carla Mendes"),
    # A password that has changed since the list was made: the credential
    # test shows the account refused.
    ("dave", "dave-new-pw", "dave-old-pw", "Dave Kowalski"),
]
REFUSED = "dave"
ADMIN_PORT = 44337
# Enough mail that the progress page shows it arriving for a few seconds.
FOLDERS = {"INBOX": 2000, "Projects": 500, "Projects.Apollo": 300, "Receipts": 200}
SUBJECTS = ["Quarterly figures", "Lunch on Friday?", "Re: the Apollo plan", "Your receipt",
            "Minutes of the meeting", "Photos from the trip", "Invoice", "Re: Re: holidays"]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, process, what, host="127.0.0.1"):
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise SystemExit("%s exited at start-up" % what)
        try:
            socket.create_connection((host, port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.05)
    raise SystemExit("%s did not start listening" % what)


def die_with_us():
    """Run in each server's child process: the kernel stops the server when
    this script ends, even by SIGKILL."""
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


def kept_certificate(folder):
    """The certificate of both servers, made once and kept in `folder`; made
    again only when it is about to expire."""
    os.makedirs(folder, exist_ok=True)
    cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
    if os.path.exists(key) and subprocess.run(
            ["openssl", "x509", "-checkend", "86400", "-noout", "-in", cert],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0:
        return cert, key
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "825",
                    "-subj", "/CN=localhost", "-keyout", key, "-out", cert],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return cert, key


def start_dovecot(folder, cert, key):
    """Dovecot as whoever runs the script: as root its own unprivileged
    users serve the mail, as anyone else that user serves everything.
    Returns the process and the plain and TLS ports."""
    port, tls_port = free_port(), free_port()
    mail = os.path.join(folder, "mail")
    run = os.path.join(folder, "run")
    os.makedirs(mail)
    os.makedirs(run)
    if os.geteuid() == 0:
        login_user, internal_user, mail_user, mail_group = "dovenull", "dovecot", "dovecot", "dovecot"
        shutil.chown(mail, "dovecot", "dovecot")
    else:
        me = pwd.getpwuid(os.geteuid()).pw_name
        group = grp.getgrgid(os.getegid()).gr_name
        login_user = internal_user = mail_user = me
        mail_group = group
    users = os.path.join(folder, "users")
    with open(users, "w") as f:
        for name, password, _, _ in ACCOUNTS:
            f.write("%s@%s:{PLAIN}%s::::::\n" % (name, DOMAIN, password))
    config = os.path.join(folder, "dovecot.conf")
    lines = [
        "base_dir = %s" % run, "state_dir = %s" % run, "instance_name = zorp-demo-%d" % port,
        "log_path = %s" % os.path.join(folder, "dovecot.log"), "protocols = imap", "listen = 127.0.0.1",
        "ssl = yes", "ssl_cert = <%s" % cert, "ssl_key = <%s" % key, "disable_plaintext_auth = no",
        "auth_mechanisms = plain login", "auth_failure_delay = 0",
        "mail_fsync = never",  # throw-away mail: seeded in a few seconds
        "default_login_user = %s" % login_user,
        "default_internal_user = %s" % internal_user, "default_internal_group = %s" % mail_group,
        "first_valid_uid = 0", "first_valid_gid = 0",
        "mail_location = maildir:%s/%%u" % mail,
        "namespace inbox {\n  inbox = yes\n  separator = .\n}",
        "passdb {\n  driver = passwd-file\n  args = %s\n}" % users,
        "userdb {\n  driver = static\n  args = uid=%s gid=%s home=%s/%%u\n}" % (mail_user, mail_group, mail),
        "service imap-login {\n  chroot =\n  inet_listener imap {\n    address = 127.0.0.1\n"
        "    port = %d\n  }\n  inet_listener imaps {\n    address = 127.0.0.1\n    port = %d\n  }\n}"
        % (port, tls_port),
        # Without the penalty socket Dovecot does not slow down refused
        # logins from one address (4, 8, then 15 s each, trusted networks or
        # not): the refused account of the sample answers at once, also when
        # the accounts file is loaded again. Dovecot waits once for the
        # missing socket, at the first login, while the mail is seeded.
        "service anvil {\n  chroot =\n  unix_listener anvil-auth-penalty {\n    mode = 0\n  }\n}",
        "service pop3-login {\n  chroot =\n}",
        "service submission-login {\n  chroot =\n}", "service imap-urlauth-login {\n  chroot =\n}",
        "service stats {\n  unix_listener stats-writer {\n    mode = 0666\n  }\n}",
    ]
    if os.path.exists("/usr/share/dovecot/dh.pem"):
        lines.append("ssl_dh = </usr/share/dovecot/dh.pem")
    with open(config, "w") as f:
        f.write("\n".join(lines) + "\n")
    process = subprocess.Popen(["/usr/sbin/dovecot", "-F", "-c", config], preexec_fn=die_with_us)
    wait_for_port(port, process, "dovecot")
    wait_for_port(tls_port, process, "dovecot")
    return process, port, tls_port


def message(address, full_name, unique, subject, minute, text, attachment_kib):
    """One message; with attachment_kib, a multipart one with a picture of
    that many KiB of base64, as mailboxes really hold them."""
    head = ("From: Demo Sender <sender@%s>\r\nTo: %s <%s>\r\nSubject: %s\r\n"
            "Date: Tue, 3 Mar 2026 09:%02d:00 +0100\r\nMessage-ID: <%s@%s>\r\nMIME-Version: 1.0\r\n"
            % (DOMAIN, full_name, address, subject, minute % 60, unique, DOMAIN))
    if not attachment_kib:
        return (head + "Content-Type: text/plain; charset=us-ascii\r\n\r\n" + text).encode()
    picture = base64.encodebytes(random.Random(unique).randbytes(attachment_kib * 768)).decode()
    return (head + 'Content-Type: multipart/mixed; boundary="part"\r\n\r\n'
            "--part\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n" + text
            + "--part\r\nContent-Type: image/jpeg; name=\"photo.jpg\"\r\nContent-Transfer-Encoding: base64\r\n\r\n"
            + picture.replace("\n", "\r\n") + "--part--\r\n").encode()


def seed_account(port, name, password, full_name):
    """Fills one mailbox over IMAP: the appends are sent in one go with
    non-synchronising literals (Dovecot offers LITERAL+), then their answers
    are read, which is many times faster than one by one."""
    address = "%s@%s" % (name, DOMAIN)
    commands = [b'LOGIN "%s" "%s"' % (address.encode(), password.encode())]
    for folder, count in FOLDERS.items():
        if folder != "INBOX":
            commands.append(b"CREATE %s" % folder.encode())
        for i in range(1, count + 1):
            text = ("Hello %s,\r\n\r\nthis is message %d of %s.\r\n" % (full_name, i, folder)
                    + "Lorem ipsum dolor sit amet, consectetur adipiscing elit.\r\n" * (i % 40))
            body = message(address, full_name, "%s.%s.%d" % (name, folder, i), SUBJECTS[i % len(SUBJECTS)],
                           i, text, attachment_kib=8 + i % 41 if i % 4 == 0 else 0)
            flags = b"(\\Seen)" if i % 3 else b"(\\Flagged)"
            date = imaplib.Time2Internaldate(1772525000 + i * 60).encode()
            commands.append(b"APPEND %s %s %s {%d+}\r\n%s" % (folder.encode(), flags, date, len(body), body))
    commands.append(b"LOGOUT")
    with socket.create_connection(("127.0.0.1", port), timeout=60) as sock:
        replies = sock.makefile("rb")
        replies.readline()
        sock.sendall(b"".join(b"s%d %s\r\n" % (n, c) for n, c in enumerate(commands)))
        answered = 0
        while answered < len(commands):
            line = replies.readline()
            if not line:
                return "dovecot closed the connection while %s's mail was seeded" % name
            if line.startswith(b"s"):
                answered += 1
                if line.split()[1] != b"OK":
                    return "dovecot refused a seeding command: %s" % line.decode().strip()
    return None


def seed(port):
    """All mailboxes at once, one connection each."""
    with concurrent.futures.ThreadPoolExecutor(len(ACCOUNTS)) as pool:
        failures = pool.map(lambda a: seed_account(port, a[0], a[1], a[3]), ACCOUNTS)
        for failure in failures:
            if failure:
                raise SystemExit(failure)


def demo_address():
    """The stand-in's address on every run of this user: 127.0.0.N with N
    from 2 to 250 taken from the user id, so that users of one machine do not
    share it."""
    return "127.0.0.%d" % (2 + os.getuid() % 249)


def start_target(folder, state, cert, key):
    """The stand-in on its own 127.0.0.N, keeping its mail in `state`;
    returns the process, the address and the plain and TLS IMAP ports."""
    ports_file = os.path.join(folder, "target.ports")
    process = subprocess.Popen([
        sys.executable, os.path.join(ROOT, "tests", "targetserver", "stand_in_target.py"),
        "--master-password", secrets.token_hex(8), "--admin", "%s:%s" % ADMIN,
        "--cert", cert, "--key", key, "--state-dir", state, "--address", demo_address(),
        "--ports-file", ports_file], preexec_fn=die_with_us)
    deadline = time.monotonic() + 30
    while not os.path.exists(ports_file):
        if process.poll() is not None or time.monotonic() > deadline:
            raise SystemExit("the stand-in target did not start")
        time.sleep(0.05)
    with open(ports_file) as f:
        plain, tls, host = f.read().split()
    wait_for_port(int(plain), process, "the stand-in target", host)
    wait_for_port(ADMIN_PORT, process, "the stand-in's administration service", host)
    return process, host, int(plain), int(tls)


TARGET_GUIDE = """\
  3. Corvane             Hostname  {target}:{target_port}  ("Use SSL connection" off)
                              or {target}:{target_tls}  (with it on)
                         (the port after the host is where the target's IMAP
                         service is bound for the run; its administration
                         service is always on port {admin_port})
                         Username  {admin}
                         Password  {password}
"""

GUIDE = """
Demo servers are running. Type this on the wizard's pages:
  1. Welcome             Next
  2. Source IMAP server  Hostname  127.0.0.1:{source_port}  ("Use SSL connection" off)
                              or 127.0.0.1:{source_tls}  (with it on)
{target_guide}\
  4. Accounts            Load... {accounts}
                         ({refused}'s password has changed: his login is refused)
                         then Migrate
  5. Progress            the accounts, folders and messages as they arrive
  6. Result              the counts; Report and Debug log open the files
The wizard pins the target's certificate on its first use, in
{pins} (one line per server).
{kept}\
Closing the wizard stops the demo servers and lists what the target holds.
"""

TARGET_ONLY_GUIDE = """
The stand-in target is running. Type this on the wizard's pages:
  1. Welcome             Next
  2. Source IMAP server  your source server's host name, with ":port" when it
                         is not 143 (993 with "Use SSL connection" on)
{target_guide}\
  4. Accounts            Load... your accounts file, then Migrate
  5. Progress            the accounts, folders and messages as they arrive
  6. Result              the counts; Report and Debug log open the files
{kept}\
Closing the wizard stops the stand-in and lists what it holds.
"""

KEPT = """\
The stand-in keeps its accounts, mail and settings in
  {state}
{since}. Start it again for a second run, which copies only what the
target lacks; --fresh empties it first.
"""


# The guide's width: a terminal's narrowest usual one.
GUIDE_COLUMNS = 80
# Where the numbered rows' values begin ("  4. Accounts            ").
ROW_INDENT = 25


def fitted(text):
    """The text with every line wider than GUIDE_COLUMNS wrapped at blanks,
    its continuation indented as a numbered row's value or as the line
    itself; a path wider than the whole line stays whole on a line of its
    own."""
    lines = []
    for line in text.split("\n"):
        if len(line) <= GUIDE_COLUMNS:
            lines.append(line)
            continue
        words = line.lstrip(" ")
        own = " " * (len(line) - len(words))
        numbered = words.split(" ", 1)[0].rstrip(".").isdigit()
        lines.extend(textwrap.wrap(
            words, GUIDE_COLUMNS, initial_indent=own,
            subsequent_indent=" " * ROW_INDENT if numbered else own,
            break_long_words=False, break_on_hyphens=False))
    return "\n".join(lines)


def shown_name(wire):
    """A folder name as the wizard's report shows it: in UTF-8, decoded from
    the modified UTF-7 it travels in; as it travelled when it can't be."""
    try:
        name = folder_names.decode(wire)
        name.encode("utf-8")
        return name
    except (folder_names.NameRefused, UnicodeEncodeError):
        return wire


def arrived(state):
    """What the stand-in holds: one line per account and folder, with its
    message count, in name order."""
    lines = []
    stores = os.path.join(state, "accounts")
    for store in sorted(os.listdir(stores)) if os.path.isdir(stores) else []:
        folders = []
        for entry in os.scandir(os.path.join(stores, store)):
            try:
                with open(os.path.join(entry.path, "folder.json")) as f:
                    name = json.load(f)["name"]
            except (OSError, ValueError, KeyError):
                continue
            count = sum(1 for file in os.listdir(entry.path) if file.endswith(".eml"))
            folders.append((shown_name(name), count))
        for name, count in sorted(folders):
            lines.append("  %s  %s: %s" % (store, name, counted(count, "message")))
    return "\n".join(lines) if lines else "  nothing"


def counted(count, noun, nouns=None):
    return "%d %s" % (count, noun if count == 1 else nouns or noun + "s")


def kept_state(state, fresh):
    """The stand-in's folder as the last run left it, or emptied first when
    asked; the guide's lines on it."""
    if fresh:
        shutil.rmtree(state, ignore_errors=True)
    stores = os.path.join(state, "accounts")
    if not os.path.isdir(stores):
        return KEPT.format(state=state, since="from this run on")
    messages = sum(1 for _, _, files in os.walk(stores) for file in files if file.endswith(".eml"))
    return KEPT.format(state=state, since="as the last run left them: %s, %s" % (
        counted(len(os.listdir(stores)), "mailbox", "mailboxes"), counted(messages, "message")))


def main():
    arguments = sys.argv[1:]
    options = {"--target-only", "--fresh"}
    chosen = {a for a in arguments if a in options}
    arguments = [a for a in arguments if a not in options]
    target_only = "--target-only" in chosen
    if len(arguments) != 2:
        raise SystemExit(__doc__)
    keep, ready = arguments
    folder = tempfile.mkdtemp(prefix="zorp-demo-")
    os.chmod(folder, 0o755)
    processes = []
    state = None

    def stop(*_):
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, stop)
    try:
        cert, key = kept_certificate(keep)
        state = os.path.join(keep, "target-mail" if target_only else "demo-target")
        kept = kept_state(state, "--fresh" in chosen)
        if not target_only:
            dovecot, source_port, source_tls = start_dovecot(folder, cert, key)
            processes.append(dovecot)
            seed(source_port)
        target, target_host, target_port, target_tls = start_target(folder, state, cert, key)
        processes.append(target)
        target_guide = TARGET_GUIDE.format(
            target=target_host, target_port=target_port, target_tls=target_tls, admin_port=ADMIN_PORT,
            admin=ADMIN[0], password=ADMIN[1])
        if target_only:
            accounts = ""
            print(fitted(TARGET_ONLY_GUIDE.format(target_guide=target_guide, kept=kept)),
                  flush=True)
        else:
            accounts = os.path.join(folder, "accounts.csv")
            with open(accounts, "w") as f:
                for name, _, listed_password, full_name in ACCOUNTS:
                    f.write("%s@%s;%s;%s\n" % (name, DOMAIN, listed_password, full_name))
            print(fitted(GUIDE.format(
                source_port=source_port, source_tls=source_tls, target_guide=target_guide,
                accounts=accounts, refused=REFUSED,
                pins=os.path.join(os.path.expanduser("~"), ".tavir", "admin", "known_hosts.cfg"),
                kept=kept)), flush=True)
        with open(ready, "w") as f:
            f.write(accounts + "\n")
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        pass
    finally:
        if state and any(process.poll() is None for process in processes):
            print(fitted("What the stand-in target holds (kept in %s):\n%s"
                         % (state, arrived(state))), flush=True)
        for process in processes:
            process.terminate()
        for process in processes:
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
