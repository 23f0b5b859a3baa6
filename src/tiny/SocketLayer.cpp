#include "tiny/SocketLayer.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace tavir::tiny {

namespace {
std::atomic<CloseSocketTester> installedTester{nullptr};
} // namespace

int initSockets()
{
    struct sigaction ignore { };
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
    return 0;
}

int closeSockets()
{
    return 0;
}

int setSockTimeout(int sock, int optname, int seconds)
{
    if (sock == -1)
        return -1;
    timeval tv{};
    tv.tv_sec = seconds > 300 ? 300 : seconds;
    tv.tv_usec = 0;
    return setsockopt(sock, SOL_SOCKET, optname, &tv, sizeof tv);
}

int sockBlockMode(int sock, int block)
{
    int flags = fcntl(sock, F_GETFL);
    if (flags == -1)
        return -1;
    if (block)
        flags &= ~O_NONBLOCK;
    else
        flags |= O_NONBLOCK;
    return fcntl(sock, F_SETFL, flags);
}

int resetsocket(int sock)
{
    linger l{};
    l.l_onoff = 1;
    l.l_linger = 0;
    if (setsockopt(sock, SOL_SOCKET, SO_LINGER, &l, sizeof l) != 0)
        return -1;
    return close(sock);
}

void installCloseSocketTester(CloseSocketTester tester)
{
    installedTester.store(tester);
}

CloseSocketTester getCloseSocketTester()
{
    return installedTester.load();
}

} // namespace tavir::tiny

int closesocket(int sock)
{
    return close(sock);
}
