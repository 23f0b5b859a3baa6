#include "support/Loopback.h"

#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/CommandLines.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <random>
#include <stdexcept>
#include <system_error>

namespace tavir::test {

long long nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

namespace {

bool readable(int fd, int ms)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) > 0;
}

} // namespace

Listener::Listener()
    : Listener(ListenAt{})
{
}

Listener::Listener(const ListenAt& at)
{
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = ipv4Address(at.host, at.port);
    socklen_t length = sizeof a;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd_, 64) != 0
        || getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
        const int error = errno;
        ::close(fd_);
        throw std::system_error(error, std::generic_category(),
            "cannot listen on " + at.host + ":" + std::to_string(at.port));
    }
    port_ = ntohs(a.sin_port);
}

Listener::~Listener()
{
    ::close(fd_);
}

int Listener::accept(int ms)
{
    if (!readable(fd_, ms))
        return -1;
    return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
}

PeerSocket::PeerSocket(
    int fd, const std::atomic<bool>& stop, std::string& received, std::mutex& lock)
    : fd_(fd)
    , stop_(stop)
    , received_(received)
    , lock_(lock)
{
}

void PeerSocket::TlsFree::operator()(ssl_st* tls) const
{
    SSL_free(tls);
}

bool PeerSocket::startTls(ssl_ctx_st* context, int ms)
{
    // Blocking calls bounded by the socket's own time-outs: the handshake
    // within `ms`, and later a record that came in part within as long.
    const timeval bound{ms / 1000, (ms % 1000) * 1000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    std::unique_ptr<ssl_st, TlsFree> tls(SSL_new(context));
    if (!tls || SSL_set_fd(tls.get(), fd_) != 1 || SSL_accept(tls.get()) != 1)
        return false;
    // Sending waits for the client as long as it takes, as plain sends do.
    const timeval none{0, 0};
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none);
    tls_ = std::move(tls);
    return true;
}

void PeerSocket::resetAtClose()
{
    const linger abortive{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
}

bool PeerSocket::send(const char* data, std::size_t n)
{
    if (!tls_)
        return sendAll(fd_, data, n);
    // Without partial writes, SSL_write sends all of them or fails.
    return n == 0 || SSL_write(tls_.get(), data, static_cast<int>(n)) == static_cast<int>(n);
}

bool PeerSocket::say(const std::string& bytes)
{
    return send(bytes.data(), bytes.size());
}

bool PeerSocket::sayByteByByte(const std::string& bytes)
{
    for (char c : bytes) {
        if (!send(&c, 1))
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

bool PeerSocket::fill(int ms)
{
    long long end = nowMs() + ms;
    while (!stop_) {
        long long left = end - nowMs();
        if (left <= 0)
            return false;
        // Bytes TLS has taken in already are not on the socket any more.
        const bool pending = tls_ && SSL_pending(tls_.get()) > 0;
        if (!pending && !readable(fd_, static_cast<int>(std::min(left, 20LL))))
            continue;
        char chunk[65536];
        const ssize_t n = tls_ ? SSL_read(tls_.get(), chunk, sizeof chunk)
                               : ::recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0)
            return false;
        buffer_.append(chunk, static_cast<std::size_t>(n));
        std::lock_guard<std::mutex> guard(lock_);
        received_.append(chunk, static_cast<std::size_t>(n));
        return true;
    }
    return false;
}

std::string PeerSocket::readLine(int ms)
{
    for (;;) {
        std::size_t end = buffer_.find("\r\n");
        if (end != std::string::npos) {
            std::string line = buffer_.substr(0, end);
            buffer_.erase(0, end + 2);
            return line;
        }
        if (!fill(ms))
            return {};
    }
}

void PeerSocket::drain(int ms)
{
    long long end = nowMs() + ms;
    while (nowMs() < end && fill(static_cast<int>(end - nowMs())))
        buffer_.clear();
}

void PeerSocket::idle(int ms) const
{
    tavir::test::idle(stop_, ms);
}

void PeerSocket::relayTo(int port)
{
    relayTo("127.0.0.1", port, nullptr);
}

void PeerSocket::relayTo(const std::string& host, int port, CommandCount* commands)
{
    int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = ipv4Address(host, port);
    if (connect(server, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(server);
        return;
    }
    // The client's bytes from `heldFrom` on are not passed on yet: a
    // command line is held until it has ended and its number is known.
    CommandLines lines;
    std::string held;
    std::size_t heldFrom = 0;
    char chunk[65536];
    while (!stop_) {
        pollfd p[2] = {{fd_, POLLIN, 0}, {server, POLLIN, 0}};
        if (poll(p, 2, 20) <= 0)
            continue;
        int from = p[0].revents != 0 ? fd_ : server;
        ssize_t n = ::recv(from, chunk, sizeof chunk, 0);
        if (n <= 0)
            break;
        if (from == server) {
            const std::size_t passed = commands
                ? commands->passReply(std::string(chunk, static_cast<std::size_t>(n)))
                : static_cast<std::size_t>(n);
            if (!sendAll(fd_, chunk, passed) || passed < static_cast<std::size_t>(n))
                break;
            continue;
        }
        const std::string bytes(chunk, static_cast<std::size_t>(n));
        {
            std::lock_guard<std::mutex> guard(lock_);
            received_ += bytes;
        }
        const std::size_t end = heldFrom + held.size() + bytes.size();
        std::size_t cut = std::string::npos;
        lines.feed(bytes, end - bytes.size(), [&](const std::string& line, std::size_t at) {
            if (cut == std::string::npos && commands && !commands->admit(line))
                cut = at;
        });
        held += bytes;
        std::size_t upTo = cut != std::string::npos                     ? cut
            : commands && lines.partialLineStart() != std::string::npos ? lines.partialLineStart()
                                                                        : end;
        if (!sendAll(server, held.data(), upTo - heldFrom))
            break;
        held.erase(0, upTo - heldFrom);
        heldFrom = upTo;
        if (cut != std::string::npos)
            break;
    }
    ::close(server);
}

std::string PeerSocket::tagOf(const std::string& line)
{
    return line.substr(0, line.find(' '));
}

LoopbackServer::LoopbackServer(Handler handler)
    : plan_{std::move(handler)}
    , repeat_(true)
{
    thread_ = std::thread([this] { run(); });
}

LoopbackServer::LoopbackServer(Handler handler, const ListenAt& at)
    : listener_(at)
    , plan_{std::move(handler)}
    , repeat_(true)
{
    thread_ = std::thread([this] { run(); });
}

LoopbackServer::LoopbackServer(std::vector<Handler> plan)
    : plan_(std::move(plan))
{
    thread_ = std::thread([this] { run(); });
}

LoopbackServer::~LoopbackServer()
{
    stop();
}

void LoopbackServer::stop()
{
    if (stop_.exchange(true))
        return;
    thread_.join();
    // The accepting thread is gone, so nothing adds workers any more; they
    // are joined without the lock they take to record what they receive.
    for (std::thread& worker : workers_)
        worker.join();
}

std::string LoopbackServer::received(std::size_t connection)
{
    std::lock_guard<std::mutex> guard(mutex_);
    return connection < received_.size() ? received_[connection] : std::string();
}

void LoopbackServer::run()
{
    for (std::size_t i = 0; repeat_ || i < plan_.size(); ++i) {
        int fd = -1;
        while (!stop_ && fd < 0)
            fd = listener_.accept(50);
        if (fd < 0)
            return;
        ++accepted_;
        std::lock_guard<std::mutex> guard(mutex_);
        received_.emplace_back();
        std::string& received = received_.back();
        const Handler& handler = repeat_ ? plan_[0] : plan_[i];
        // Each connection is served on its own, so a stalled one does not
        // hold up the next.
        workers_.emplace_back([this, &handler, &received, fd] {
            PeerSocket peer(fd, stop_, received, mutex_);
            handler(peer);
            ::close(fd);
        });
    }
}

bool CommandCount::admit(const std::string& line)
{
    // Numbered under the lock, asked outside it: a hook that holds one
    // connection's command holds up no other connection.
    int number = 0;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        number = ++count_;
    }
    return !hook_ || hook_(number, line);
}

std::size_t CommandCount::passReply(const std::string& bytes) const
{
    return replyHook_ ? std::min(replyHook_(bytes), bytes.size()) : bytes.size();
}

CommandRelay::CommandRelay(const ListenAt& at, std::string serverHost, int serverPort,
    CommandCount::Hook hook, CommandCount::ReplyHook replyHook)
    : at_(at)
    , count_(std::move(hook), std::move(replyHook))
    , server_([this, serverHost, serverPort](
                  PeerSocket& peer) { peer.relayTo(serverHost, serverPort, &count_); },
          at)
{
}

std::string ownLoopbackAddress(
    const std::string& avoid, const std::function<void(const std::string& host)>& bind)
{
    std::mt19937 pick(std::random_device{}());
    for (int attempt = 0; attempt < 500; ++attempt) {
        const std::string host
            = "127.0.0." + std::to_string(std::uniform_int_distribution<int>(2, 250)(pick));
        if (host == avoid)
            continue;
        try {
            bind(host);
            return host;
        } catch (const std::system_error&) {
        }
    }
    throw std::runtime_error("no loopback address with the ports free");
}

void idle(const std::atomic<bool>& stop, int ms)
{
    long long end = nowMs() + ms;
    while (!stop && nowMs() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

bool sendAll(int fd, const char* data, std::size_t n)
{
    while (n > 0) {
        ssize_t k = ::send(fd, data, n, MSG_NOSIGNAL);
        if (k <= 0)
            return false;
        data += k;
        n -= static_cast<std::size_t>(k);
    }
    return true;
}

std::pair<int, int> tcpPair()
{
    Listener listener;
    const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = ipv4Address("127.0.0.1", listener.port());
    if (connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(client);
        return {-1, -1};
    }
    return {client, listener.accept(2000)};
}

} // namespace tavir::test
