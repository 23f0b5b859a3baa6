#pragma once
// Start-up and shut-down of the socket layer, socket options and closing.

namespace tavir::tiny {

// Prepares the process for sockets: a peer that drops a connection must never
// end the program, so SIGPIPE is ignored process-wide from here on (writes to
// a closed connection then fail with EPIPE instead). Returns 0.
int initSockets();
// Nothing to undo on this platform (SIGPIPE stays ignored). Returns 0.
int closeSockets();

// Sets the receive or send time-out option (SO_RCVTIMEO / SO_SNDTIMEO) to
// `seconds`, cut to 300. -1 for the socket -1.
int setSockTimeout(int sock, int optname, int seconds);
// Clears O_NONBLOCK when `block` is non-zero, sets it otherwise.
int sockBlockMode(int sock, int block);
// Abortive close: SO_LINGER on with time 0, then close. -1 without closing
// when the option can't be set.
int resetsocket(int sock);

using CloseSocketTester = void (*)(int, int);
void installCloseSocketTester(CloseSocketTester tester);
CloseSocketTester getCloseSocketTester();

} // namespace tavir::tiny

// close(sock).
int closesocket(int sock);
