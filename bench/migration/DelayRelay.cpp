#include "DelayRelay.h"

#include "support/Loopback.h"
#include "support/TestSupport.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <list>
#include <memory>
#include <new>
#include <stdexcept>

namespace tavir::bench {

namespace {

using Clock = std::chrono::steady_clock;
using tavir::test::ListenAt;
using tavir::test::Listener;

// A side whose bytes wait in the relay up to this much is not read from
// until some of them have gone on: a bound on the relay's memory far above
// what 5 ms hold at loopback rates (about 10 MB), so never a bound on the
// rate.
constexpr std::size_t MaxHeldBytes = 64u << 20;
constexpr std::size_t ChunkBytes = 256u << 10;

struct Chunk {
    Clock::time_point due;
    std::string bytes; // empty: the sender closed its side
    std::size_t sent = 0;
};

// One direction of a connection: what `from` sends, held until it is due,
// then written to `to`. Both sockets are non-blocking.
class Flow {
public:
    Flow(int from, int to)
        : from_(from)
        , to_(to)
    {
    }

    bool wantsRead() const { return !readEnded_ && held_ < MaxHeldBytes; }
    // A chunk is due and the socket took only part of what was written.
    bool waitsForSocket(Clock::time_point now) const
    {
        return !queue_.empty() && queue_.front().due <= now;
    }
    // When the first waiting chunk falls due, if that is still to come.
    Clock::time_point nextDue(Clock::time_point now) const
    {
        return queue_.empty() || queue_.front().due <= now ? Clock::time_point::max()
                                                           : queue_.front().due;
    }
    bool finished() const { return readEnded_ && queue_.empty(); }

    // Queues what `from` has now, setting `spoke` when that was any bytes;
    // false when the connection failed.
    bool read(Clock::time_point due, char* scratch, bool& spoke)
    {
        while (wantsRead()) {
            const ssize_t n = recv(from_, scratch, ChunkBytes, MSG_DONTWAIT);
            if (n < 0)
                return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
            if (n == 0)
                readEnded_ = true;
            spoke = spoke || n > 0;
            queue_.push_back({due, std::string(scratch, static_cast<std::size_t>(n))});
            held_ += static_cast<std::size_t>(n);
            if (static_cast<std::size_t>(n) < ChunkBytes)
                return true;
        }
        return true;
    }

    // Writes what is due; false when the connection failed.
    bool write(Clock::time_point now)
    {
        while (!queue_.empty() && queue_.front().due <= now) {
            Chunk& chunk = queue_.front();
            if (chunk.bytes.empty()) {
                shutdown(to_, SHUT_WR);
                queue_.pop_front();
                continue;
            }
            const ssize_t n = send(to_, chunk.bytes.data() + chunk.sent,
                chunk.bytes.size() - chunk.sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0)
                return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
            chunk.sent += static_cast<std::size_t>(n);
            if (chunk.sent < chunk.bytes.size())
                return true;
            held_ -= chunk.bytes.size();
            queue_.pop_front();
        }
        return true;
    }

private:
    int from_;
    int to_;
    std::deque<Chunk> queue_;
    std::size_t held_ = 0;
    bool readEnded_ = false;
};

struct Connection {
    Connection(int clientFd, int serverFd, std::atomic<long>& roundTrips)
        : client(clientFd)
        , server(serverFd)
        , up(clientFd, serverFd)
        , down(serverFd, clientFd)
        , trips(roundTrips)
    {
    }
    ~Connection()
    {
        close(client);
        close(server);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    int client;
    int server;
    Flow up; // client to server
    Flow down; // server to client
    std::atomic<long>& trips; // of the connection's port
    bool serverSpokeLast = true; // the client's first bytes begin a round trip
};

void noDelay(int fd)
{
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Accepts a client and connects it to the server; false when either
// failed (the client, if accepted, is closed).
bool admit(int listener, const std::string& serverHost, int serverPort,
    std::atomic<long>& roundTrips, std::list<Connection>& connections)
{
    const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (client < 0)
        return false;
    const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in at = tavir::test::ipv4Address(serverHost, serverPort);
    if (server < 0 || connect(server, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) {
        close(client);
        if (server >= 0)
            close(server);
        return false;
    }
    const int flags = fcntl(server, F_GETFL);
    fcntl(server, F_SETFL, flags | O_NONBLOCK);
    noDelay(client);
    noDelay(server);
    connections.emplace_back(client, server, roundTrips);
    return true;
}

// Polls `fd` for what its flows wait for: bytes to read for `from`, room
// to write for `to`. A socket waited on for neither is left out, so that
// a hang-up on it does not wake the relay while bytes for the other side
// are still held.
void watch(
    std::vector<pollfd>& polled, int fd, const Flow& from, const Flow& to, Clock::time_point now)
{
    const short events = static_cast<short>(
        (from.wantsRead() ? POLLIN : 0) | (to.waitsForSocket(now) ? POLLOUT : 0));
    polled.push_back({events != 0 ? fd : -1, events, 0});
}

timespec until(Clock::time_point wake, Clock::time_point now)
{
    const auto left = std::max(Clock::duration::zero(), wake - now);
    const long long ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

// Serves until the process is killed: one thread, every connection of every
// listener in one ppoll.
[[noreturn]] void relay(const std::vector<std::unique_ptr<Listener>>& listeners,
    const std::string& serverHost, const std::vector<int>& ports, Clock::duration delay,
    std::atomic<long>* roundTrips)
{
    std::list<Connection> connections;
    std::vector<pollfd> polled;
    std::unique_ptr<char[]> scratch(new char[ChunkBytes]);
    for (;;) {
        Clock::time_point now = Clock::now();
        Clock::time_point wake = Clock::time_point::max();
        polled.clear();
        for (const auto& listener : listeners)
            polled.push_back({listener->fd(), POLLIN, 0});
        for (Connection& c : connections) {
            watch(polled, c.client, c.up, c.down, now);
            watch(polled, c.server, c.down, c.up, now);
            wake = std::min({wake, c.up.nextDue(now), c.down.nextDue(now)});
        }
        timespec timeout = until(wake, now);
        if (ppoll(polled.data(), polled.size(),
                wake == Clock::time_point::max() ? nullptr : &timeout, nullptr)
            < 0)
            continue; // EINTR
        now = Clock::now();
        std::size_t at = listeners.size();
        for (auto c = connections.begin(); c != connections.end();) {
            const short fromClient = polled[at++].revents;
            const short fromServer = polled[at++].revents;
            bool ok = true;
            bool clientSpoke = false;
            bool serverSpoke = false;
            if (fromClient & (POLLIN | POLLHUP | POLLERR))
                ok = c->up.read(now + delay, scratch.get(), clientSpoke);
            if (ok && fromServer & (POLLIN | POLLHUP | POLLERR))
                ok = c->down.read(now + delay, scratch.get(), serverSpoke);
            if (clientSpoke && c->serverSpokeLast)
                ++c->trips;
            if (clientSpoke || serverSpoke)
                c->serverSpokeLast = serverSpoke;
            ok = ok && c->up.write(now) && c->down.write(now);
            if (!ok || (c->up.finished() && c->down.finished()))
                c = connections.erase(c);
            else
                ++c;
        }
        for (std::size_t i = 0; i < listeners.size(); ++i)
            if (polled[i].revents & POLLIN)
                admit(listeners[i]->fd(), serverHost, ports[i], roundTrips[i], connections);
    }
}

// `count` counters that a child made by fork still shares.
std::shared_ptr<std::atomic<long>> sharedCounts(std::size_t count)
{
    const std::size_t bytes = count * sizeof(std::atomic<long>);
    void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        throw std::runtime_error("mmap of the relay's counts failed");
    auto* counts = static_cast<std::atomic<long>*>(memory);
    for (std::size_t i = 0; i < count; ++i)
        new (&counts[i]) std::atomic<long>(0);
    return {counts, [bytes](std::atomic<long>* at) { munmap(at, bytes); }};
}

} // namespace

DelayRelay::DelayRelay(
    const std::string& serverHost, const std::vector<int>& ports, std::chrono::microseconds delay)
    : ports_(ports)
    , counts_(sharedCounts(ports.size()))
    , child_([serverHost, ports, delay, counts = counts_.get()](
                 const std::function<void(const std::string&)>& ready) {
        // A network takes no turn on the machine's cores: on a loaded
        // machine the relay is woken first, so that a chunk waits its
        // delay and not the scheduler's (root may raise it; others keep
        // the default).
        setpriority(PRIO_PROCESS, 0, -10);
        std::vector<std::unique_ptr<Listener>> listeners;
        ready(tavir::test::ownLoopbackAddress(serverHost, [&](const std::string& host) {
            listeners.clear();
            for (int port : ports)
                listeners.push_back(std::make_unique<Listener>(ListenAt{host, port}));
        }));
        relay(listeners, serverHost, ports, delay, counts);
    })
{
}

long DelayRelay::roundTrips(int port) const
{
    for (std::size_t i = 0; i < ports_.size(); ++i)
        if (ports_[i] == port)
            return counts_.get()[i].load();
    return 0;
}

std::string roundTripText(std::chrono::microseconds delay)
{
    if (delay.count() == 0)
        return {};
    char text[40];
    std::snprintf(
        text, sizeof text, ", %g ms round trip", 2 * static_cast<double>(delay.count()) / 1000);
    return text;
}

} // namespace tavir::bench
