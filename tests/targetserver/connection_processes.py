"""How the stand-in target serves IMAP connections: each in a process of its
own, so that sessions run on every core at once instead of taking turns
on one interpreter.

The main process owns the listeners (the administration service moves
them) and accepts. It hands each accepted socket, over a Unix socket pair,
to a forking helper that it started before it started any thread; the
helper forks one process per connection. Forking only from that
single-threaded helper means no child inherits a lock that another thread
held at the time (OpenSSL's, SQLite's, the interpreter's own). The helper
dies with the main process and each connection's process with the helper
(PR_SET_PDEATHSIG), so nothing outlives a stand-in that is killed, or a test
process that dies.
"""

import ctypes
import itertools
import os
import signal
import socket
import traceback

PR_SET_PDEATHSIG = 1
_libc = ctypes.CDLL(None, use_errno=True)


def die_with(parent):
    """Has the kernel kill this process when `parent` (its parent) ends, and
    ends it now when the parent is already gone."""
    _libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
    if os.getppid() != parent:
        os._exit(0)


class ConnectionForker:
    """serve(sock, number, tls) runs one connection in a process of its own;
    `number` counts the connections of the whole stand-in from 1."""

    def __init__(self, serve):
        main_end, helper_end = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        parent = os.getpid()
        if os.fork() == 0:
            main_end.close()
            die_with(parent)
            _run_helper(helper_end, serve)
        helper_end.close()
        self.channel = main_end
        self.numbers = itertools.count(1)

    def hand_over(self, sock, tls):
        """Passes an accepted connection on (and closes it here)."""
        try:
            socket.send_fds(self.channel, [b"%d %d" % (next(self.numbers), tls)],
                            [sock.fileno()])
        except OSError:
            pass  # the helper is gone: the stand-in is going down
        finally:
            sock.close()


def _run_helper(channel, serve):
    signal.signal(signal.SIGCHLD, signal.SIG_IGN)  # the kernel reaps the children
    helper = os.getpid()
    while True:
        try:
            message, fds, _, _ = socket.recv_fds(channel, 64, 1)
        except OSError:
            os._exit(0)
        if not message or not fds:
            os._exit(0)  # the main process has gone
        number, tls = (int(x) for x in message.split())
        if os.fork() == 0:
            channel.close()
            signal.signal(signal.SIGCHLD, signal.SIG_DFL)
            die_with(helper)
            code = 0
            try:
                serve(socket.socket(fileno=fds[0]), number, bool(tls))
            except BaseException:
                traceback.print_exc()
                code = 1
            finally:
                os._exit(code)
        for fd in fds:
            os.close(fd)
