#pragma once
// A scripted source server on a loopback socket, for the faults no real
// server produces on demand: a body cut off or stalled half way. Each
// accepted connection is handed to the next handler of the plan, in order,
// and served on a thread of its own;
// handlers read command lines and answer with the tag they carry.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace tavir::test {

class FakeConnection {
public:
    explicit FakeConnection(int fd)
        : fd_(fd)
    {
    }
    void say(const std::string& bytes)
    {
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            done += static_cast<std::size_t>(n);
        }
    }
    // The next command line without CR LF; empty when the client went away
    // or sent nothing for 5 seconds.
    std::string readLine()
    {
        for (;;) {
            std::size_t end = buffer_.find("\r\n");
            if (end != std::string::npos) {
                std::string line = buffer_.substr(0, end);
                buffer_.erase(0, end + 2);
                return line;
            }
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 5000) <= 0)
                return {};
            char chunk[4096];
            ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0)
                return {};
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }
    // Reads a command and answers "<tag> <text>".
    std::string answer(const std::string& untagged, const std::string& text = "OK done")
    {
        std::string line = readLine();
        say(untagged + tagOf(line) + " " + text + "\r\n");
        return line;
    }
    static std::string tagOf(const std::string& line) { return line.substr(0, line.find(' ')); }

private:
    int fd_;
    std::string buffer_;
};

class FakeSource {
public:
    using Handler = std::function<void(FakeConnection&)>;

    explicit FakeSource(std::vector<Handler> plan)
        : plan_(std::move(plan))
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
            || ::listen(listener_, 8) != 0
            || getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("cannot listen");
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~FakeSource()
    {
        stop_ = true;
        thread_.join();
        for (std::thread& worker : workers_)
            worker.join();
        ::close(listener_);
    }
    FakeSource(const FakeSource&) = delete;
    FakeSource& operator=(const FakeSource&) = delete;

    int port() const { return port_; }
    int connections() const { return accepted_; }

private:
    void run()
    {
        for (const Handler& handler : plan_) {
            int fd = -1;
            while (!stop_ && fd < 0) {
                pollfd p{listener_, POLLIN, 0};
                if (::poll(&p, 1, 50) > 0)
                    fd = ::accept(listener_, nullptr, nullptr);
            }
            if (fd < 0)
                return;
            ++accepted_;
            // Each connection is served on its own, so a stalled one does
            // not hold up the next.
            workers_.emplace_back([handler, fd] {
                FakeConnection connection(fd);
                handler(connection);
                ::close(fd);
            });
        }
    }

    std::vector<Handler> plan_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
    std::thread thread_;
    std::vector<std::thread> workers_;
};

} // namespace tavir::test
