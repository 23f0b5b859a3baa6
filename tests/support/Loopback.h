#pragma once
// Loopback test servers written on plain sockets, sharing nothing with the
// code under test: a listener on a port of the kernel's choice, a server
// that serves each accepted connection on a thread of its own (one handler
// for all, or a plan of one handler per connection in order), the server
// side of one connection with what it received, a relay that can cut a
// connection at a chosen command, and a connected pair.
#include <atomic>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct ssl_st;
struct ssl_ctx_st;

namespace tavir::test {

long long nowMs();

// Where a loopback server listens: 127.0.0.1 (or another loopback address)
// and a port, 0 for one of the kernel's choice.
struct ListenAt {
    std::string host = "127.0.0.1";
    int port = 0;
};

// A listening socket on 127.0.0.1 and a port of the kernel's choice.
class Listener {
public:
    Listener();
    // Throws std::system_error when the address can't be bound.
    explicit Listener(const ListenAt& at);
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    int port() const { return port_; }
    // The listening socket, for a caller that waits on several at once.
    int fd() const { return fd_; }
    // Accepts one connection within ms (-1 when none came).
    int accept(int ms);

private:
    int fd_ = -1;
    int port_ = 0;
};

// The server side of one accepted connection.
class PeerSocket {
public:
    PeerSocket(int fd, const std::atomic<bool>& stop, std::string& received, std::mutex& lock);

    int fd() const { return fd_; }
    const std::atomic<bool>& stopFlag() const { return stop_; }
    bool stopping() const { return stop_; }

    // The server's side of a TLS handshake over `context` (OpenSSL's own),
    // within `ms`: true when it succeeded, and from then on what is said
    // and read goes through TLS (relayTo excepted).
    bool startTls(ssl_ctx_st* context, int ms = 5000);
    // The connection's close, once the handler has returned, is a reset
    // (RST, SO_LINGER 0) rather than an orderly end.
    void resetAtClose();
    // Sends all bytes; false when the client is gone.
    bool say(const std::string& bytes);
    // One byte per send, with a short pause between them.
    bool sayByteByByte(const std::string& bytes);
    // The next line the client sent, without CR LF; empty when the client
    // went away or sent nothing for `ms`.
    std::string readLine(int ms = 5000);
    // Reads (and records) whatever the client sends for up to `ms`, or
    // until it hangs up.
    void drain(int ms);
    // Sleeps in small steps until the server stops or ms have passed.
    void idle(int ms) const;
    // Passes bytes both ways between the client and a server on
    // 127.0.0.1:port (recording what the client sends) until either side
    // closes or the loopback server stops.
    void relayTo(int port);
    // The same towards host:port; with `commands`, each command the client
    // starts is shown to it first and not passed on when it says to cut.
    void relayTo(const std::string& host, int port, class CommandCount* commands);
    // The first word of a command line.
    static std::string tagOf(const std::string& line);

private:
    struct TlsFree {
        void operator()(ssl_st* tls) const;
    };
    bool fill(int ms);
    // Sends all of them, plain or through TLS.
    bool send(const char* data, std::size_t n);

    int fd_;
    std::unique_ptr<ssl_st, TlsFree> tls_;
    const std::atomic<bool>& stop_;
    std::string& received_;
    std::mutex& lock_;
    std::string buffer_; // received, not yet handed out as lines
};

// Accepts connections on loopback until it is destroyed and serves each on
// a thread of its own.
class LoopbackServer {
public:
    using Handler = std::function<void(PeerSocket&)>;

    // Every connection gets `handler`.
    explicit LoopbackServer(Handler handler);
    // Connection i gets plan[i]; connections beyond the plan are not
    // accepted.
    explicit LoopbackServer(std::vector<Handler> plan);
    // Every connection gets `handler`, on the address given.
    LoopbackServer(Handler handler, const ListenAt& at);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int port() const { return listener_.port(); }
    int accepted() const { return accepted_; }
    // Every byte connection i received so far.
    std::string received(std::size_t connection);
    // Stops accepting and joins every connection's thread.
    void stop();

private:
    void run();

    Listener listener_;
    std::vector<Handler> plan_;
    bool repeat_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
    std::mutex mutex_;
    std::deque<std::string> received_; // references stay valid as it grows
    std::vector<std::thread> workers_;
    std::thread thread_;
};

// The commands the clients of a relay send, counted over all its
// connections in the order they are read: every line that starts a command
// (a login's answer to a challenge too), never the bytes of a literal. At
// each one the hook decides whether it goes on (true) or the connection is
// cut before the server sees it (false). The reply hook is shown each piece
// of the server's replies as it comes, and says how many of its bytes pass
// before the connection is cut (npos: all). Hooks of several connections
// may run at once.
class CommandCount {
public:
    using Hook = std::function<bool(int number, const std::string& line)>;
    using ReplyHook = std::function<std::size_t(const std::string& bytes)>;

    explicit CommandCount(Hook hook = {}, ReplyHook replyHook = {})
        : hook_(std::move(hook))
        , replyHook_(std::move(replyHook))
    {
    }
    // Counts the command and asks the hook.
    bool admit(const std::string& line);
    // How many of a reply's bytes pass (all without a reply hook).
    std::size_t passReply(const std::string& bytes) const;
    int count() const { return count_; }

private:
    std::mutex mutex_;
    Hook hook_;
    ReplyHook replyHook_;
    std::atomic<int> count_{0};
};

// A relay from its own listening address to a server, counting the
// commands that pass (see CommandCount).
class CommandRelay {
public:
    CommandRelay(const ListenAt& at, std::string serverHost, int serverPort,
        CommandCount::Hook hook = {}, CommandCount::ReplyHook replyHook = {});
    const std::string& host() const { return at_.host; }
    int port() const { return server_.port(); }
    int commands() const { return count_.count(); }

private:
    ListenAt at_;
    CommandCount count_;
    LoopbackServer server_;
};

// A loopback address of the caller's own: calls `bind` with random
// addresses 127.0.0.N (N from 2 to 250, never `avoid`) until it returns
// without std::system_error (a port taken there: stand-ins and relays of
// tests running at the same time take addresses the same way), and returns
// that address. Throws std::runtime_error when 500 tries all failed.
std::string ownLoopbackAddress(
    const std::string& avoid, const std::function<void(const std::string& host)>& bind);

// Sleeps in small steps until stop is set or ms have passed.
void idle(const std::atomic<bool>& stop, int ms);
bool sendAll(int fd, const char* data, std::size_t n);
// A connected loopback TCP pair: {client, accepted}; {-1, -1} on failure.
std::pair<int, int> tcpPair();

} // namespace tavir::test
