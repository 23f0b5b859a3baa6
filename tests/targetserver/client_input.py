"""What the stand-in's services share about what a client sends: one
buffered Reader per connection, and Closed when the client went away.

Written from the protocols alone; it shares no code with the clients.
"""


class Closed(Exception):
    """The client went away."""


class Reader:
    """The bytes one client sends, read as lines, as a number of bytes, or
    passed through to a file in pieces."""

    def __init__(self, sock):
        self.sock = sock
        self.buffer = bytearray()
        self.scratch = None

    def fill(self):
        chunk = self.sock.recv(1 << 16)
        if not chunk:
            raise Closed()
        self.buffer += chunk

    def line(self, limit):
        """The next line without its CR LF; None when `limit` bytes came
        without a line end."""
        while True:
            end = self.buffer.find(b"\r\n")
            if end >= 0:
                line = bytes(self.buffer[:end])
                del self.buffer[:end + 2]
                return line
            if len(self.buffer) > limit:
                return None
            self.fill()

    def exact(self, size):
        """The next `size` bytes."""
        while len(self.buffer) < size:
            self.fill()
        data = bytes(self.buffer[:size])
        del self.buffer[:size]
        return data

    def receive(self, size, sink, piece):
        """Reads `size` bytes in pieces of at most `piece`, writing them to
        `sink` (a file) or dropping them when it is None."""
        have = min(len(self.buffer), size)
        if sink:
            sink.write(self.buffer[:have])
        del self.buffer[:have]
        if self.scratch is None:
            self.scratch = memoryview(bytearray(piece))
        while have < size:
            n = self.sock.recv_into(self.scratch, min(len(self.scratch), size - have))
            if n == 0:
                raise Closed()
            if sink:
                sink.write(self.scratch[:n])
            have += n
