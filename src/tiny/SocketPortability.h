#pragma once
// System-call wrappers for sockets that ride out interrupted calls, and a
// probe that tells whether a connection starts with TLS.
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>

namespace tavir::tiny {

// connect(); EINTR never turns a connection that goes on in the kernel into
// a failure: the call waits for it to complete and reports its outcome, or,
// on a non-blocking socket, fails with EINPROGRESS as connect() itself does,
// for its caller to wait within its own deadline. EAGAIN is tried up to 3
// times in all.
int k_connect(int fd, const sockaddr* addr, socklen_t len);
// select(), repeated with the caller's sets after EINTR. An nfds above
// FD_SETSIZE fails with EINVAL: no fd_set holds such descriptors (wait for
// them with poll, as SelectSocks does).
int k_select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, timeval* timeout);
// Lengths are capped at 0x7fffffff; EINTR sleeps 1 ms and repeats.
ssize_t k_recv(int fd, void* buf, size_t len, int flags);
ssize_t k_recvfrom(int fd, void* buf, size_t len, int flags, sockaddr* from, socklen_t* fromlen);
ssize_t k_send(int fd, const void* buf, size_t len, int flags);
ssize_t k_sendto(
    int fd, const void* buf, size_t len, int flags, const sockaddr* to, socklen_t tolen);

// True when the first byte waiting on fd looks like a TLS or SSL 2 record,
// and also when nothing can be read (failure or closed). When false and
// notLocal is given, *notLocal tells whether the peer is not loopback.
bool testSslOnSocket(int fd, bool* notLocal, int timeoutMs);

} // namespace tavir::tiny
